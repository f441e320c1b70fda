// The interactive prompt: readline keeps the line being typed at the
// bottom of the terminal while records are printed above it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace chat_client {

// Starts reading lines at `prompt`. Each line typed that is not empty goes
// to `on_line` (and into the history of typed lines); the end of input,
// Ctrl-D, goes as nullopt.
void start_prompt(const std::string &prompt, std::function<void(std::optional<std::string>)> on_line);
// Reads what standard input holds; call it when poll says it can be read.
void read_typed();
// Shows `prompt` from the next line on.
void set_prompt(const std::string &prompt);
void stop_prompt();

// Prints a line above the prompt and puts the prompt and the half-typed
// line back under it; while a typed line is handled, where no prompt is
// shown, prints it plainly.
void print_above_prompt(const std::string &text);

}  // namespace chat_client
