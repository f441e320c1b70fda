// The interactive mode: typed lines are posted, commands at the prompt,
// and a connection that ends is reported while the client stays.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "modes.hpp"
#include "options.hpp"
#include "prompt.hpp"
#include "sentence.hpp"

namespace chat_client {

using chat::Event;

namespace {

class Interactive {
public:
    Interactive(Connection &connection, const chat::Style &style) : connection_(connection), style_(style) {}

    int run()
    {
        connection_.log_in(show_);  // a first login that fails ends the client
        connection_.stay([this](const std::string &text) {
            print_above_prompt(chat::format_note(text, style_, time(nullptr)));
        });
        start_prompt(prompt(), [this](std::optional<std::string> line) { typed(line); });
        while (!quit_ && !interrupted) {
            bool input_ready;
            for (const Event &e : connection_.wait_for_events(-1, true, &input_ready))
                if (!connection_.check_fatal(e))
                    show(e);
            if (input_ready)
                read_typed();
        }
        connection_.log_out(show_);
        stop_prompt();
        printf("\n");
        return exit_ok;
    }

private:
    void show(const Event &e)
    {
        print_above_prompt(chat::format_event(e, style_, connection_.codec(), time(nullptr)));
    }

    // The prompt is the name in use.
    std::string prompt() const { return connection_.codec().to_local(connection_.name()) + "> "; }

    void typed(std::optional<std::string> line)
    {
        if (!line) {  // Ctrl-D
            quit_ = true;
            return;
        }
        if ((*line)[0] == '/' && line->compare(0, 2, "//") != 0)
            command(*line);
        else
            post((*line)[0] == '/' ? line->substr(1) : *line);
    }

    void command(const std::string &line)
    {
        std::string command = line.substr(0, line.find(' '));
        std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
        if (command == "/quit") {
            quit_ = true;
        } else if (command == "/reload") {
            if (!connection_.send_line("RELD"))
                connection_.note("not connected; type a line or /login to log in again");
        } else if (command == "/logout") {
            connection_.log_out(show_);
        } else if (command == "/login" && connection_.logged_in()) {
            connection_.note("already logged in; /logout first");
        } else if (command == "/login") {
            command_login(rest);
        } else if (command == "/help") {
            print_above_prompt("/reload  /logout  /login [R,G,B] [NAME]  /quit  (//text posts /text)");
        } else {
            connection_.note(sentence("unknown command %s; /help lists them", command.c_str()));
        }
    }

    // "/login [R,G,B] [NAME]": a new colour or name, then a login
    // (connecting first when the connection has ended).
    void command_login(const std::string &rest)
    {
        char word[256];
        const char *p = rest.c_str();
        int used;
        int colour[3];
        std::copy(connection_.colour(), connection_.colour() + 3, colour);
        std::string name = connection_.name();
        bool colour_given = false;
        while (sscanf(p, "%255s%n", word, &used) == 1) {
            p += used;
            if (parse_colour(word, colour)) {
                colour_given = true;
                continue;
            }
            size_t replaced = 0;
            name = connection_.codec().to_wire(word, &replaced);
            std::string problem = name_problem(name, replaced, connection_.codec());
            if (!problem.empty()) {
                connection_.note(problem);
                return;
            }
        }
        if (colour_given)
            connection_.choose_colour(colour);
        connection_.set_name(name);
        if (connection_.log_in(show_))
            set_prompt(prompt());
    }

    // Posts a typed line; after a lost connection, connects and logs in
    // again first.
    void post(const std::string &text)
    {
        if (!connection_.logged_in() && connection_.connected()) {  // logged out on purpose
            connection_.note("not logged in; /login logs in again");
            return;
        }
        if (!connection_.logged_in() && !connection_.log_in(show_))
            return;
        for (const std::string &piece : connection_.pieces_of(text))
            if (!connection_.send_line("SEND " + piece))
                return;
    }

    Connection &connection_;
    const chat::Style &style_;
    bool quit_ = false;
    const Show show_ = [this](const Event &e) { show(e); };
};

}  // namespace

int run_interactive(Connection &connection, const chat::Style &style)
{
    return Interactive(connection, style).run();
}

}  // namespace chat_client
