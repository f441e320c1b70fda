#!/bin/sh
# Every message the programs mark for translation has a Japanese one:
#   translations_test.sh SOURCE_DIR
# The messages are extracted from the sources as they are now; each needs a
# translation in po/ja.po that is neither empty nor fuzzy, with the same
# printf placeholders, and po/chat-server.pot must hold the same messages.
# Skipped (status 77) without the gettext tools, except in CI.
set -eu
src=$1
fail() { echo "FAIL: $*"; exit 1; }
for tool in xgettext msgcmp msgfmt; do
    if ! command -v $tool >/dev/null; then
        [ "${CI:-}" = true ] && fail "$tool is missing in CI"
        echo "no $tool (apt-get install gettext): skipped"
        exit 77
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sh "$src/po/extract.sh" "$src" "$work/messages.pot"
update="cmake --build build --target update-po, then translate what po/ja.po marks"
msgfmt --check --output-file=/dev/null "$src/po/ja.po" || fail "po/ja.po does not compile cleanly"
msgcmp "$src/po/ja.po" "$work/messages.pot" ||
    fail "a message in the sources has no Japanese translation ($update)"
msgcmp --use-untranslated "$src/po/chat-server.pot" "$work/messages.pot" &&
    msgcmp --use-untranslated "$work/messages.pot" "$src/po/chat-server.pot" ||
    fail "po/chat-server.pot differs from the messages in the sources ($update)"
echo "ok: $(($(grep -c "^msgid " "$work/messages.pot") - 1)) messages, each translated"
