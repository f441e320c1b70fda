// The page's texts without a browser: the English and Japanese tables of
// texts.js match, every text the page and index.html use is in them, they
// word every reason the gateway sends (as web_codes, built from the
// gateway's own header, prints its events), and the language is chosen
// from the browser's list.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { pageLanguage, tables } from '../../web/page/texts.js';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const pageDir = path.join(root, 'web', 'page');
const scripts = fs.readdirSync(pageDir).filter((f) => f.endsWith('.js'))
  .map((f) => fs.readFileSync(path.join(pageDir, f), 'utf8')).join('\n');
const html = fs.readFileSync(path.join(pageDir, 'index.html'), 'utf8');
const { en, ja } = tables;

// Every entry as [path, value], the reason codes under 'reason.'.
function entries(table, prefix = '') {
  return Object.entries(table).flatMap(([key, value]) => (
    value && typeof value === 'object' ? entries(value, `${prefix}${key}.`) : [[prefix + key, value]]));
}

// A function's text with made-up arguments (a reason's gets an event).
function sample(id, value) {
  if (typeof value !== 'function') return value;
  return id.startsWith('reason.') ? value({ count: 2, seconds: 30 }) : value(...[7, 8, 9].slice(0, value.length));
}

const worded = (text) => typeof text === 'string' && text.trim() !== '' && !/undefined|NaN|\[object/.test(text);
const japanese = /[\u3040-\u30ff\u4e00-\u9fff]/;

describe('the page texts', () => {
  test('English and Japanese tables have the same ids, of the same kind, and Japanese is Japanese', () => {
    const enEntries = new Map(entries(en));
    const jaEntries = new Map(entries(ja));
    const missing = [...enEntries.keys()].filter((id) => !jaEntries.has(id));
    const extra = [...jaEntries.keys()].filter((id) => !enEntries.has(id));
    assert.deepEqual(missing, [], 'English texts without a Japanese one');
    assert.deepEqual(extra, [], 'Japanese texts without an English one');
    for (const [id, english] of enEntries) {
      const other = jaEntries.get(id);
      assert.equal(typeof other, typeof english, `${id}: the same kind of text`);
      if (typeof english === 'function') assert.equal(other.length, english.length, `${id}: the same arguments`);
      for (const [language, text] of [['en', sample(id, english)], ['ja', sample(id, other)]]) {
        assert.ok(worded(text), `${language} ${id}: ${JSON.stringify(text)}`);
      }
      // A text made only of its arguments, such as the unread count
      // before the title, has no words to translate.
      if (/[A-Za-z]/.test(sample(id, english))) assert.match(sample(id, other), japanese, `ja ${id} is written in Japanese`);
    }
  });

  test('every text the scripts and index.html use is in the table, and every text in index.html is filled', () => {
    const used = [...scripts.matchAll(/\bt\(\s*'([^']+)'/g)].map((m) => m[1]);
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

  test('the tables word each reason the gateway sends, from the members its event has, and no other', () => {
    const program = process.env.CHAT_WEB_CODES;
    assert.ok(program, 'CHAT_WEB_CODES names the web_codes program (ctest sets it)');
    const codes = JSON.parse(execFileSync(program, { encoding: 'utf8' }));
    assert.ok(codes.reasons.length > 15 && codes.events.includes('ended'), 'the gateway\'s reasons');
    for (const event of codes.reasons) {
      for (const [language, table] of [['en', en], ['ja', ja]]) {
        const text = table.reason[event.reason];
        assert.ok(text !== undefined, `${language}: no text for the reason "${event.reason}"`);
        const shown = typeof text === 'function' ? text(event) : text;
        assert.ok(worded(shown), `${language} ${event.reason}: ${JSON.stringify(shown)}`);
      }
    }
    const sent = new Set(codes.reasons.map((e) => e.reason));
    assert.deepEqual(Object.keys(en.reason).filter((code) => !sent.has(code)), [], 'texts for reasons never sent');
    // An error event carries the chat server's own Japanese words, shown
    // as they are: its codes need no text.
    assert.deepEqual(codes.server_errors, ['server', 'busy', 'full', 'stopped']);
  });

  test('the language is the first of Japanese or English in the browser list, else English', () => {
    assert.equal(pageLanguage(['ja-JP', 'en-US']), 'ja');
    assert.equal(pageLanguage(['fr-FR', 'JA', 'en']), 'ja');
    assert.equal(pageLanguage(['de', 'en-GB', 'ja']), 'en');
    assert.equal(pageLanguage(['jv', 'ko-KR']), 'en');
    assert.equal(pageLanguage([]), 'en');
  });
});
