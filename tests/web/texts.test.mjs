// The page's texts without a browser: the English and Japanese tables in
// app.js match, every text the page and index.html use is in them, every
// reason code the gateway sends has a text, and the language is chosen
// from the browser's list.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const read = (file) => fs.readFileSync(path.join(root, file), 'utf8');
const app = read('web/page/app.js');
const html = read('web/page/index.html');

// A top-level declaration of app.js (from its first line to the closing
// brace at the start of a line), evaluated on its own.
function declaration(head) {
  const at = app.indexOf(`\n${head}`);
  assert.ok(at >= 0, `app.js declares ${head}`);
  const end = app.indexOf('\n}', at + 1);
  return app.slice(at + 1, end + 2).replace(/;?$/, ';');
}

const sandbox = { limits: { rate_count: 20, rate_seconds: 10 } };
vm.createContext(sandbox);
vm.runInContext(`${declaration('const TEXT = {')}\n${declaration('const TEXT_JA = {')}\n` +
  `${declaration('function pageLanguage(')}\nthis.tables = { en: TEXT, ja: TEXT_JA };`, sandbox);
const { en, ja } = sandbox.tables;

// Every entry as [path, value], the reason codes under 'reason.'.
function entries(table, prefix = '') {
  return Object.entries(table).flatMap(([key, value]) => (
    value && typeof value === 'object' ? entries(value, `${prefix}${key}.`) : [[prefix + key, value]]));
}

// A function's text with made-up arguments (a reason's gets its event).
function sample(id, value) {
  if (typeof value !== 'function') return value;
  return id.startsWith('reason.') ? value({ count: 2, seconds: 30 }) : value(...[7, 8, 9].slice(0, value.length));
}

describe('the page texts', () => {
  test('English and Japanese tables have the same ids, of the same kind, and Japanese is Japanese', () => {
    const enEntries = new Map(entries(en));
    const jaEntries = new Map(entries(ja));
    const missing = [...enEntries.keys()].filter((id) => !jaEntries.has(id));
    const extra = [...jaEntries.keys()].filter((id) => !enEntries.has(id));
    assert.deepEqual(missing, [], 'English texts without a Japanese one');
    assert.deepEqual(extra, [], 'Japanese texts without an English one');
    for (const [id, english] of enEntries) {
      const japanese = jaEntries.get(id);
      assert.equal(typeof japanese, typeof english, `${id}: the same kind of text`);
      if (typeof english === 'function') assert.equal(japanese.length, english.length, `${id}: the same arguments`);
      for (const [language, text] of [['en', sample(id, english)], ['ja', sample(id, japanese)]]) {
        assert.equal(typeof text, 'string', `${language} ${id} is a text`);
        assert.ok(text.trim() !== '' && !/undefined|NaN|\[object/.test(text), `${language} ${id}: ${JSON.stringify(text)}`);
      }
      // A text made only of its arguments, such as the unread count
      // before the title, has no words to translate.
      if (/[A-Za-z]/.test(sample(id, english)))
        assert.match(sample(id, japanese), /[\u3040-\u30ff\u4e00-\u9fff]/, `ja ${id} is written in Japanese`);
    }
  });

  test('every text app.js and index.html use is in the table, and every text in index.html is filled', () => {
    const used = [...app.matchAll(/\bt\(\s*'([^']+)'/g)].map((m) => m[1]);
    assert.ok(used.length > 20, 'found the t() calls');
    const named = [...html.matchAll(/\bdata-text(?:-title|-label|-placeholder)?="([^"]+)"/g)].map((m) => m[1]);
    for (const id of [...used, ...named]) assert.ok(id in en, `no text "${id}"`);

    // Written text stands only in elements with data-text; shown
    // attributes have their data-text- twin.
    const markup = html.replace(/<!--[\s\S]*?-->/g, '');
    let lastTag = '';
    for (const [token] of markup.matchAll(/<[^>]+>|[^<]+/g)) {
      if (token.startsWith('<')) {
        lastTag = token;
        for (const [attribute, twin] of [['title', 'title'], ['placeholder', 'placeholder'], ['aria-label', 'label']]) {
          if (new RegExp(`\\s${attribute}="`).test(token)) assert.match(token, new RegExp(`data-text-${twin}="`), token);
        }
      } else if (token.trim() !== '' && !/^<!doctype/i.test(lastTag)) {
        assert.match(lastTag, /\sdata-text="/, `"${token.trim()}" after ${lastTag} is filled from the table`);
      }
    }
  });

  test('every reason code the gateway sends has a page text', () => {
    const wire = read('web/page_wire.hpp');
    const codes = new Set([...wire.matchAll(/\{Reason::\w+, "([^"]+)"/g)].map((m) => m[1]));
    for (const [, list] of wire.matchAll(/server_error_codes\[\] = \{([^}]*)\}/g)) {
      for (const [, code] of list.matchAll(/"([^"]+)"/g)) codes.add(code);
    }
    for (const code of ['rate', 'name', 'replaced', 'timeout', 'missed', 'resume', 'busy']) {
      assert.ok(codes.has(code), `found the reason code ${code} in the gateway`);
    }
    // Error replies carry the chat server's own Japanese words, shown as
    // they are; the idle warning is worded by the page with its own clock.
    const notWorded = new Set(['server', 'busy', 'idle']);
    const without = [...codes].filter((code) => !notWorded.has(code) && !(code in en.reason));
    assert.deepEqual(without, [], 'reason codes without a page text');
  });

  test('the language is the first of Japanese or English in the browser list, else English', () => {
    const pick = (languages) => vm.runInContext(`pageLanguage(${JSON.stringify(languages)})`, sandbox);
    assert.equal(pick(['ja-JP', 'en-US']), 'ja');
    assert.equal(pick(['fr-FR', 'JA', 'en']), 'ja');
    assert.equal(pick(['de', 'en-GB', 'ja']), 'en');
    assert.equal(pick(['jv', 'ko-KR']), 'en');
    assert.equal(pick([]), 'en');
  });
});
