// The interactive mode: typed lines are posted and shown dimmed until
// their records come back, commands at the prompt, and a connection that
// ends is reported while the client stays.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "modes.hpp"
#include "options.hpp"
#include "pending.hpp"
#include "prompt.hpp"
#include "wire/compose.hpp"

namespace chat_client {

using chat::Event;

namespace {

const char *const not_logged_in_note = N_("not logged in; /login logs in again");

// The server logs out whoever sends nothing for idle_seconds; the user is
// warned a minute before, or halfway through a shorter time-out (the test
// build's).
constexpr std::chrono::seconds idle_limit {idle_seconds};
constexpr std::chrono::seconds idle_warning_lead {std::min(60, idle_seconds / 2)};

// The names that Tab offers, the last seen first; the oldest go beyond this.
constexpr size_t names_kept = 200;

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
        set_name_source([this] { return names_to_complete(); });
        start_prompt(prompt(), [this](std::optional<std::string> line) { typed(line); });
        while (!quit_ && !interrupted) {
            bool input_ready;
            int timeout = sooner(pending_.ms_until_late(steady_clock::now()), ms_until_idle_warning());
            for (const Event &e : connection_.wait_for_events(timeout, true, &input_ready))
                if (!connection_.check_fatal(e))
                    show(e);
            if (input_ready)
                read_typed();
            if (pending_.mark_late(steady_clock::now()))
                redraw_pending();
            if (ms_until_idle_warning() == 0)
                warn_of_idle_time_out();
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
        if (e.kind == Event::record)
            remember_name(e);
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
        std::string text = chat::clock_text(time(nullptr), style_) + " " +
                           chat::sentence(_("%s  (may not have been posted)"), typed_form(line).c_str());
        print_above_prompt(style_.colour ? "\033[2m" + text + "\033[0m" : text);
    }

    // Poll time-outs, -1 for none: the one that comes first.
    static int sooner(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

    // Milliseconds until the warning before the server's idle time-out
    // (0: due now); -1 when there is none to give: not logged in, or
    // already warned since the last line went to the server.
    int ms_until_idle_warning() const
    {
        if (!connection_.logged_in() || warned_after_ == connection_.last_sent())
            return -1;
        auto due = connection_.last_sent() + idle_limit - idle_warning_lead;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - steady_clock::now()).count();
        return static_cast<int>(std::max<long>(left, 0));
    }

    void warn_of_idle_time_out()
    {
        warned_after_ = connection_.last_sent();
        int seconds = static_cast<int>(idle_warning_lead.count());
        connection_.note(chat::sentence(
            ngettext("the server logs you out in %d second for staying silent; press Enter to stay",
                     "the server logs you out in %d seconds for staying silent; press Enter to stay", seconds),
            seconds));
    }

    // The senders of messages and the names that log in, for Tab.
    void remember_name(const Event &e)
    {
        std::string name = e.system ? chat::notice_name(notice_login, e.body) : e.sender;
        if (name.empty())
            return;
        name = connection_.codec().to_local(name);
        names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end());
        names_.insert(names_.begin(), name);
        if (names_.size() > names_kept)
            names_.pop_back();
    }

    // Everybody seen but the user.
    std::vector<std::string> names_to_complete() const
    {
        std::string own = connection_.codec().to_local(connection_.name());
        std::vector<std::string> names;
        std::copy_if(names_.begin(), names_.end(), std::back_inserter(names),
                     [&](const std::string &name) { return name != own; });
        return names;
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
    std::string typed_form(const Posted &line) const
    {
        return chat::defuse_controls(line.sender + "> " + line.text(), style_.charset);
    }

    std::vector<PendingLine> pending_lines() const
    {
        std::vector<PendingLine> lines;
        for (const Posted &line : pending_.lines())
            lines.push_back({typed_form(line), line.late ? "  " + std::string(_("(waiting for the server)")) : ""});
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
        if (text->empty()) {  // Enter alone: ask for what is new, which keeps the session
            if (connection_.logged_in())
                connection_.send_line("RELD");
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
                connection_.note(_("not connected; type a line or /login to log in again"));
        } else if (command == "/logout" && !connection_.logged_in()) {
            connection_.note(_(not_logged_in_note));
        } else if (command == "/logout") {
            connection_.log_out(show_);
            give_up_unless_logged_in();
        } else if (command == "/login") {
            command_login(words_of(rest));
        } else if (command == "/nick") {
            command_nick(words_of(rest));
        } else if (command == "/me" && rest.find_first_not_of(' ') == std::string::npos) {
            connection_.note(_("usage: /me ACTION"));
        } else if (command == "/me") {
            post(line);  // as it is: the others' clients show it as an action
        } else if (command == "/help") {
            print_above_prompt(_("/reload  /logout  /login [R,G,B] [NAME]  /nick NAME  /me ACTION  /help  /quit"));
            print_above_prompt(_("//text posts /text; Tab completes names; Enter on an empty line keeps you logged in"));
        } else {
            connection_.note(chat::sentence(_("unknown command %s; /help lists them"), command.c_str()));
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
            return connection_.note(_("usage: /login [R,G,B] [NAME]"));
        std::string name = connection_.name();
        if (words.size() > colour_words && (name = wire_name(words.back())).empty())
            return;
        if (connection_.logged_in())
            return connection_.note(_("already logged in; /logout first, or /nick NAME for another name"));
        if (colour_words > 0)
            connection_.choose_colour(colour);
        log_in_as(name);
    }

    // "/nick NAME": out under the old name and in under the new one, so
    // that the others see both.
    void command_nick(const std::vector<std::string> &words)
    {
        if (words.size() != 1)
            return connection_.note(_("usage: /nick NAME"));
        std::string name = wire_name(words[0]);
        if (name.empty())
            return;
        if (name == connection_.name() && connection_.logged_in())
            return connection_.note(chat::sentence(_("already logged in as %s"), words[0].c_str()));
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
            connection_.note(_(not_logged_in_note));
            return;
        }
        if (!connection_.logged_in() && !connection_.log_in(show_))
            return;
        Posted line {connection_.codec().to_local(connection_.name()), {}, {}, steady_clock::now()};
        std::vector<std::string> pieces = connection_.pieces_of(text);
        for (const std::string &piece : pieces) {
            line.pieces.push_back(chat::local_text(piece, connection_.codec()));
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
    std::vector<std::string> names_;  // in the locale's character set, the last seen first
    steady_clock::time_point warned_after_;  // the last line sent before the last idle warning
    bool quit_ = false;
    const Show show_ = [this](const Event &e) { show(e); };
};

}  // namespace

int run_interactive(Connection &connection, const chat::Style &style)
{
    return Interactive(connection, style).run();
}

}  // namespace chat_client
