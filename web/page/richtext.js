// A record's text as the page shows it, built from DOM nodes only (text
// nodes and links, never markup): links that can be clicked, emoji short
// codes as their emoji, /me as an action; whether a text names the user;
// and emoji turned into short codes before they are sent, by the same rules
// as the terminal client (wire/emoji.cpp) over the same generated table.
import { shortCodes } from './emoji.js';

const emojiOf = new Map([...shortCodes].map(([emoji, code]) => [code, emoji]));
// The table's code names, for the splitter, which never cuts inside one.
export const codeNames = new Set(emojiOf.keys());
const longestCode = Math.max(...[...emojiOf.keys()].map((c) => c.length));

const zeroWidthJoiner = 0x200d;
const textSelector = 0xfe0e, emojiSelector = 0xfe0f;

// What follows an emoji and belongs to it: variation selectors, skin-tone
// modifiers, and the tag characters of a subdivision flag.
function ridesOnEmoji(c) {
  return c === textSelector || c === emojiSelector || (c >= 0x1f3fb && c <= 0x1f3ff) || (c >= 0xe0020 && c <= 0xe007f);
}

// Each emoji of the table as its short code; what rides on it goes with
// it, a ZWJ sequence goes as its first emoji, VS16 is dropped everywhere.
// Anything else stays, for the gateway to make 〓 of what Shift_JIS lacks.
export function toShortCodes(text) {
  const chars = [...text];
  let out = '';
  for (let i = 0; i < chars.length; i++) {
    const c = chars[i].codePointAt(0);
    if (c === emojiSelector) continue;
    const code = shortCodes.get(chars[i]);
    if (code === undefined) {
      out += chars[i];
      continue;
    }
    out += `:${code}:`;
    for (;;) {
      const next = chars[i + 1]?.codePointAt(0);
      if (next === zeroWidthJoiner && i + 2 < chars.length) i += 2;
      else if (next !== undefined && ridesOnEmoji(next)) i += 1;
      else break;
    }
  }
  return out;
}

const codeCharacter = /[a-z0-9_]/;

// Each short code of the table as its emoji; any other :word: stays, and
// its closing colon may open the next code.
export function fromShortCodes(text) {
  let out = '';
  for (let at = 0; at < text.length;) {
    if (text[at] === ':') {
      let end = at + 1;
      while (end < text.length && end - at - 1 <= longestCode && codeCharacter.test(text[end])) end++;
      const emoji = text[end] === ':' && end > at + 1 ? emojiOf.get(text.slice(at + 1, end)) : undefined;
      if (emoji) {
        out += emoji;
        at = end + 1;
        continue;
      }
    }
    out += text[at++];
  }
  return out;
}

// A link starts at one of these schemes, not inside an ASCII word, and
// runs to the first space or non-ASCII character (Japanese puts no space
// after it). Only these schemes: anything else (javascript:) stays text.
const linkStart = /(?<![A-Za-z0-9+.-])(?:https?:\/\/|mailto:)[\x21-\x7e]+/gi;
const trailing = /[.,;:!?'"]$/;

// The end of a link without the punctuation that closes the sentence
// around it; a ) goes only when the link opened none.
function trimLink(url) {
  for (;;) {
    if (trailing.test(url)) url = url.slice(0, -1);
    else if (url.endsWith(')') && url.split('(').length < url.split(')').length) url = url.slice(0, -1);
    else return url;
  }
}

// The text as pieces: { link } or { text }.
export function pieces(text) {
  const out = [];
  let at = 0;
  for (const m of text.matchAll(linkStart)) {
    const url = trimLink(m[0]);
    if (!/^(?:https?:\/\/|mailto:)./i.test(url)) continue;
    if (m.index > at) out.push({ text: text.slice(at, m.index) });
    out.push({ link: url });
    at = m.index + url.length;
  }
  if (at < text.length) out.push({ text: text.slice(at) });
  return out;
}

function linkNode(url) {
  const a = document.createElement('a');
  a.href = url;
  a.textContent = url;
  a.target = '_blank';
  a.rel = 'noopener noreferrer';
  return a;
}

// Fills `el` with the text: links as links, short codes as emoji, the
// rest as text nodes.
export function fillText(el, text) {
  for (const piece of pieces(text)) {
    el.append(piece.link ? linkNode(piece.link) : document.createTextNode(fromShortCodes(piece.text)));
  }
}

// An action: "/me waves" is shown as "* name waves".
export function actionOf(text) {
  return text.startsWith('/me ') ? text.slice(4) : null;
}

const asciiOnly = /^[\x00-\x7f]+$/;
const wordCharacter = /[A-Za-z0-9_]/;

// Whether the text names `name`: an ASCII name as a word in any case, a
// name with other characters wherever it appears.
export function mentions(text, name) {
  if (!name) return false;
  if (!asciiOnly.test(name)) return text.includes(name);
  const lower = text.toLowerCase(), wanted = name.toLowerCase();
  for (let at = lower.indexOf(wanted); at >= 0; at = lower.indexOf(wanted, at + 1)) {
    const before = text[at - 1], after = text[at + wanted.length];
    if (!(before && wordCharacter.test(before)) && !(after && wordCharacter.test(after))) return true;
  }
  return false;
}
