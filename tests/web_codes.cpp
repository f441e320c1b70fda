// Prints what the gateway tells the page, as one JSON object, for the
// page's text tests: the event kinds, each reason as the gateway builds its
// event (with made-up values), and the codes of the server's error replies,
// whose text is the server's own.
#include <cstdio>
#include <string>

#include "json/json.hpp"
#include "web/page_wire.hpp"

using namespace chat_web;

namespace {

template <typename List, typename Show>
std::string array(const List &list, Show show)
{
    std::string out = "[";
    for (const auto &item : list)
        out += (out.size() > 1 ? "," : "") + show(item);
    return out + "]";
}

}  // namespace

int main()
{
    auto quoted = [](std::string_view s) { return chat::quote(s); };
    std::string reasons = array(reason_words, [](const ReasonWords &w) {
        return gateway_event(main_room, w.reason, ReasonValues {2, 30, "SENDER"});
    });
    printf("{\"room\":%s,\"events\":%s,\"reasons\":%s,\"server_errors\":%s}\n", quoted(main_room).c_str(),
           array(event::all, quoted).c_str(), reasons.c_str(), array(server_error_codes, quoted).c_str());
    return 0;
}
