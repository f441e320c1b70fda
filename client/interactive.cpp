// The interactive mode: typed lines are posted and shown dimmed until
// their records come back, commands at the prompt, and a connection that
// ends is reported while the client stays.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "modes.hpp"
#include "options.hpp"
#include "pending.hpp"
#include "prompt.hpp"
#include "sentence.hpp"

namespace chat_client {

using chat::Event;

namespace {

const char *const not_logged_in_note = "not logged in; /login logs in again";

std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// A word meant as a colour though parse_colour does not take it: numbers
// and commas, such as 1,2 or 1,2,3,4. A name like 7seas is no colour.
bool meant_as_colour(const std::string &word)
{
    return word.find(',') != std::string::npos && word.find_first_not_of("0123456789+-,") == std::string::npos;
}

class Interactive {
public:
    Interactive(Connection &connection, const chat::Style &style) : connection_(connection), style_(style) {}

    int run()
    {
        connection_.log_in(show_);  // a first login that fails ends the client
        connection_.stay([this](const std::string &text) {
            print_above_prompt(chat::format_note(text, style_, time(nullptr)));
        });
        set_pending_source([this] { return pending_lines(); }, style_.colour);
        start_prompt(prompt(), [this](std::optional<std::string> line) { typed(line); });
        while (!quit_ && !interrupted) {
            bool input_ready;
            int timeout = pending_.ms_until_late(steady_clock::now());
            for (const Event &e : connection_.wait_for_events(timeout, true, &input_ready))
                if (!connection_.check_fatal(e))
                    show(e);
            if (input_ready)
                read_typed();
            if (pending_.mark_late(steady_clock::now()))
                redraw_pending();
            give_up_unless_logged_in();
        }
        connection_.log_out(show_);
        give_up_unless_logged_in();
        stop_prompt();
        printf("\n");
        return exit_ok;
    }

private:
    // A record of ours takes its pending line's place; a busy reply may
    // belong to any post, and the oldest is the likeliest.
    void show(const Event &e)
    {
        std::vector<Posted> passed_over;
        if (e.kind == Event::record && pending_.arrived(e.text, &passed_over))
            for (const Posted &line : passed_over)
                give_up(line);
        print_above_prompt(chat::format_event(e, style_, connection_.codec(), time(nullptr)));
        if (e.kind == Event::error && is_busy(e))
            if (auto oldest = pending_.give_up_oldest())
                give_up(*oldest);
    }

    // A line whose record did not come back stays on the screen, marked.
    void give_up(const Posted &line)
    {
        std::string text = chat::clock_text(time(nullptr), style_) + " " + typed_form(line) + "  (" +
                           "may not have been posted" + ")";
        print_above_prompt(style_.colour ? "\033[2m" + text + "\033[0m" : text);
    }

    // Without a login no record of ours can come back any more.
    void give_up_unless_logged_in()
    {
        if (connection_.logged_in())
            return;
        while (auto line = pending_.give_up_oldest())
            give_up(*line);
    }

    // A pending line as it was typed: "name> text".
    static std::string typed_form(const Posted &line)
    {
        return chat::defuse_controls(line.sender + "> " + line.text());
    }

    std::vector<PendingLine> pending_lines() const
    {
        std::vector<PendingLine> lines;
        for (const Posted &line : pending_.lines())
            lines.push_back({typed_form(line), line.late ? "  (" + std::string("waiting for the server") + ")" : ""});
        return lines;
    }

    // The prompt is the name in use.
    std::string prompt() const { return connection_.codec().to_local(connection_.name()) + "> "; }

    // A pasted block comes as one line with its line breaks in it: each
    // of its lines is taken as if typed on its own, since a line break
    // sent inside a post would end it, and the server would take what
    // follows as a command of the protocol.
    void typed(std::optional<std::string> text)
    {
        if (!text) {  // Ctrl-D
            quit_ = true;
            return;
        }
        std::replace(text->begin(), text->end(), '\r', '\n');
        std::istringstream lines(*text);
        for (std::string line; !quit_ && std::getline(lines, line);) {
            if (line.empty())
                continue;
            if (line[0] == '/' && line.compare(0, 2, "//") != 0)
                command(line);
            else
                post(line[0] == '/' ? line.substr(1) : line);
        }
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
        } else if (command == "/logout" && !connection_.logged_in()) {
            connection_.note(not_logged_in_note);
        } else if (command == "/logout") {
            connection_.log_out(show_);
            give_up_unless_logged_in();
        } else if (command == "/login") {
            command_login(words_of(rest));
        } else if (command == "/nick") {
            command_nick(words_of(rest));
        } else if (command == "/help") {
            print_above_prompt("/reload  /logout  /login [R,G,B] [NAME]  /nick NAME  /quit  (//text posts /text)");
        } else {
            connection_.note(sentence("unknown command %s; /help lists them", command.c_str()));
        }
    }

    // The name in Shift_JIS for a typed word; empty, and the user told
    // why, when the server would not take it.
    std::string wire_name(const std::string &word)
    {
        size_t replaced = 0;
        std::string name = connection_.codec().to_wire(word, &replaced);
        std::string problem = name_problem(name, replaced, connection_.codec());
        if (problem.empty())
            return name;
        connection_.note(problem);
        return "";
    }

    // "/login [R,G,B] [NAME]" (or "R G B" in three words): a new colour
    // or name, then a login, connecting first when the connection has
    // ended. Anything in the colour's place that is no colour is refused
    // as -c refuses it, logged in or not.
    void command_login(const std::vector<std::string> &words)
    {
        int colour[3];
        size_t colour_words = 0;
        if (words.size() >= 3 && parse_colour((words[0] + " " + words[1] + " " + words[2]).c_str(), colour))
            colour_words = 3;
        else if (!words.empty() && parse_colour(words[0].c_str(), colour))
            colour_words = 1;
        else if (words.size() >= 2 || (words.size() == 1 && meant_as_colour(words[0])))
            return connection_.note(colour_refusal(words[0]));
        if (words.size() > colour_words + 1)
            return connection_.note("usage: /login [R,G,B] [NAME]");
        std::string name = connection_.name();
        if (words.size() > colour_words && (name = wire_name(words.back())).empty())
            return;
        if (connection_.logged_in())
            return connection_.note("already logged in; /logout first, or /nick NAME for another name");
        if (colour_words > 0)
            connection_.choose_colour(colour);
        log_in_as(name);
    }

    // "/nick NAME": out under the old name and in under the new one, so
    // that the others see both.
    void command_nick(const std::vector<std::string> &words)
    {
        if (words.size() != 1)
            return connection_.note("usage: /nick NAME");
        std::string name = wire_name(words[0]);
        if (name.empty())
            return;
        if (name == connection_.name() && connection_.logged_in())
            return connection_.note(sentence("already logged in as %s", words[0].c_str()));
        connection_.log_out(show_);
        give_up_unless_logged_in();
        log_in_as(name);
    }

    void log_in_as(const std::string &name)
    {
        connection_.set_name(name);
        set_prompt(prompt());
        connection_.log_in(show_);
    }

    // Posts a typed line, which stays pending until its records come back;
    // after a lost connection, connects and logs in again first.
    void post(const std::string &text)
    {
        if (!connection_.logged_in() && connection_.connected()) {  // logged out on purpose
            connection_.note(not_logged_in_note);
            return;
        }
        if (!connection_.logged_in() && !connection_.log_in(show_))
            return;
        Posted line {connection_.codec().to_local(connection_.name()), {}, {}, steady_clock::now()};
        std::vector<std::string> pieces = connection_.pieces_of(text);
        for (const std::string &piece : pieces) {
            line.pieces.push_back(connection_.codec().to_local(piece));
            line.records.push_back(connection_.record_of(piece));
        }
        pending_.add(std::move(line));
        redraw_pending();
        for (const std::string &piece : pieces)
            if (!connection_.send_line("SEND " + piece))
                break;
        give_up_unless_logged_in();
    }

    Connection &connection_;
    const chat::Style &style_;
    PendingPosts pending_;
    bool quit_ = false;
    const Show show_ = [this](const Event &e) { show(e); };
};

}  // namespace

int run_interactive(Connection &connection, const chat::Style &style)
{
    return Interactive(connection, style).run();
}

}  // namespace chat_client
