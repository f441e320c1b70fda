// The prompt on readline's callback interface, which lets the client poll
// the connection and the keyboard together, and the pending lines drawn
// between the records and the prompt.
#include "prompt.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <readline/history.h>
#include <readline/readline.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace chat_client {

namespace {

// Readline's callback takes no context: what it needs lives here.
std::string current_prompt;
std::function<void(std::optional<std::string>)> line_handler;
bool handling_line = false;  // inside on_typed_line: no prompt is shown
// The line that Enter accepted, taken off the screen by accept_line.
std::string accepted;
bool accepted_hidden = false;

std::function<std::vector<std::string>()> name_source;
std::vector<std::string> completion_names;  // asked for at each completion's first match

std::function<std::vector<PendingLine>()> pending_source;
bool pending_dim = false;
int pending_rows = 0;  // rows the pending lines take right above the prompt

// Readline's own line and prompt blanked, the cursor at the start of the
// row where the prompt began; and put back.
char *saved_text = nullptr;
int saved_point = 0;

void hide_prompt()
{
    saved_text = rl_copy_text(0, rl_end);
    saved_point = rl_point;
    rl_set_prompt("");
    rl_replace_line("", 0);
    rl_redisplay();
}

void show_prompt()
{
    rl_set_prompt(current_prompt.c_str());
    rl_replace_line(saved_text, 0);
    rl_point = saved_point;
    rl_redisplay();
    free(saved_text);
    saved_text = nullptr;
}

winsize terminal_size()
{
    winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        size = {24, 80, 0, 0};
    return size;
}

// The head of `text` that takes at most `columns` columns on the
// terminal, in the locale's character set; *width gets its columns.
std::string fitted(const std::string &text, int columns, int *width)
{
    std::mbstate_t state {};
    size_t at = 0;
    *width = 0;
    while (at < text.size()) {
        wchar_t c;
        size_t n = mbrtowc(&c, text.data() + at, text.size() - at, &state);
        int w = 1;  // what does not decode shows as one replacement character
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2))
            n = 1, state = {};
        else
            n = std::max<size_t>(n, 1), w = std::max(0, wcwidth(c));
        if (*width + w > columns)
            break;
        *width += w;
        at += n;
    }
    return text.substr(0, at);
}

// One pending line on one row: the text cut short with "..." when the
// row is too narrow, then the note.
std::string fit_row(const PendingLine &line, int columns)
{
    int note_width, text_width;
    std::string note = fitted(line.note, columns, &note_width);
    int room = columns - note_width;
    std::string text = fitted(line.text, room, &text_width);
    if (text.size() < line.text.size() && room >= 3)
        text = fitted(line.text, room - 3, &text_width) + "...";
    return text + note;
}

// From the blanked prompt row: up over the pending lines, and clear them.
void clear_pending()
{
    if (pending_rows > 0)
        printf("\033[%dA", pending_rows);
    printf("\r\033[J");
    pending_rows = 0;
}

// Each pending line on a row of its own, never filling the last column,
// so that none wraps; as many as leave the prompt a row and one record
// above them.
void draw_pending()
{
    std::vector<PendingLine> lines = pending_source ? pending_source() : std::vector<PendingLine> {};
    winsize size = terminal_size();
    size_t room = std::max(1, size.ws_row - 2);
    size_t first = lines.size() > room ? lines.size() - room : 0;
    for (size_t i = first; i < lines.size(); ++i) {
        std::string row = fit_row(lines[i], size.ws_col - 1);
        printf(pending_dim ? "\033[2m%s\033[0m\n" : "%s\n", row.c_str());
        ++pending_rows;
    }
}

// Redraws what lies above the prompt, printing `text` first when given.
void redraw_above_prompt(const std::string *text)
{
    if (!handling_line)
        hide_prompt();
    clear_pending();
    if (text)
        printf("%s\n", text->c_str());
    draw_pending();
    if (!handling_line)
        show_prompt();
    fflush(stdout);
}

// Enter: the accepted line leaves the screen (the prompt and the line are
// blanked where they stand, and with rl_erase_empty_line readline then
// moves to no new row), so that the pending line can take its place.
int accept_line(int count, int key)
{
    accepted.assign(rl_line_buffer, static_cast<size_t>(rl_end));
    accepted_hidden = true;
    rl_set_prompt("");
    rl_replace_line("", 0);
    rl_redisplay();
    return rl_newline(count, key);
}

// Ctrl-L: readline clears the screen and puts the prompt at the top; the
// pending lines come back above it.
int clear_screen(int count, int key)
{
    rl_clear_screen(count, key);
    pending_rows = 0;
    redraw_above_prompt(nullptr);
    return 0;
}

// Readline's generator: the next name that begins with `text`, in any
// case, each call after the first (state 0) going on from the last.
char *next_name(const char *text, int state)
{
    static size_t index;
    if (state == 0) {
        completion_names = name_source ? name_source() : std::vector<std::string> {};
        index = 0;
    }
    size_t length = strlen(text);
    while (index < completion_names.size()) {
        const std::string &name = completion_names[index++];
        if (strncasecmp(name.c_str(), text, length) == 0)
            return strdup(name.c_str());
    }
    return nullptr;
}

// Tab completes names only: readline's file names never come up, even
// when no name matches.
char **complete_name(const char *text, int, int)
{
    rl_attempted_completion_over = 1;
    return rl_completion_matches(text, next_name);
}

void on_typed_line(char *typed)
{
    if (typed == nullptr) {  // Ctrl-D
        line_handler(std::nullopt);
        return;
    }
    std::string line = accepted_hidden ? accepted : typed;
    if (!accepted_hidden)  // accepted by some other key: it stays on the screen, above the cursor
        pending_rows = 0;
    accepted_hidden = false;
    free(typed);
    if (!line.empty())
        add_history(line.c_str());
    rl_replace_line("", 0);
    // What the handler prints now goes out where the prompt was; the
    // prompt comes back, empty, once this returns.
    handling_line = true;
    line_handler(line);
    handling_line = false;
    rl_set_prompt(current_prompt.c_str());  // accept_line blanked it
}

}  // namespace

void start_prompt(const std::string &prompt, std::function<void(std::optional<std::string>)> on_line)
{
    current_prompt = prompt;
    line_handler = std::move(on_line);
    rl_catch_signals = 0;
    rl_erase_empty_line = 1;
    // A name holds anything but white space.
    rl_completer_word_break_characters = " \t\n";
    rl_attempted_completion_function = complete_name;
    rl_completion_entry_function = next_name;
    rl_callback_handler_install(current_prompt.c_str(), on_typed_line);
    // After the install, which reads the user's inputrc.
    rl_variable_bind("completion-ignore-case", "on");
    for (Keymap map : {emacs_standard_keymap, vi_insertion_keymap, vi_movement_keymap}) {
        for (int key : {'\r', '\n'})
            rl_bind_key_in_map(key, accept_line, map);
        if (map[CTRL('L')].type == ISFUNC && map[CTRL('L')].function == rl_clear_screen)
            rl_bind_key_in_map(CTRL('L'), clear_screen, map);
    }
}

void read_typed() { rl_callback_read_char(); }

void set_prompt(const std::string &prompt)
{
    current_prompt = prompt;
    rl_set_prompt(current_prompt.c_str());
}

void stop_prompt() { rl_callback_handler_remove(); }

void set_name_source(std::function<std::vector<std::string>()> source) { name_source = std::move(source); }

void set_pending_source(std::function<std::vector<PendingLine>()> source, bool dim)
{
    pending_source = std::move(source);
    pending_dim = dim;
}

void redraw_pending() { redraw_above_prompt(nullptr); }

void print_above_prompt(const std::string &text) { redraw_above_prompt(&text); }

}  // namespace chat_client
