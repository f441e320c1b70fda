// A check that what the server sent one client keeps its framing, for
// the end-to-end tests and the fuzzer.
#pragma once

#include <string>
#include <string_view>

namespace chat_test {

// What is wrong with a stream that a server sent one client ("" when
// nothing): it must be whole error replies and whole batches only, each
// record opening with its colour and a TAB and ending at LF, or after 255
// bytes when it was cut. A stream that stops inside a batch is wrong too.
std::string framing_problem(std::string_view stream);

}  // namespace chat_test
