#!/bin/sh
# Draws the installable page's icons, icon-192.png and icon-512.png, from
# favicon.svg with Debian's chromium, on the page's background colour with
# room around the bubble (a launcher may cut the corners off):
#   sh web/page/make_icons.sh [CHROMIUM]
# The PNGs are committed; run this again after changing favicon.svg.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
chromium=${1:-/usr/bin/chromium}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 192 512; do
    cat >"$work/icon.html" <<HTML
<!doctype html>
<html><body style="margin:0;background:#fbfbfa">
<img src="file://$here/favicon.svg" style="display:block;width:${size}px;height:${size}px;box-sizing:border-box;padding:$((size / 8))px">
</body></html>
HTML
    "$chromium" --headless=new --no-sandbox --disable-gpu --hide-scrollbars --no-first-run \
        --default-background-color=fbfbfaff --window-size="$size,$size" \
        --screenshot="$work/icon.png" "file://$work/icon.html" >/dev/null 2>&1
    cp "$work/icon.png" "$here/icon-$size.png"
done
