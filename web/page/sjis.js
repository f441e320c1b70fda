// Shift_JIS byte counts, a guide for the counter and the name check:
// ASCII and half-width katakana take one byte, everything else two.
export function sjisBytes(text) {
  let n = 0;
  for (const ch of text) {
    const c = ch.codePointAt(0);
    n += c < 0x80 || (c >= 0xff61 && c <= 0xff9f) ? 1 : 2;
  }
  return n;
}
