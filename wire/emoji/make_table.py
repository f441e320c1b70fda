#!/usr/bin/env python3
"""Makes wire/emoji/emoji.tsv, the table of emoji short codes.

    python3 wire/emoji/make_table.py > wire/emoji/emoji.tsv

Run by hand when the data below is updated, and commit the result; the
build turns the table into what each program needs. It reads Debian's
packages of Unicode's data (apt-get install unicode-cldr-core unicode-data):

- the English short names of the Common Locale Data Repository, the
  "tts" annotations of annotations/en.xml, which give the codes;
- the Emoji property of emoji/emoji-data.txt, which tells the emoji among
  the other symbols that the repository names too.

A short code is the name in lower case, spaces and hyphens turned into
underscores, letters with accents written without them, any other
punctuation dropped: "party popper" is :party_popper:. The table holds
single characters only, and only those that Shift_JIS (CP932, as iconv
knows it, like the programs) cannot hold: the others travel as they are.
Skin-tone modifiers and the skin-tone and ZWJ sequences are left out,
since a sender keeps only their base emoji.
"""
import html
import re
import subprocess
import sys
import unicodedata

CLDR = "/usr/share/unicode/cldr/common/annotations/en.xml"
EMOJI_DATA = "/usr/share/unicode/emoji/emoji-data.txt"


def emoji_code_points():
    """The code points with the Emoji property, less the skin tones."""
    points = set()
    modifiers = set()
    with open(EMOJI_DATA, encoding="utf-8") as data:
        for line in data:
            fields = line.split("#")[0].split(";")
            if len(fields) < 2:
                continue
            first, _, last = fields[0].strip().partition("..")
            span = range(int(first, 16), int(last or first, 16) + 1)
            prop = fields[1].strip()
            if prop == "Emoji":
                points.update(span)
            elif prop == "Emoji_Modifier":
                modifiers.update(span)
    return points - modifiers


def short_names():
    """(character, name) for every single character the annotations name."""
    text = open(CLDR, encoding="utf-8").read()
    found = re.findall(r'<annotation cp="([^"]+)" type="tts">([^<]*)</annotation>', text)
    return [(html.unescape(c), html.unescape(n)) for c, n in found]


def short_code(name):
    plain = unicodedata.normalize("NFKD", name)
    plain = "".join(c for c in plain if not unicodedata.combining(c)).lower()
    plain = re.sub(r"[ \-]+", "_", plain)
    return re.sub(r"[^a-z0-9_]", "", plain).strip("_")


def held_by_shift_jis(characters):
    """Which of the characters come back unchanged through CP932."""
    text = "\n".join(characters) + "\n"
    there = subprocess.run(["iconv", "-c", "-f", "UTF-8", "-t", "CP932"], input=text.encode(),
                           capture_output=True).stdout
    back = subprocess.run(["iconv", "-f", "CP932", "-t", "UTF-8"], input=there,
                          capture_output=True, check=True).stdout.decode()
    lines = back.split("\n")
    return {c for c, line in zip(characters, lines) if line == c}


def main():
    emoji = emoji_code_points()
    candidates = [(c, n) for c, n in short_names() if len(c) == 1 and ord(c) in emoji]
    held = held_by_shift_jis([c for c, _ in candidates])
    rows = {}
    used = set()
    for c, name in candidates:
        if c in held or ord(c) in rows:
            continue
        code = short_code(name)
        unique, n = code, 2
        while unique in used:
            unique, n = f"{code}_{n}", n + 1
        used.add(unique)
        rows[ord(c)] = unique
    out = sys.stdout
    out.write("# Emoji short codes, made by wire/emoji/make_table.py from Unicode's data\n")
    out.write("# (CLDR short names, the Emoji property); Unicode licence, see\n")
    out.write("# packaging/copyright. Code point, emoji, short code.\n")
    for point in sorted(rows):
        out.write(f"{point:04X}\t{chr(point)}\t{rows[point]}\n")


if __name__ == "__main__":
    main()
