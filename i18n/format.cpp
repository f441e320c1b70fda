// printf into a std::string.
#include "i18n/format.hpp"

#include <cstdarg>
#include <cstdio>

namespace chat {

std::string formatted(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace chat
