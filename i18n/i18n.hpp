// The programs' messages in the user's language (GNU gettext): where the
// package's catalogues are, and how a program takes its message locale.
#pragma once

#include <libintl.h>

// A message looked up in the catalogues where it is used; N_ marks one kept
// in a constant and looked up later with gettext().
#define _(text) gettext(text)
#define N_(text) text

// For a program that has taken its whole locale (setlocale(LC_ALL, "")):
// its messages come from the package's catalogues, in the locale's
// character set.
void bind_message_catalogues();

// For a program whose character handling must not follow the locale:
// takes only LC_MESSAGES from the environment (so LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG choose the language) and has the messages, the C
// library's own included, written in the message locale's character set,
// since LC_CTYPE stays "C".
void use_locale_for_messages_only();
