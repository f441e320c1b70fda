// What a client writes in the protocol's own forms: the login line, a name
// the server takes, and the records the server stores for the client's
// messages and notices, to know them when they come back.
#pragma once

#include <string>
#include <string_view>

namespace chat {

// Whether the server takes this as a login name: 1 to 30 bytes without
// white space, and not the system's sender word.
bool valid_name(std::string_view sjis_name);
// Whether the name is the system's sender word, which the server's notices
// carry and no user may take.
bool reserved_name(std::string_view sjis_name);
// The login line, CR LF included: LGIN, the colour field, a space and the
// name, as every client sends it.
std::string login_line(const int colour[3], std::string_view sjis_name);

// The record the server stores for a message of ours (body as sent).
std::string own_record(const int colour[3], std::string_view name, std::string_view body);
// A notice as the server composes it, without its CR LF.
std::string notice_record(const char *format, const int colour[3], std::string_view name);
// The name that a notice of this format is about, from the body of a
// record of the system's sender; "" when the body is no such notice.
std::string notice_name(const char *format, std::string_view body);

}  // namespace chat
