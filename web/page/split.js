// Cutting a long text into posts, by the rule of the gateway's splitter
// (wire/splitter.cpp): each post ends after the last space, closing
// punctuation mark or emoji short code that leaves it within its limit in
// Shift_JIS bytes, else after the last whole character that does. Nothing
// is dropped: the posts joined are the text. Nothing here touches the
// page, so that the rule can be checked on its own.
import { sjisBytes } from './sjis.js';

// The characters after which a post may end: the ASCII ones, the
// ideographic space, the Japanese closing marks and the half-width ones.
// Opening brackets, the middle dot and colons are left out (a colon opens
// a short code and sits inside times and addresses).
const breaks = new Set([...' !),.;?]}', ...'　、。，．；？！…）〕］｝〉》」』】｡｣､']);

const codeCharacter = /[a-z0-9_]/;

// The length of the short code (colons included) that begins at `at` in
// the characters `chars`; 0 when none does. `codes`, a Set of code names,
// says which are codes; without it the page takes every colon, letters
// and colon for one (it has no table of them: where such a word is no
// code, a cut inside it is the only difference).
function codeAt(chars, at, codes) {
  if (chars[at] !== ':') return 0;
  let end = at + 1;
  while (end < chars.length && end - at <= 64 && codeCharacter.test(chars[end])) end += 1;
  if (end === at + 1 || end >= chars.length || chars[end] !== ':') return 0;
  if (codes && !codes.has(chars.slice(at + 1, end).join(''))) return 0;
  return end + 1 - at;
}

// How many characters the first post of `chars` takes.
function firstCut(chars, limit, codes) {
  let afterBreak = 0;
  let afterCharacter = 0;
  let bytes = 0;
  for (let at = 0; at < chars.length;) {
    const code = codeAt(chars, at, codes);
    const width = code || 1;
    const size = code ? code : sjisBytes(chars[at]);
    if (bytes + size > limit) {
      // A code is ASCII: a cut between any two of its letters is between characters.
      if (code) afterCharacter = at + (limit - bytes);
      break;
    }
    bytes += size;
    at += width;
    afterCharacter = at;
    if (code || breaks.has(chars[at - 1])) afterBreak = at;
  }
  return afterBreak || afterCharacter || 1;
}

// The posts of `text` for a body of at most `limit` bytes.
export function splitPosts(text, limit, codes) {
  let chars = [...text];
  const posts = [];
  while (sjisBytes(chars.join('')) > limit) {
    const cut = firstCut(chars, limit, codes);
    posts.push(chars.slice(0, cut).join(''));
    chars = chars.slice(cut);
  }
  if (chars.length || !posts.length) posts.push(chars.join(''));
  return posts;
}
