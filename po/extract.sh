#!/bin/sh
# Extracts the programs' messages into a template:
#   extract.sh SOURCE_DIR OUTPUT.pot [VERSION]
# Messages are marked _("...") where they are used, N_("...") where a
# constant keeps them; every C++ file of the programs is read.
set -eu
src=$1 out=$2 version=${3:-}
cd "$src"
find src i18n client history archive web terminal wire json -name '*.cpp' -o -name '*.hpp' |
    LC_ALL=C sort |
    xgettext --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_ \
        --add-comments=TRANSLATORS: --add-location=file --no-wrap \
        --copyright-holder="the chat-server authors" \
        --package-name=chat-server --package-version="$version" \
        --msgid-bugs-address=chat-server@example.org \
        --force-po --files-from=- --output="$out"
# xgettext leaves a placeholder for the title.
sed -i '1s/.*/# The messages of the chat-server programs, the template of po\/LANG.po./' "$out"
