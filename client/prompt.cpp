// The prompt on readline's callback interface, which lets the client poll
// the connection and the keyboard together.
#include "prompt.hpp"

#include <cstdio>
#include <cstdlib>
#include <readline/history.h>
#include <readline/readline.h>

namespace chat_client {

namespace {

// Readline's callback takes no context: what it needs lives here.
std::string current_prompt;
std::function<void(std::optional<std::string>)> line_handler;
bool handling_line = false;  // inside on_typed_line: no prompt is shown

void on_typed_line(char *typed)
{
    if (typed == nullptr) {  // Ctrl-D
        line_handler(std::nullopt);
        return;
    }
    std::string line = typed;
    free(typed);
    if (line.empty())
        return;
    add_history(line.c_str());
    // Readline has moved to a new line but still holds the accepted text;
    // what a command prints now goes out plainly, and the prompt comes
    // back, empty, once this returns.
    rl_replace_line("", 0);
    handling_line = true;
    line_handler(line);
    handling_line = false;
}

}  // namespace

void start_prompt(const std::string &prompt, std::function<void(std::optional<std::string>)> on_line)
{
    current_prompt = prompt;
    line_handler = std::move(on_line);
    rl_catch_signals = 0;
    rl_callback_handler_install(current_prompt.c_str(), on_typed_line);
}

void read_typed() { rl_callback_read_char(); }

void set_prompt(const std::string &prompt)
{
    current_prompt = prompt;
    rl_set_prompt(current_prompt.c_str());
}

void stop_prompt() { rl_callback_handler_remove(); }

void print_above_prompt(const std::string &text)
{
    if (handling_line) {  // the cursor is already on a fresh line
        printf("%s\n", text.c_str());
        return;
    }
    char *saved = rl_copy_text(0, rl_end);
    int point = rl_point;
    rl_set_prompt("");
    rl_replace_line("", 0);
    rl_redisplay();
    printf("%s\n", text.c_str());
    rl_set_prompt(current_prompt.c_str());
    rl_replace_line(saved, 0);
    rl_point = point;
    rl_redisplay();
    free(saved);
}

}  // namespace chat_client
