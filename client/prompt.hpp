// The interactive prompt: readline keeps the line being typed at the
// bottom of the terminal while records are printed above it, with the
// lines on their way to the server shown dimmed between the two.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace chat_client {

// A line shown between the records and the prompt: the text, cut to the
// terminal's width when it is longer, and a note after it that is never
// cut.
struct PendingLine {
    std::string text;
    std::string note;
};

// Starts reading lines at `prompt`. Each line typed goes to `on_line`, an
// empty one too, and each that is not empty into the history of typed
// lines; the end of input, Ctrl-D, goes as nullopt. A line accepted with Enter is taken off the
// screen: what becomes of it is for `on_line` to show.
void start_prompt(const std::string &prompt, std::function<void(std::optional<std::string>)> on_line);
// Reads what standard input holds; call it when poll says it can be read.
void read_typed();
// Shows `prompt` from the next line on.
void set_prompt(const std::string &prompt);
void stop_prompt();

// The names that Tab completes, asked for at each completion, likeliest
// first.
void set_name_source(std::function<std::vector<std::string>()> source);

// Where the pending lines come from, asked each time they are drawn;
// `dim` draws them dimmed.
void set_pending_source(std::function<std::vector<PendingLine>()> source, bool dim);
// Draws the pending lines again, after they changed.
void redraw_pending();

// Prints a line above the pending lines and the prompt, and puts them and
// the half-typed line back under it.
void print_above_prompt(const std::string &text);

}  // namespace chat_client
