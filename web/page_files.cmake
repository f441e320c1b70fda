# The page's files in web/page/, each with its type: the one list that the
# build embeds into chat_web (embed.cmake) and watches for changes. Each is
# served at /NAME, index.html at /. The scripts are ES modules, which
# start.js imports. The icons are drawn from favicon.svg by make_icons.sh.
set(page_files
  "index.html|text/html"
  "style.css|text/css"
  "favicon.svg|image/svg+xml"
  "manifest.webmanifest|application/manifest+json"
  "icon-192.png|image/png"
  "icon-512.png|image/png"
  "start.js|text/javascript"
  "texts.js|text/javascript"
  "sjis.js|text/javascript"
  "colours.js|text/javascript"
  "state.js|text/javascript"
  "log.js|text/javascript"
  "richtext.js|text/javascript"
  "people.js|text/javascript"
  "complete.js|text/javascript"
  "outbox.js|text/javascript"
  "split.js|text/javascript"
  "screen.js|text/javascript"
  "socket.js|text/javascript"
  "archive.js|text/javascript"
  "search.js|text/javascript"
  "rooms.js|text/javascript")
# Files the build makes, served like the others: the emoji short codes
# (wire/emoji/generate.cmake), read from GENERATED_DIR.
set(generated_page_files
  "emoji.js|text/javascript")
