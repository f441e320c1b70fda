// Finding the package's catalogues: a program run from the build tree uses
// the build's (locale/ beside it), an installed one the installed ones.
// Plain code with fixed buffers, since the server links it too.
#include "i18n/i18n.hpp"

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool is_directory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder of the running program, ending in '/'; false when unknown.
bool program_folder(char *folder, size_t size)
{
    ssize_t n = readlink("/proc/self/exe", folder, size);
    if (n <= 0 || static_cast<size_t>(n) >= size)
        return false;
    folder[n] = '\0';
    char *slash = strrchr(folder, '/');
    if (slash == nullptr)
        return false;
    slash[1] = '\0';
    return true;
}

// Whether `folder` followed by `relative` is a directory; the path is
// left in `path`.
bool catalogues_at(char *path, size_t size, const char *folder, const char *relative)
{
    int n = snprintf(path, size, "%s%s", folder, relative);
    return n > 0 && static_cast<size_t>(n) < size && is_directory(path);
}

// The build tree keeps the catalogues in locale/ beside the programs. An
// installed program looks under its own prefix first (share/locale seen
// from its bin folder), so that a package installed under another prefix
// than the build's still finds its own, and last in the configured folder.
const char *catalogue_folder(char *path, size_t size)
{
    char folder[PATH_MAX];
    if (program_folder(folder, sizeof folder) &&
        (catalogues_at(path, size, folder, "locale") ||
         catalogues_at(path, size, folder, CHAT_LOCALEDIR_FROM_BINDIR)))
        return path;
    return CHAT_LOCALEDIR;
}

}  // namespace

void bind_message_catalogues()
{
    char path[PATH_MAX];
    bindtextdomain(CHAT_TEXT_DOMAIN, catalogue_folder(path, sizeof path));
    textdomain(CHAT_TEXT_DOMAIN);
}

void use_locale_for_messages_only()
{
    setlocale(LC_MESSAGES, "");
    bind_message_catalogues();
    // The character set of the message locale (the same as LC_CTYPE's in
    // any sensible setting). Asking for it also matters to a statically
    // linked C library: it loads a locale category from the environment
    // only when the program uses that category's data, and otherwise
    // leaves the message locale nameless, neither "C" nor the user's.
    const char *codeset = nl_langinfo(_NL_MESSAGES_CODESET);
    bind_textdomain_codeset(CHAT_TEXT_DOMAIN, codeset);
    // The C library's own messages (strerror's) come from its own domain.
    bind_textdomain_codeset("libc", codeset);
}
