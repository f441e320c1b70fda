// Messages for the user from one printf format each: every sentence the
// client says stays one string, with its values in it, ready to translate.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace chat_client {

// The format filled in with the values, as printf would print it.
[[gnu::format(printf, 1, 2)]] inline std::string sentence(const char *format, ...)
{
    va_list values, again;
    va_start(values, format);
    va_copy(again, values);
    int size = vsnprintf(nullptr, 0, format, values);
    va_end(values);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace chat_client
