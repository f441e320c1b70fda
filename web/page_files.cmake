# The page's files in web/page/, each with its type: the one list that the
# build embeds into chat_web (embed.cmake) and watches for changes. Each is
# served at /NAME, index.html at /.
set(page_files
  "index.html|text/html"
  "app.js|text/javascript"
  "style.css|text/css"
  "favicon.svg|image/svg+xml")
