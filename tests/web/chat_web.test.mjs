// chat_web in Debian's chromium, against the real chat_server_fast (1 s
// tick, 8 s idle time-out), once the shipped chat_server, and the real
// gateway.
import { after, afterEach, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import {
  RawClient, RawWebSocket, bytes, clientBinary, gatewayBinary, holdLock, launchBrowser, loggedInPage, records, seriousViolations,
  restartServer, serverWithArchive, serverWithTaro, sjis, startGateway, startNginx, startProxy, startServer, stopAll,
  until,
  watchProblems,
} from './helpers.mjs';
import { splitPosts } from '../../web/page/split.js';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); await stopAll(); });
afterEach(async () => {
  for (const p of browser.pages()) await p.close();
  await stopAll();
});

const texts = async (page) => (await records(page)).map((r) => r.text);
const logAtBottom = (page) => page.$eval('#log', (l) => l.scrollHeight - l.scrollTop - l.clientHeight < 2);

// Posts `count` numbered lines from a raw client, at most 15 a delivery,
// and waits until the page shows the last.
async function fillLog(page, raw, count, tag = 'line') {
  for (let i = 1; i <= count; i++) {
    raw.send(`SEND ${tag} ${i}\r\n`);
    if (i % 15 === 0 || i === count) await until(async () => (await texts(page)).includes(`${tag} ${i}`), 10000, `${tag} ${i}`);
  }
}

// The connection processes of a server: the listener's children.
const childrenOf = (pid) => fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').trim().split(/\s+/).filter(Boolean).map(Number);

describe('chatting', () => {
  test('two pages and a raw client chat; Japanese is Shift_JIS on the wire; markup stays text', async () => {
    const { gateway, raw } = await serverWithTaro();
    const hanako = await loggedInPage(browser, gateway.url, '花子', '#ff0000');
    const markup = await loggedInPage(browser, gateway.url, '<img/src=x>', '#00ff00');

    await hanako.fill('input[name=message]', 'こんにちは <b>世界</b>');
    await hanako.press('input[name=message]', 'Enter');
    await raw.waitFor(bytes('255000000\t', sjis('花子'), '\t', sjis('こんにちは <b>世界</b>'), '\r\n'));

    raw.send('SEND ', sjis('おはよう、<script>alert(1)</script>'), '\r\n');
    for (const page of [hanako, markup]) {
      await until(async () => (await texts(page)).includes('おはよう、<script>alert(1)</script>'), 10000, 'the raw post');
    }
    const shown = await records(markup);
    assert.ok(shown.some((r) => r.sender === 'taro' && !r.notice));
    assert.ok(shown.some((r) => r.notice && r.text === '<img/src=x>がログインしました'));
    assert.ok(shown.some((r) => r.sender === '花子' && r.text === 'こんにちは <b>世界</b>'));
    assert.equal(await markup.$$eval('#log img, #log script, #log b', (n) => n.length), 0);

    // A message longer than one record goes out in pieces, none cut inside a character.
    const long = 'あ'.repeat(130);
    await markup.fill('input[name=message]', long);
    assert.match(await markup.textContent('#left'), /sent as 2 messages/);
    await markup.press('input[name=message]', 'Enter');
    await until(async () => (await texts(hanako)).filter((t) => /^あ+$/.test(t)).join('') === long, 10000, 'both pieces');
  });

  test('the view follows new records only at the bottom; a hidden tab counts them in its title', async () => {
    const { gateway, raw } = await serverWithTaro();
    const page = await loggedInPage(browser, gateway.url, 'reader');
    const post = async (...lines) => {
      for (const line of lines) raw.send('SEND ', line, '\r\n');
      await until(async () => (await texts(page)).includes(lines.at(-1)), 10000, lines.at(-1));
    };
    const atBottom = () => page.$eval('#log', (l) => l.scrollHeight - l.scrollTop - l.clientHeight < 40);
    for (let group = 0; group < 4; group++)  // fewer than a board's worth a tick
      await post(...Array.from({ length: 15 }, (_, i) => `line ${group * 15 + i}`));
    assert.ok(await atBottom(), 'at the bottom, the view follows');
    assert.ok(await page.isHidden('.new-messages'));
    await page.$eval('#log', (l) => { l.scrollTop = 0; });
    await post('while reading above');
    assert.equal(await page.$eval('#log', (l) => l.scrollTop), 0, 'scrolled up, the view stays');
    await page.click('.new-messages');  // says that more came below, and takes the view there
    assert.ok(await atBottom());
    assert.ok(await page.isHidden('.new-messages'));
    assert.equal(await page.evaluate(() => document.activeElement.id), 'message');

    const setHidden = (hidden) => page.evaluate((h) => {
      Object.defineProperty(document, 'hidden', { value: h, configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    }, hidden);
    await setHidden(true);
    await post('unseen one', 'unseen two');
    assert.match(await page.title(), /^\(2\) /);
    await setHidden(false);
    assert.doesNotMatch(await page.title(), /^\(/);
  });

  test('Enter during IME composition does not send; Enter after it does', async () => {
    const { gateway, raw } = await serverWithTaro();
    const page = await loggedInPage(browser, gateway.url, 'ime');
    const cdp = await page.context().newCDPSession(page);
    await page.focus('input[name=message]');
    await cdp.send('Input.imeSetComposition', { text: 'にほんご', selectionStart: 4, selectionEnd: 4 });
    await page.keyboard.press('Enter');
    await cdp.send('Input.imeSetComposition', { text: '日本語', selectionStart: 3, selectionEnd: 3 });
    await page.keyboard.press('Enter');
    await cdp.send('Input.insertText', { text: '日本語' });  // confirms the composition
    await until(async () => (await page.inputValue('input[name=message]')) === '日本語', 5000, 'the confirmed text');
    // Nothing was posted while composing: the next record to arrive is the real one.
    const before = raw.received.length;
    await page.keyboard.press('Enter');
    const got = await raw.waitFor(bytes('\t', sjis('ime'), '\t', sjis('日本語'), '\r\n'));
    const after = got.subarray(before).toString('latin1');
    assert.ok(!after.includes(sjis('にほんご').toString('latin1')), 'the composition was never posted');
    assert.equal(got.toString('latin1').split(`\t${'ime'}\t`).length - 1, 1, 'exactly one post');
  });

  test('links, /me and emoji: clickable, italic and drawn on the page, plain text on the wire', async () => {
    const { gateway, raw } = await serverWithTaro();
    const page = await loggedInPage(browser, gateway.url, 'alice');
    raw.send('SEND ', sjis('see https://example.com/a_(b)?q=1. or (mailto:x@example.org), not javascript:alert(1) nor xhttp://no'), '\r\n');
    raw.send('SEND ', sjis('https://example.jpを見て「http://example.net/」'), '\r\n');
    raw.send('SEND :party_popper: :unknown_code: a:thumbs_up:b\r\n');
    await until(async () => (await texts(page)).includes('🎉 :unknown_code: a👍b'), 10000, 'the raw posts');
    const links = await page.$$eval('#log .text a', (as) => as.map((a) => [a.textContent, a.href, a.target, a.rel]));
    assert.deepEqual(links, [
      ['https://example.com/a_(b)?q=1', 'https://example.com/a_(b)?q=1', '_blank', 'noopener noreferrer'],
      ['mailto:x@example.org', 'mailto:x@example.org', '_blank', 'noopener noreferrer'],
      ['https://example.jp', 'https://example.jp/', '_blank', 'noopener noreferrer'],
      ['http://example.net/', 'http://example.net/', '_blank', 'noopener noreferrer'],
    ]);
    assert.ok((await texts(page)).includes('https://example.jpを見て「http://example.net/」'), 'the text as written');

    // Emoji go as the terminal client's short codes; skin tone, ZWJ parts and VS16 ride along.
    await page.fill('input[name=message]', '🎉');
    const left = Number((await page.textContent('#left')).match(/\d+/)[0]);
    await page.fill('input[name=message]', '');
    const empty = Number((await page.textContent('#left')).match(/\d+/)[0]);
    assert.equal(empty - left, ':party_popper:'.length, 'the counter counts the short code');
    await say(page, '🎉 👍🏽 👋\u200d🔥 ❤\ufe0f done');
    await raw.waitFor('\talice\t:party_popper: :thumbs_up: :waving_hand: :red_heart: done\r\n');
    await say(page, '/me waves 🎉');
    await raw.waitFor('\talice\t/me waves :party_popper:\r\n');
    raw.send('SEND /me nods at https://example.com\r\n');
    await until(async () => (await texts(page)).includes('* taro nods at https://example.com'), 10000, 'the action');
    const actions = await page.$$eval('.record.action', (rows) => rows.map((r) => ({
      text: r.querySelector('.text').textContent, italic: getComputedStyle(r.querySelector('.text')).fontStyle,
      actor: getComputedStyle(r.querySelector('.actor')).color, sender: r.querySelector('.sender').style.color,
    })));
    assert.deepEqual(actions.map((a) => [a.text, a.italic]), [['* alice waves 🎉', 'italic'], ['* taro nods at https://example.com', 'italic']]);
    for (const a of actions) assert.equal(a.actor, a.sender, 'the actor in the sender\'s colour');
    assert.equal(await page.$$eval('.record.action a', (as) => as.length), 1);
  });

  test('a record that names you is marked and counted apart; Tab completes names, cycling', async () => {
    const { server, gateway, raw } = await serverWithTaro();
    const tanaka = await RawClient.connect(server.port);
    await tanaka.login('200100000', 'tanaka');
    const alice = await loggedInPage(browser, gateway.url, 'Alice');
    const hanako = await loggedInPage(browser, gateway.url, '花子');
    for (const text of ['hi ALICE!', 'malice and alice_2 are not her', '花子さん、どうぞ', 'plain']) raw.send('SEND ', sjis(text), '\r\n');
    for (const page of [alice, hanako]) await until(async () => (await texts(page)).includes('plain'), 10000, 'the posts');
    const marked = async (page) => page.$$eval('.record.mention .text', (n) => n.map((e) => e.textContent));
    assert.deepEqual(await marked(alice), ['hi ALICE!']);
    assert.deepEqual(await marked(hanako), ['花子さん、どうぞ']);
    await say(alice, 'alice here, not a mention of myself');
    await until(async () => (await texts(alice)).includes('alice here, not a mention of myself'), 10000, 'own post');
    assert.deepEqual(await marked(alice), ['hi ALICE!']);

    // Notifications, once allowed, are for mentions only unless asked for all.
    assert.ok(await alice.isVisible('#notify-label'), '127.0.0.1 is a secure context');
    await alice.evaluate(() => {
      window.notified = [];
      window.Notification = class { static permission = 'granted'; constructor(title, o) { window.notified.push(o.body); } };
    });
    await alice.check('#notify');
    assert.equal(await alice.inputValue('#notify-what'), 'mentions');
    await alice.evaluate(() => {
      Object.defineProperty(document, 'hidden', { value: true, configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    });
    for (const text of ['one', 'two, alice? :party_popper:', 'three']) raw.send('SEND ', text, '\r\n');
    await until(async () => (await alice.title()) === '(3, @1) Chat on 127.0.0.1', 10000, 'the count in the title');
    assert.deepEqual(await alice.evaluate(() => window.notified), ['two, alice? 🎉']);
    await alice.selectOption('#notify-what', 'all');
    raw.send('SEND four\r\n');
    await until(async () => (await alice.title()) === '(4, @1) Chat on 127.0.0.1', 10000, 'one more');
    assert.deepEqual(await alice.evaluate(() => window.notified), ['two, alice? 🎉', 'four']);

    // tanaka logged in before the page (not in the list) and posts: a recent sender.
    tanaka.send('SEND ready\r\n');
    await until(async () => (await texts(alice)).includes('ready'), 10000, 'tanaka\'s post');
    await alice.fill('input[name=message]', 'thanks t');
    const tab = async () => { await alice.press('input[name=message]', 'Tab'); return alice.inputValue('input[name=message]'); };
    const cycled = [await tab(), await tab(), await tab()];
    assert.deepEqual([...cycled.slice(0, 2)].sort(), ['thanks tanaka', 'thanks taro']);
    assert.equal(cycled[2], cycled[0], 'round again');
    assert.equal(await alice.evaluate(() => document.activeElement.id), 'message');
    await alice.fill('input[name=message]', 'hello 花');
    assert.equal(await tab(), 'hello 花子', 'a name from the login notices');
    await alice.fill('input[name=message]', 'nobody zq');
    await alice.press('input[name=message]', 'Tab');
    assert.equal(await alice.evaluate(() => document.activeElement.id), 'send', 'nothing to complete: the focus moves');
  });

});

// What a raw client received since `mark` about `name` logging in or out.
const comings = (raw, mark, name) => ['がログインしました', 'がログアウトしました', 'はタイムアウト']
  .filter((what) => raw.received.subarray(mark).includes(bytes(name, sjis(what))));

// Where a raw client's bytes stand once it has seen `name` log in.
async function markAfterLogin(raw, name) {
  await raw.waitFor(bytes(name, sjis('がログインしました')));
  return raw.received.length;
}

async function say(page, text) {
  await page.fill('input[name=message]', text);
  await page.press('input[name=message]', 'Enter');
}

describe('keeping what people type', () => {
  test('the page cuts a text where the gateway\'s splitter does, on the shared cases', () => {
    const tsv = fs.readFileSync(new URL('../../wire/emoji/emoji.tsv', import.meta.url), 'utf8');
    const codes = new Set(tsv.split('\n').filter((l) => l && !l.startsWith('#')).map((l) => l.split('\t')[2]));
    const cases = fs.readFileSync(new URL('../split_cases.jsonl', import.meta.url), 'utf8').split('\n').filter(Boolean);
    assert.ok(cases.length >= 15);
    for (const c of cases.map((l) => JSON.parse(l))) {
      const want = c.cut.split('✂');
      assert.deepEqual(splitPosts(want.join(''), c.limit, codes), want, c.case);
      assert.deepEqual(splitPosts(want.join(''), c.limit), want, `${c.case}, without the table of codes`);
    }
  });

  test('a paste of 8 posts is cut at spaces and said beforehand; two go out paced; 11 are refused and kept', async () => {
    // The shipped server: its 5 s deliveries are what the pacing is for.
    const server = await startServer({ shipped: true });
    const gateway = await startGateway(server.port);
    const raw = await RawClient.connect(server.port);
    await raw.login('001002003', 'taro');
    const page = await loggedInPage(browser, gateway.url, 'paster');
    // Words of 46 bytes and a space: five fit in the 236 bytes a post of
    // this name holds, six do not, so each post is five words cut after a space.
    const words = (tag, n) => Array.from({ length: n }, (_, i) => `${tag}${String(i).padStart(2, '0')}${'w'.repeat(43)}`).join(' ');
    const tooLong = words('z', 55);
    await page.fill('input[name=message]', tooLong);
    assert.match(await page.textContent('#left'), /^Too long to send: it would be 11 messages, a text makes at most 10/);
    await page.press('input[name=message]', 'Enter');
    await page.click('#send');
    assert.equal(await page.inputValue('input[name=message]'), tooLong, 'the text stays in the box');
    assert.equal(await page.$$eval('.pending', (n) => n.length), 0, 'nothing was queued');

    const first = words('a', 40);
    const second = words('b', 40);
    await page.fill('input[name=message]', first);
    assert.match(await page.textContent('#left'), /will be sent as 8 messages$/);
    await page.press('input[name=message]', 'Enter');
    assert.equal(await page.inputValue('input[name=message]'), '');
    await say(page, second);
    const own = async () => (await records(page)).filter((r) => r.sender === 'paster').map((r) => r.text);
    await until(async () => (await own()).length === 16, 20000, 'every post on the page');
    assert.equal((await own()).slice(0, 8).join(''), first);
    assert.equal((await own()).slice(8).join(''), second);
    for (const post of (await own()).filter((_, i) => i % 8 !== 7)) assert.match(post, / $/, 'cut after a space');
    assert.equal(await page.$$eval('.pending', (n) => n.length), 0);
    await raw.waitFor(`\tpaster\t${second.split(' ').slice(-5).join(' ')}\r\n`, 20000);
    // Each delivery of the server (OK ... END) brings at most 10 of them.
    const batches = raw.received.toString('latin1').split('END\r\n');
    const most = Math.max(...batches.map((b) => (b.match(/\tpaster\t/g) || []).length));
    assert.ok(most <= 10, `${most} posts in one delivery`);

    // A line the gateway refuses (a control character) leaves the queue at
    // once, marked as not sent, with the reason; it never reaches a raw
    // client, and a TAB, no control to refuse, does.
    await say(page, 'bell\x07here');
    await page.waitForSelector('.unposted >> text=not sent');
    assert.equal(await page.textContent('.unposted .text'), 'bell\x07here');
    assert.ok(await page.isVisible('.error >> text=cannot hold control characters'));
    assert.equal(await page.$$eval('.pending', (n) => n.length), 0);
    await say(page, 'tab\there');
    assert.equal((await raw.waitFor('\tpaster\ttab\there\r\n')).indexOf(0x07), -1, 'no BEL on the wire');

    // The session is alive: what taro says still arrives.
    raw.send('SEND still here\r\n');
    await until(async () => (await texts(page)).includes('still here'), 10000, 'a later record');
    assert.equal(await page.textContent('#status'), 'Logged in as paster');
  });

  test('the draft survives a reload; a logout hands back what waits and says so', async () => {
    const { gateway, raw } = await serverWithTaro();
    const page = await loggedInPage(browser, gateway.url, 'drafter');
    await page.fill('input[name=message]', 'half a thought');
    await page.reload();
    await page.waitForSelector('#status >> text=Logged in as drafter');
    assert.equal(await page.inputValue('input[name=message]'), 'half a thought');
    await page.fill('input[name=message]', '');
    // 25 lines: the first ten go within a tick, the rest wait for it.
    for (let i = 1; i <= 25; i++) await say(page, `queued ${i}`);
    await page.fill('input[name=message]', 'still typing');
    await page.click('#logout');
    await page.waitForSelector('#status >> text=Logged out');
    const box = await page.inputValue('input[name=message]');
    assert.match(box, /^queued \d+( queued \d+)* still typing$/, 'the unsent lines, then the draft');
    const back = box.split(' still typing')[0].split(/ (?=queued)/);
    assert.ok(back.length >= 10, `${back.length} lines handed back`);
    assert.equal(back.at(-1), 'queued 25');
    await page.waitForSelector('.separator >> text=back in the message box');
    await raw.waitFor(bytes('drafter', sjis('がログアウトしました')));
    for (const line of back) assert.ok(!raw.received.includes(`\tdrafter\t${line}\r\n`), `${line} was not posted`);
  });

  test('30 messages in 3 s wait as pending lines within the rate limit, all arrive, and the session stays', async () => {
    // The queue waits up to 11 s for a free place: longer than the fast
    // server's idle time-out, so the shipped server.
    const server = await startServer({ shipped: true });
    const gateway = await startGateway(server.port);
    const raw = await RawClient.connect(server.port);
    await raw.login('001002003', 'taro');
    const page = await loggedInPage(browser, gateway.url, 'hasty');
    const sent = Array.from({ length: 30 }, (_, i) => `burst ${i + 1}`);
    for (const text of sent) await say(page, text);  // well within 3 s
    // The login took one of the 20 places of the first 10 seconds: at least
    // 11 wait, shown at once as pending lines after the records.
    const pending = await page.$$eval('.pending', (rows) => rows.map((r) => r.querySelector('.text').textContent));
    assert.ok(pending.length >= 10, `${pending.length} pending`);
    assert.equal(pending.at(-1), 'burst 30');
    assert.ok(await page.$eval('#log', (log) => log.lastElementChild.classList.contains('pending')));
    await until(async () => (await texts(page)).filter((t) => t.startsWith('burst ')).length === 30, 30000, 'all 30');
    assert.deepEqual((await texts(page)).filter((t) => t.startsWith('burst ')), sent, 'in order, each once');
    assert.equal(await page.$$eval('.pending', (n) => n.length), 0);
    assert.equal(await page.$$eval('.error', (n) => n.length), 0, 'no error, no closed session');
    assert.equal(await page.textContent('#status'), 'Logged in as hasty');
    await raw.waitFor('\thasty\tburst 30\r\n');
    for (const text of sent) assert.ok(raw.received.includes(`\thasty\t${text}\r\n`), text);
  });

  test('a reload within the window keeps the session and shows what came meanwhile; a copied token does not', async () => {
    const { server, gateway, raw } = await serverWithTaro();
    const ticker = await RawClient.connect(server.port);
    await ticker.login('005005005', 'ticker');
    const page = await loggedInPage(browser, gateway.url, 'stayer');
    await say(page, 'before the reload');
    await until(async () => (await texts(page)).includes('before the reload'), 10000, 'own record');
    const mark = await markAfterLogin(raw, 'stayer');
    const tabStorage = await page.evaluate(() => JSON.stringify(sessionStorage));
    await page.goto('about:blank');  // the tab leaves the page; the gateway keeps the session
    raw.send('SEND while you were away\r\n');
    await raw.waitFor('while you were away\r\n');
    // Its own post restarts the raw client's 1 s tick; its next two
    // deliveries of another's posts come at two later ticks, by which the
    // detached session has the record, and the page gets it replayed.
    for (const n of [1, 2]) {
      ticker.send(`SEND tick ${n}\r\n`);
      await raw.waitFor(`tick ${n}\r\n`);
    }
    // The token from a page of another origin takes nothing over.
    const elsewhere = await browser.newPage();
    await elsewhere.goto(gateway.url.replace('127.0.0.1', 'localhost'));
    await elsewhere.evaluate((s) => { for (const [k, v] of Object.entries(JSON.parse(s))) sessionStorage.setItem(k, v); }, tabStorage);
    await elsewhere.reload();
    await elsewhere.waitForSelector('.error >> text=cannot be taken up again');
    await elsewhere.close();
    await page.goto(gateway.url);
    await page.waitForSelector('.record >> text=while you were away');
    await page.waitForSelector('#status >> text=Logged in as stayer');
    assert.ok(await page.isVisible('input[name=message]'));
    assert.ok(!(await page.isVisible('input[name=name]')));
    assert.deepEqual((await texts(page)).filter((t) => /reload|away/.test(t)), ['before the reload', 'while you were away']);
    assert.ok(await page.isVisible('.separator >> text=While this page was away'));
    await say(page, 'after the reload');
    await raw.waitFor('\tstayer\tafter the reload\r\n');
    await page.reload();
    await page.waitForSelector('#status >> text=Logged in as stayer');
    assert.equal((await texts(page)).filter((t) => t === 'after the reload').length, 1, 'nothing twice');
    assert.deepEqual(comings(raw, mark, 'stayer'), [], 'nobody saw a logout or a login');

    // A second tab with a copy of the first one's token gets the login
    // screen. The first tab asks for news first: the fast server logs out
    // after 8 s of silence, which a loaded machine may reach otherwise.
    await page.click('#reload');
    const storage = await page.evaluate(() => JSON.stringify(sessionStorage));
    const copy = await browser.newPage();
    await copy.goto(gateway.url);
    await copy.evaluate((s) => { for (const [k, v] of Object.entries(JSON.parse(s))) sessionStorage.setItem(k, v); }, storage);
    await copy.reload();
    await copy.waitForSelector('#login-button >> text=Log in again');
    assert.ok(await copy.isVisible('.error >> text=cannot be taken up again'));
    await say(page, 'still the first tab');
    await raw.waitFor('\tstayer\tstill the first tab\r\n');
    assert.deepEqual(comings(raw, mark, 'stayer'), []);
  });

  test('a dropped WebSocket is taken up again by itself, whether or not the gateway saw it go', async () => {
    const { gateway, raw } = await serverWithTaro();
    const proxy = await startProxy(gateway.port);
    const page = await loggedInPage(browser, proxy.url, 'mobile');
    const mark = await markAfterLogin(raw, 'mobile');
    for (const how of ['cut', 'drop']) {
      proxy[how]();
      await page.waitForSelector('#status >> text=reconnecting');
      await say(page, `typed while away (${how})`);  // queued, sent once back
      raw.send(`SEND said while away (${how})\r\n`);
      await page.waitForSelector('#status >> text=Logged in as mobile', { timeout: 15000 });
      await raw.waitFor(`\tmobile\ttyped while away (${how})\r\n`);
      await page.waitForSelector(`.record >> text=said while away (${how})`);
      await until(async () => (await page.$$eval('.pending', (n) => n.length)) === 0, 10000, 'no pending line');
    }

    // A line the page sent into a socket that died on the way: the resumed
    // hello says the last send the gateway got, and only the later line
    // goes again.
    await say(page, 'got there');
    await raw.waitFor('\tmobile\tgot there\r\n');
    proxy.stall();
    await say(page, 'lost on the way');
    await until(() => proxy.swallowed > 0, 5000, 'the line sent into the stalled socket');
    assert.equal(await page.textContent('.pending .state'), 'sending…');
    proxy.cut();
    await page.waitForSelector('#status >> text=Logged in as mobile', { timeout: 15000 });
    await raw.waitFor('\tmobile\tlost on the way\r\n');
    await until(async () => (await texts(page)).includes('lost on the way'), 10000, 'its record on the page');
    await until(async () => (await page.$$eval('.pending, .unposted', (n) => n.length)) === 0, 10000, 'no pending line');

    assert.deepEqual(comings(raw, mark, 'mobile'), []);
    assert.equal((await texts(page)).filter((t) => t.startsWith('said while away')).length, 2, 'each once');
    const shown = await texts(page);
    for (const text of ['got there', 'lost on the way']) {
      assert.equal(shown.filter((t) => t === text).length, 1, `${text}: shown once`);
      assert.equal(raw.received.toString().split(`\tmobile\t${text}\r\n`).length, 2, `${text}: posted once`);
    }
  });

  test('a tab closed for good logs out once the window has passed', async () => {
    const server = await startServer({ shipped: true });  // idle time-out 300 s: no time-out meanwhile
    const gateway = await startGateway(server.port, ['--resume-seconds', '3']);
    const raw = await RawClient.connect(server.port);
    await raw.login('001002003', 'taro');
    const page = await loggedInPage(browser, gateway.url, 'leaver');
    await page.close();
    const closed = Date.now();
    // The shipped server delivers every 5 s; taro asks for news more often.
    const asking = setInterval(() => raw.send('RELD\r\n'), 200);
    try {
      await raw.waitFor(bytes('leaver', sjis('がログアウトしました')), 15000);
    } finally {
      clearInterval(asking);
    }
    const after = Date.now() - closed;
    assert.ok(after >= 2500, `logged out ${after} ms after the tab closed, within the 3 s window`);
  });

  test('the idle warning comes before the time-out, and its button keeps the session past it', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--idle-seconds', '8']);
    const page = await loggedInPage(browser, gateway.url, 'quiet');
    const started = Date.now();
    for (let i = 0; i < 2; i++) {
      await page.waitForSelector('.idle-warning', { state: 'visible', timeout: 10000 });
      assert.match(await page.textContent('.idle-warning'), /will log you out at \d/);
      await page.click('.idle-warning button');
      await page.waitForSelector('.idle-warning', { state: 'hidden' });
    }
    assert.ok(Date.now() - started >= 8000, 'past the 8 s');
    await say(page, 'still in');
    await until(async () => (await texts(page)).includes('still in'), 10000, 'own record');
    assert.ok(!(await texts(page)).includes('quietはタイムアウトのためログアウトされました'));
    assert.equal(await page.textContent('#status'), 'Logged in as quiet');
  });
});

// The colour field of each login notice of `name` that a raw client saw.
const loginColours = (raw, name) => {
  const notice = bytes(sjis(name), sjis('がログインしました')).toString('latin1');
  return raw.received.toString('latin1').split('\r\n').map((line) => line.split('\t'))
    .filter((f) => f.length === 3 && f[2] === notice).map((f) => f[0]);
};

// WCAG contrast of a CSS rgb() colour against the background the element
// is drawn on (the nearest ancestor with one).
async function nameContrasts(page) {
  return page.$$eval('.record:not(.notice) .sender, .line .sender', (spans) => spans.map((span) => {
    const rgb = (css) => css.match(/[\d.]+/g).slice(0, 3).map(Number);
    const lum = ([r, g, b]) => [r, g, b].map((v) => {
      const c = v / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    }).reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
    let bg = span;
    while (bg && /rgba\(0, 0, 0, 0\)|transparent/.test(getComputedStyle(bg).backgroundColor)) bg = bg.parentElement;
    const fg = rgb(getComputedStyle(span).color);
    const [hi, lo] = [lum(fg), lum(rgb(getComputedStyle(bg || document.body).backgroundColor))].sort((a, b) => b - a);
    return { name: span.textContent, own: !!span.closest('.own'), fg, ratio: (hi + 0.05) / (lo + 0.05) };
  }));
}

describe('reading the conversation', () => {
  test('the login screen names the chat and what joining means, has an icon, and takes --title', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const page = await browser.newPage();
    const problems = watchProblems(page);
    await page.goto(gateway.url);
    assert.equal(await page.textContent('h1'), 'Chat on 127.0.0.1');
    assert.equal(await page.title(), 'Chat on 127.0.0.1');
    assert.match(await page.textContent('#about'), /join the chat on 127\.0\.0\.1\. Everyone logged in reads what you post/);
    const icon = await fetch(new URL(await page.getAttribute('link[rel=icon]', 'href'), gateway.url));
    assert.equal(icon.status, 200);
    assert.match(icon.headers.get('content-type'), /^image\/svg\+xml/);
    assert.match(await icon.text(), /<svg /);
    // The automatic colour is the default; the picker waits until it is off.
    assert.ok(await page.isChecked('#auto-colour'));
    assert.ok(await page.isHidden('#colour'));
    await page.uncheck('#auto-colour');
    assert.ok(await page.isVisible('#colour') && await page.isEnabled('#colour'));
    await page.check('#auto-colour');
    await page.fill('input[name=name]', 'visitor');
    await page.click('#login-button');
    await page.waitForSelector('#status >> text=Logged in as visitor');
    assert.deepEqual(problems, []);

    const titled = await startGateway(server.port, ['--title', 'R&D <b>"chat"</b>']);
    const other = await browser.newPage();
    await other.goto(titled.url);
    assert.equal(await other.textContent('h1'), 'R&D <b>"chat"</b>');
    assert.equal(await other.title(), 'R&D <b>"chat"</b>');
    assert.equal(await other.$$eval('b', (n) => n.length), 0, 'the title stays text');
    for (const bad of ['', 'a\x1b[31mb', 'x'.repeat(201)]) {
      const r = spawnSync(gatewayBinary, ['--title', bad], { encoding: 'utf8' });
      assert.equal(r.status, 2, `--title ${JSON.stringify(bad)}: ${r.stderr}`);
      assert.match(r.stderr, /--title wants a text/);
    }
  });

  test('automatic colours are chat_client\'s for each name; own records are marked, also under a shared name', async () => {
    const { server, gateway, raw } = await serverWithTaro();
    const alice = await loggedInPage(browser, gateway.url, 'alice');
    const hanako = await loggedInPage(browser, gateway.url, '花子');
    await until(() => loginColours(raw, '花子').length === 1, 10000, 'both logins at taro');
    const [aliceColour] = loginColours(raw, 'alice');
    const [hanakoColour] = loginColours(raw, '花子');
    assert.notEqual(aliceColour, hanakoColour);
    // chat_client, given no colour, logs in with the one it derives.
    for (const name of ['alice', '花子']) {
      const r = spawnSync(clientBinary, ['-p', String(server.port), name],
        { input: '', env: { ...process.env, LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8' }, encoding: 'utf8' });
      assert.equal(r.status, 0, r.stderr);
      await until(() => loginColours(raw, name).length === 2, 10000, `chat_client as ${name}`);
      const [page, client] = loginColours(raw, name);
      assert.equal(page, client, `${name}: the page's automatic colour is chat_client's`);
    }
    assert.equal(await hanako.textContent('#status'), 'Logged in as 花子');

    // Two pages under one name and one colour: only the poster's own.
    const first = await loggedInPage(browser, gateway.url, 'twin');
    const second = await loggedInPage(browser, gateway.url, 'twin');
    await say(first, 'from the first twin');
    await say(second, 'from the second twin');
    for (const page of [first, second, alice]) {
      await until(async () => (await texts(page)).includes('from the second twin'), 10000, 'both posts');
    }
    const ownOf = async (page) => (await records(page)).filter((r) => r.own).map((r) => r.text);
    assert.deepEqual(await ownOf(first), ['from the first twin']);
    assert.deepEqual(await ownOf(second), ['from the second twin']);
    assert.deepEqual(await ownOf(alice), []);
  });

  test('on a phone a log at the bottom stays there as the view shrinks; "New messages" shows for records below', async () => {
    const { gateway, raw } = await serverWithTaro();
    const page = await loggedInPage(browser, gateway.url, 'phone');
    await page.setViewportSize({ width: 390, height: 800 });
    await fillLog(page, raw, 30);
    assert.ok(await logAtBottom(page));
    await page.focus('input[name=message]');
    await page.setViewportSize({ width: 390, height: 420 });  // the on-screen keyboard
    await until(() => logAtBottom(page), 5000, 'at the bottom with the keyboard up');
    await page.setViewportSize({ width: 700, height: 340 });  // turned sideways
    await until(() => logAtBottom(page), 5000, 'at the bottom turned');
    assert.ok(await page.isHidden('.new-messages'));

    await page.$eval('#log', (l) => { l.scrollTop = 0; });
    raw.send('SEND below the fold\r\n');
    await until(async () => (await texts(page)).includes('below the fold'), 10000, 'the new record');
    assert.ok(await page.isVisible('.new-messages'));
    await page.setViewportSize({ width: 390, height: 300 });
    await until(() => page.isVisible('.new-messages'), 5000, 'the button after the view shrank');
    assert.ok(!(await logAtBottom(page)), 'a view scrolled up stays where it was');
    await page.click('.new-messages');
    assert.ok(await logAtBottom(page));
    await page.setViewportSize({ width: 390, height: 700 });
    await until(() => logAtBottom(page), 5000, 'at the bottom as the view grows');
    assert.ok(await page.isHidden('.new-messages'));
  });

  test('behind nginx the signed-in name is fixed and its posts are marked, in each room, also after a reload', async () => {
    const servers = [await startServer(), await startServer()];
    const gateway = await startGateway(null, ['--room', `a=127.0.0.1:${servers[0].port}`, '--room', `b=127.0.0.1:${servers[1].port}`,
      '--trusted-proxy', '127.0.0.1', '--name-header', 'X-Remote-User']);
    const nginx = await startNginx(gateway.port, { hanako: 'first-secret', ken: 'second-secret' });
    const raw = await RawClient.connect(servers[0].port);
    await raw.login('001002003', 'taro');
    const context = await launchBrowser({ httpCredentials: { username: 'hanako', password: 'first-secret' } });
    try {
      const page = await context.newPage();
      const problems = watchProblems(page);
      await page.goto(nginx.url);
      await page.waitForSelector('#signed-in-name >> text=You post as hanako, the name you signed in with.');
      assert.equal(await page.isVisible('input[name=name]'), false, 'no name field');
      await page.click('#login-button');
      await page.waitForSelector('#status >> text=Logged in as hanako');
      await page.fill('input[name=message]', 'signed and sealed');
      await page.press('input[name=message]', 'Enter');
      await raw.waitFor('signed and sealed');
      raw.send('SEND from a raw client\r\n');
      await until(async () => (await texts(page)).includes('from a raw client'), 10000, 'the raw post');
      const marks = async () => Object.fromEntries((await records(page)).filter((r) => !r.notice).map((r) => [r.text, r.mark]));
      assert.deepEqual(await marks(), { 'signed and sealed': 'signed in as hanako', 'from a raw client': undefined });

      // The other room joins under the same verified name.
      const rawB = await RawClient.connect(servers[1].port);
      await rawB.login('001002003', 'jiro');
      await page.click('#room-list a[href="#b"]');
      await rawB.waitFor(sjis('hanakoがログインしました'));
      await page.waitForSelector('#status >> text=Logged in as hanako');
      await page.fill('input[name=message]', 'sealed in b');
      await page.press('input[name=message]', 'Enter');
      await rawB.waitFor('sealed in b');
      const all = { 'signed and sealed': 'signed in as hanako', 'from a raw client': undefined, 'sealed in b': 'signed in as hanako' };
      await until(async () => (await marks())['sealed in b'], 10000, 'the echo in b');
      assert.deepEqual(await marks(), all);

      // nginx replaces what a client says of itself in the header.
      const key = Buffer.from('ken:second-secret').toString('base64');
      const ws = await RawWebSocket.open(nginx.port, { headers: `Authorization: Basic ${key}\r\nX-Remote-User: hanako\r\n` });
      assert.equal(ws.status, 101);
      assert.equal((await ws.waitForEvent((e) => e.type === 'hello')).name, 'ken');
      ws.close();

      await page.reload();
      await page.waitForSelector('#status >> text=Logged in as hanako');
      await until(async () => Object.keys(await marks()).length === 3, 10000, 'both rooms shown again');
      assert.deepEqual(await marks(), all);
      assert.deepEqual(problems.filter((p) => !p.startsWith('401 ')), []);
    } finally {
      await context.close();
    }
  });

  test('every name has 4.5:1 against its background: a #ffff00 sender, light and dark, own lines too', async () => {
    const { server, gateway, raw } = await serverWithTaro();
    const page = await loggedInPage(browser, gateway.url, 'sunny', '#ffff00');
    raw.send('SEND plain taro\r\n');
    const lemon = await RawClient.connect(server.port);
    await lemon.login('255255000', 'lemon');
    lemon.send('SEND bright yellow\r\n');
    await say(page, 'my own yellow');
    for (const text of ['bright yellow', 'my own yellow', 'plain taro']) {
      await until(async () => (await texts(page)).includes(text), 10000, text);
    }
    for (const scheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme: scheme });
      // The page repaints the names when it hears of the new scheme.
      let names = [];
      await until(async () => (names = await nameContrasts(page)).every((n) => n.ratio >= 4.5), 5000, scheme)
        .catch(() => {});
      assert.ok(names.some((n) => n.name === 'lemon') && names.some((n) => n.name === 'sunny' && n.own), scheme);
      for (const n of names) {
        assert.ok(n.ratio >= 4.5, `${scheme}: ${n.name}${n.own ? ' (own)' : ''} ${n.fg} has ${n.ratio.toFixed(2)}:1`);
        if (n.name !== 'taro') assert.ok(n.fg[0] === n.fg[1] && n.fg[2] === 0, `${n.fg}: still yellow's hue`);
      }
    }
  });

  test('refusals say the real reason and leave a true header; Send keeps the focus; spaces are not sent', async () => {
    const { gateway, raw } = await serverWithTaro();
    const page = await browser.newPage();
    await page.goto(gateway.url);
    await page.fill('input[name=name]', 'メッセージ');
    await page.click('#login-button');
    await page.waitForSelector('#name-hint >> text=reserved');
    assert.equal(await page.textContent('#status'), 'Not logged in');
    assert.ok(await page.isVisible('#login-button'));
    assert.equal(await page.getAttribute('#name', 'aria-invalid'), 'true');
    await page.fill('input[name=name]', 'ok');
    await page.click('#login-button');
    await page.waitForSelector('#status >> text=Logged in as ok');

    await page.fill('input[name=message]', ' 　 ');
    await page.press('input[name=message]', 'Enter');
    await page.click('#send');
    assert.match(await page.textContent('#left'), /only spaces/);
    assert.equal(await page.$$eval('.pending', (n) => n.length), 0, 'nothing queued');
    await page.fill('input[name=message]', 'clicked');
    await page.click('#send');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'message', 'focus back where the user types');
    await raw.waitFor('\tok\tclicked\r\n');
    assert.ok(!raw.received.includes('\tok\t '), 'no post of spaces');
    // Error rows are read out by the log around them, once: no alert inside it.
    assert.equal(await page.$$eval('#log [role=alert]', (n) => n.length), 0);
  });

  test('who is here: counted by name and colour from the notices and the history, beside the log or behind a button', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--history', server.history]);
    const early = await RawClient.connect(server.port);
    await early.login('100100100', 'early');
    const watcher = await loggedInPage(browser, gateway.url, 'watcher');
    const here = () => watcher.$$eval('#people li', (items) => items.map((i) => i.textContent));
    const bobs = [];
    for (const colour of ['010200030', '010200030', '200010030']) {
      const bob = await RawClient.connect(server.port);
      await bob.login(colour, 'bob');
      bobs.push(bob);
    }
    await until(async () => (await here()).join() === 'bob×2,bob,early,watcher', 10000, 'three bobs, two alike');
    bobs[0].send('LGOT\r\n');
    await until(async () => (await here()).join() === 'bob,bob,early,watcher', 10000, 'a bob gone');
    assert.ok(await watcher.isVisible('#people'));
    assert.ok(await watcher.isHidden('#people-button'));
    assert.equal(await watcher.textContent('#people h2'), 'Logged in, as the notices tell');

    // A reload keeps the list; on a phone it is behind a button.
    await watcher.reload();
    await watcher.waitForSelector('#status >> text=Logged in as watcher');
    await watcher.setViewportSize({ width: 390, height: 700 });
    assert.ok(await watcher.isHidden('#people'));
    assert.equal(await watcher.textContent('#people-button'), 'Logged in: 4');
    await watcher.click('#people-button');
    assert.ok(await watcher.isVisible('#people'));
    assert.equal((await here()).join(), 'bob,bob,early,watcher');

    server.child.kill('SIGTERM');
    await watcher.waitForSelector('.error >> text=サーバーが停止しました');
    await until(async () => (await here()).length === 0, 10000, 'the list cleared');
    assert.ok(await watcher.isVisible('#people-empty'));
    assert.equal(await watcher.textContent('#people-button'), 'Logged in: 0');
  });

  test('a copied selection is one line per record; look-alike automatic colours are drawn apart', async () => {
    const { server, gateway, raw } = await serverWithTaro();
    // Two names whose automatic colours are the same (FNV-1a picks the hue).
    const hue = (name) => [...Buffer.from(name)].reduce((h, c) => Math.imul(h ^ c, 16777619) >>> 0, 2166136261) % 360;
    const names = Array.from({ length: 400 }, (_, i) => `u${i}`);
    const first = names.find((n) => names.some((m) => m !== n && hue(m) === hue(n)));
    const second = names.find((m) => m !== first && hue(m) === hue(first));
    const page = await loggedInPage(browser, gateway.url, 'reader');
    for (const name of [first, second]) {
      const r = spawnSync(clientBinary, ['-p', String(server.port), name],
        { input: `from ${name}\n`, env: { ...process.env, LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8' }, encoding: 'utf8' });
      assert.equal(r.status, 0, r.stderr);
    }
    assert.equal(loginColours(raw, first)[0], loginColours(raw, second)[0], 'one colour on the wire');
    raw.send('SEND /me waves\r\n');
    await say(page, 'mine 🎉');
    await until(async () => (await texts(page)).includes('mine 🎉'), 10000, 'all records');
    const colourOf = (name) => page.$eval(`#log .record:not(.notice) .sender >> text="${name}"`, (e) => getComputedStyle(e).color);
    const [a, b] = [await colourOf(first), await colourOf(second)].map((c) => c.match(/\d+/g).map(Number));
    assert.ok(Math.max(...a.map((v, i) => Math.abs(v - b[i]))) >= 24, `${first} ${a} and ${second} ${b} drawn apart`);

    const copied = await page.evaluate(() => {
      const log = document.getElementById('log');
      const range = document.createRange();
      range.setStartBefore(log.querySelector('.record:not(.notice)'));
      range.setEndAfter(log.lastElementChild);
      getSelection().removeAllRanges();
      getSelection().addRange(range);
      const data = new DataTransfer();
      log.dispatchEvent(new ClipboardEvent('copy', { clipboardData: data, bubbles: true, cancelable: true }));
      return data.getData('text/plain');
    });
    const times = await page.$$eval('#log .record', (rows) => rows.map((r) => r.querySelector('time').textContent));
    const expected = [
      `${first}: from ${first}`, `${first}がログアウトしました`, `${second}がログインしました`,
      `${second}: from ${second}`, `${second}がログアウトしました`, '* taro waves', 'reader: mine 🎉',
    ];
    const at = times.length - expected.length;
    assert.equal(copied, expected.map((line, i) => `${times[at + i]} ${line}\n`).join(''));
  });

  test('axe-core finds nothing serious on the login screen or in a chat, light or dark', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--history', server.history]);
    const raw = await RawClient.connect(server.port);
    await raw.login('255255000', 'lemon');
    raw.send('SEND earlier words\r\n');
    await raw.waitFor('earlier words\r\nEND\r\n');
    const page = await browser.newPage();
    await page.goto(gateway.url);
    const check = async (what) => {
      for (const scheme of ['light', 'dark']) {
        await page.emulateMedia({ colorScheme: scheme });
        assert.deepEqual(await seriousViolations(page), [], `${what}, ${scheme}`);
      }
    };
    await check('the login screen');
    await page.fill('input[name=name]', 'メッセージ');
    await page.click('#login-button');
    await page.waitForSelector('#name-hint >> text=reserved');
    await check('a refused login');
    await page.fill('input[name=name]', 'reader');
    await page.click('#login-button');
    await page.waitForSelector('#status >> text=Logged in as reader');
    await say(page, 'my words');
    raw.send('SEND live words\r\n');
    await say(page, '😀');  // no Shift_JIS form: a gateway row says so
    await until(async () => (await texts(page)).includes('live words'), 10000, 'the live record');
    await page.waitForSelector('.error');
    await check('a chat');
  });
});

describe('limits and endings', () => {
  test('with 20 places taken by raw clients the page says the server is full and offers to log in again', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    // Each takes its place only once the server has accepted it and forked
    // its process: its answer to a RELD before login proves that.
    const raws = [];
    for (let i = 0; i < 20; i++) {
      const raw = await RawClient.connect(server.port);
      raw.send('RELD\r\n');
      await raw.waitFor(bytes('ERR\r\n', sjis('まだログインしていません'), '\r\n'));
      raws.push(raw);
    }
    const page = await browser.newPage();
    await page.goto(gateway.url);
    await page.fill('input[name=name]', 'twentyfirst');
    await page.click('#login-button');
    await page.waitForSelector('.error >> text=最大接続数を超えているのでログインできません');
    await page.waitForSelector('.error >> text=The chat server is full');
    await page.waitForSelector('#login-button >> text=Log in again');
    for (const r of raws) r.close();
  });

  test('an idle session sees its time-out notice and logs in again', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const page = await loggedInPage(browser, gateway.url, 'sleepy');
    await page.waitForSelector('.record.notice >> text=sleepyはタイムアウトのためログアウトされました', { timeout: 30000 });
    await page.waitForSelector('.error >> text=logged out after a long silence');
    await page.click('#login-button');
    await page.waitForSelector('input[name=message]', { state: 'visible' });
    const shown = await texts(page);
    assert.equal(shown.filter((t) => t === 'sleepyがログインしました').length, 2);
  });

  test('a stopped server and a lost connection are said in words, with a way back in', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const page = await loggedInPage(browser, gateway.url, 'stays');
    server.child.kill('SIGTERM');  // its connection processes say so within a tick
    await page.waitForSelector('.error >> text=サーバーが停止しました');
    await page.waitForSelector('.error >> text=The chat server has stopped.');
    await page.waitForSelector('#login-button >> text=Log in again');

    const second = await startServer();
    const gateway2 = await startGateway(second.port);
    const other = await loggedInPage(browser, gateway2.url, 'cut');
    for (const pid of childrenOf(second.child.pid)) process.kill(pid, 'SIGKILL');
    await other.waitForSelector('.error >> text=The connection to the chat server was lost.');
    await other.waitForSelector('#login-button >> text=Log in again');
  });

  test('after a restart of the server the page waits, says so, and logs in again with the same name and colour', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const raw = await RawClient.connect(server.port);
    await raw.login('001002003', 'taro');
    const page = await loggedInPage(browser, gateway.url, 'comeback', '#ff8000');
    await page.setViewportSize({ width: 390, height: 600 });
    await fillLog(page, raw, 20);
    assert.ok(await logAtBottom(page));
    let errors = 0;
    const again = await restartServer(server, async () => {
      await page.waitForSelector('#status >> text=Waiting for the chat server to come back');
      await page.waitForSelector('#login', { state: 'visible' });
      await until(() => logAtBottom(page), 5000, 'the login form covering none of the last lines');
      // A try that finds no server adds nothing to the log, and waits longer.
      errors = await page.$$eval('.error', (rows) => rows.length);
      const first = await page.textContent('#status');
      await until(async () => {
        const now = await page.textContent('#status');
        return now !== first && now.startsWith('Waiting');
      }, 10000, 'a second wait');
    });
    await page.waitForSelector('#status >> text=Logged in as comeback', { timeout: 20000 });
    const taro = await RawClient.connect(again.port);
    await taro.login('001002003', 'taro');
    await say(page, 'back again');
    await taro.waitFor('255128000\tcomeback\tback again\r\n');
    assert.equal((await texts(page)).filter((t) => t === 'comebackがログインしました').length, 2);
    assert.equal(await page.$$eval('.error', (rows) => rows.length), errors, 'the stop said once, not at each try');
  });

  test('a page from a foreign origin cannot open a session', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const foreign = http.createServer((req, res) => {
      res.setHeader('Content-Type', 'text/html');
      res.end(`<script>
        const ws = new WebSocket('ws://127.0.0.1:${gateway.port}/ws');
        ws.onopen = () => { document.title = 'opened'; };
        ws.onerror = () => { document.title = 'refused'; };
      </script>`);
    });
    await new Promise((r) => foreign.listen(0, '127.0.0.1', r));
    try {
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
      await until(async () => ['opened', 'refused'].includes(await page.title()), 10000, 'the foreign socket');
      assert.equal(await page.title(), 'refused');
      // The same handshake from the gateway's own origin goes through.
      const own = await browser.newPage();
      await own.goto(gateway.url);
      assert.equal(await own.evaluate(() => new Promise((resolve) => {
        const ws = new WebSocket(`ws://${location.host}/ws`);
        ws.onopen = () => resolve('opened');
        ws.onerror = () => resolve('refused');
      })), 'opened');
    } finally {
      foreign.close();
    }
  });

  test('pages beyond --max-pages are refused until one closes', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--max-pages', '3']);
    const page = await browser.newPage();
    await page.goto(gateway.url);  // a page opens its socket only to log in
    const outcome = await page.evaluate(() => new Promise((resolve) => {
      const open = (then) => {
        const ws = new WebSocket(`ws://${location.host}/ws`);
        ws.onopen = () => then(ws, 'opened');
        ws.onerror = () => then(ws, 'refused');
      };
      open((a, first) => open(() => open(() => open((d, fourth) => {
        a.close();
        a.onclose = () => open((e, after) => resolve([first, fourth, after]));
      }))));
    }));
    assert.deepEqual(outcome, ['opened', 'refused', 'opened']);
  });
});

describe('history', () => {
  test('--history shows the earlier records once, also while posts race the login', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--history', server.history]);
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    for (const n of [1, 2, 3]) {
      poster.send(`SEND old ${n}\r\n`);
      await poster.waitFor(`old ${n}\r\nEND\r\n`);
    }
    const first = await loggedInPage(browser, gateway.url, 'reader');
    const shown = await records(first);
    assert.deepEqual(shown.filter((r) => r.earlier).map((r) => r.text),
      ['posterがログインしました', 'old 1', 'old 2', 'old 3']);
    assert.equal(shown.filter((r) => r.text === 'readerがログインしました').length, 1);

    // A steady stream of numbered posts while more pages log in: each page
    // shows every number at most once and none missing after its first.
    // At about 8 posts a second no more than 20 pile up between two ticks,
    // so the server itself skips none.
    let n = 0, posting = true;
    const stream = (async () => {
      while (posting) {
        n += 1;
        poster.send(`SEND n${n}\r\n`);
        await poster.waitFor(`n${n}\r\nEND\r\n`);
        await new Promise((r) => setTimeout(r, 120));
      }
    })();
    const pages = [];
    for (let i = 0; i < 4; i++) pages.push(await loggedInPage(browser, gateway.url, `racer${i}`));
    posting = false;
    await stream;
    for (const page of pages) {
      await until(async () => (await texts(page)).includes(`n${n}`), 10000, 'the last post');
      const numbers = (await texts(page)).filter((t) => /^n\d+$/.test(t)).map((t) => Number(t.slice(1)));
      assert.ok(numbers.length > 0);
      const expected = Array.from({ length: n - numbers[0] + 1 }, (_, k) => numbers[0] + k);
      assert.deepEqual(numbers, expected, 'every post once, in order, none lost at the seam');
    }
  });

  test('times never run backwards: earlier records end at a divider, no later than the live ones after it', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--history', server.history]);
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    // Ten posts at once: their stamps run ten seconds ahead of the clock.
    for (let n = 1; n <= 10; n++) poster.send(`SEND fast ${n}\r\n`);
    await poster.waitFor('fast 10\r\n');
    const newest = fs.readFileSync(server.history).readInt32LE(0);
    const page = await loggedInPage(browser, gateway.url, 'late');
    assert.ok(newest * 1000 > Date.now() + 5000, 'the stamps are ahead of the clock');
    poster.send('SEND live one\r\n');
    await until(async () => (await texts(page)).includes('live one'), 10000, 'a live record');
    const rows = await page.$$eval('#log > *', (all) => all.map((r) => ({
      earlier: r.classList.contains('earlier'), divider: r.matches('.separator.live'),
      time: r.querySelector('time') ? Date.parse(r.querySelector('time').dateTime) : null,
    })));
    const divider = rows.findIndex((r) => r.divider);
    assert.ok(divider > 0, 'a divider');
    assert.ok(rows.slice(0, divider).every((r) => r.earlier), 'only earlier records above it');
    assert.ok(rows.slice(divider + 1).every((r) => !r.earlier), 'none below it');
    const earlier = rows.slice(0, divider).map((r) => r.time);
    const live = rows.slice(divider + 1).map((r) => r.time);
    assert.equal(earlier.length, 11);
    assert.ok(Math.max(...earlier) <= Date.now(), 'no time from the future');
    for (const [i, time] of live.entries()) {
      assert.ok(time >= Math.max(...earlier), `live record ${i} shows an earlier time than the history above it`);
      if (i > 0) assert.ok(time >= live[i - 1], `live record ${i} goes back in time`);
    }
  });

  test('while another process holds the history locked, logins wait on their own and the page still loads', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--history', server.history]);
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    poster.send('SEND old 1\r\n');
    await poster.waitFor('old 1\r\nEND\r\n');

    const lock = await holdLock(server.history);
    const logins = [];
    // Twelve, so that with a page's six connections for its files they stay
    // within the 20 connections an address may hold.
    for (let i = 0; i < 12; i++) logins.push(await RawWebSocket.open(gateway.port));
    // Each is taken, and waits for the history, when a second login on the
    // same socket is refused as one too many.
    for (const [i, ws] of logins.entries()) {
      ws.send({ type: 'login', name: `waiter${i}`, colour: [1, 2, 3] });
      ws.send({ type: 'login', name: `waiter${i}`, colour: [1, 2, 3] });
    }
    for (const ws of logins) await ws.waitForEvent((e) => e.reason === 'logged-in', 10000, 'the login taken');
    // Each login tries the lock for 200 ms; one after another that was 2.4 s
    // in which the gateway answered nobody.
    let started = Date.now();
    const plain = await fetch(gateway.url);
    assert.equal(plain.status, 200);
    await plain.text();
    assert.ok(Date.now() - started < 1000, `GET / took ${Date.now() - started} ms`);
    const page = await browser.newPage();
    started = Date.now();
    await page.goto(gateway.url);
    await page.waitForSelector('input[name=name]', { state: 'visible' });
    assert.ok(Date.now() - started < 2000, `the page took ${Date.now() - started} ms`);

    // The server's own posts wait for the lock too; once it is free,
    // every login goes through, and the next one shows the history.
    lock.release();
    for (const ws of logins) await ws.waitForEvent((e) => e.type === 'state', 20000, 'each login');
    const later = await loggedInPage(browser, gateway.url, 'later');
    assert.ok((await records(later)).some((r) => r.earlier && r.text === 'old 1'));
  });

  test('--archive: scrolled to its top, the log loads the records before it, in order and once, keeping the place', async () => {
    const { server, gateway } = await serverWithArchive();
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    await postPaced(poster, numbered('old', 45));
    const page = await loggedInPage(browser, gateway.url, 'reader');
    await page.setViewportSize({ width: 700, height: 420 });
    await postPaced(poster, numbered('live', 25));
    await until(async () => (await texts(page)).includes('live 25'), 10000, 'the live records');
    // The top record on screen, and where it is, before the earlier ones come.
    await until(() => page.$('.record[data-id]'), 10000, 'a record placed in the archive');
    await page.$eval('#log', (log) => { log.scrollTop = 0; });
    await until(async () => (await texts(page)).includes('old 1'), 10000, 'the earlier records');
    const shown = await texts(page);
    onceInOrder(shown, ['posterがログインしました', ...numbered('old', 45), 'readerがログインしました', ...numbered('live', 25)],
      'scroll-back');
    const place = await page.$eval('#log', (log) => {
      const first = [...log.querySelectorAll('.record')].find((r) => r.querySelector('.text').textContent === 'readerがログインしました');
      return first.getBoundingClientRect().top - log.getBoundingClientRect().top;
    });
    assert.ok(Math.abs(place) < 30, `the reader's place is kept: the first record seen is ${place} px from the top`);
    assert.ok(await page.$('.separator.date + .record'), 'a date line above the first record');
    assert.equal(await page.$eval('#log', (log) => log.firstElementChild.textContent), 'The start of the archive');
    assert.ok(await page.$eval('#load-earlier', (b) => b.hidden), 'nothing more to load');
  });

  test('--archive: 45 posts within 2 s all reach an open page, in order and once, those the board dropped from the archive', async () => {
    const { server, gateway } = await serverWithArchive();
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    const page = await loggedInPage(browser, gateway.url, 'reader');
    await until(() => page.$('.record[data-id]'), 10000, 'the login notice placed in the archive');
    // Over 20 in each tick of a second: the board keeps only the newest 20
    // for the page's session.
    const started = Date.now();
    await postPaced(poster, numbered('burst', 45), 20);
    assert.ok(Date.now() - started < 2000, `posted in ${Date.now() - started} ms`);
    await until(async () => {
      const shown = await texts(page);
      return numbered('burst', 45).every((t) => shown.includes(t));
    }, 10000, 'every post');
    onceInOrder(await texts(page), ['readerがログインしました', ...numbered('burst', 45)], 'the burst');
    const archived = await page.$$eval('.record.archived .text', (all) => all.map((t) => t.textContent));
    assert.ok(archived.length > 0 && archived.every((t) => t.startsWith('burst ')), `dropped ones from the archive: ${archived}`);
    // After a reload the same page shows each of them once again.
    await page.reload();
    await page.waitForSelector('input[name=message]', { state: 'visible' });
    poster.send('SEND after reload\r\n');
    await until(async () => (await texts(page)).includes('after reload'), 10000, 'a record after the reload');
    onceInOrder(await texts(page), ['readerがログインしました', ...numbered('burst', 45), 'after reload'], 'after the reload');
  });

  test('--archive: a search shows marked results as text, one among its neighbours, and live is one click away', async () => {
    const { server, gateway } = await serverWithArchive();
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    await postPaced(poster, ['alpha one', 'the Quick fox', 'beta two', sjis('ＱＵＩＣＫ wide'), sjis('猫が好き'),
      sjis('犬です'), sjis('子猫です'), '<b>bold</b> quick', 'last one']);
    const page = await loggedInPage(browser, gateway.url, 'seeker');
    await page.waitForSelector('#search', { state: 'visible' });
    const results = () => page.$$eval('#search-results li', (all) => all.map((li) => ({
      text: li.querySelector('.text')?.textContent, marks: [...li.querySelectorAll('mark')].map((m) => m.textContent),
      bold: !!li.querySelector('b'), chosen: li.classList.contains('chosen'),
    })));

    await page.fill('#search', 'quick');
    await page.press('#search', 'Enter');
    await until(async () => (await results()).length === 3, 10000, 'three results');
    assert.ok(await page.$eval('#log', (log) => log.hidden), 'the results replace the log');
    assert.deepEqual(await results(), [
      { text: '<b>bold</b> quick', marks: ['quick'], bold: false, chosen: false },
      { text: 'ＱＵＩＣＫ wide', marks: ['ＱＵＩＣＫ'], bold: false, chosen: false },
      { text: 'the Quick fox', marks: ['Quick'], bold: false, chosen: false },
    ]);

    await page.fill('#search', '猫');
    await page.press('#search', 'Enter');
    await until(async () => (await results()).length === 2, 10000, 'the Japanese results');
    assert.deepEqual((await results()).map((r) => [r.text, r.marks]), [['子猫です', ['猫']], ['猫が好き', ['猫']]]);

    // A result among its neighbours; live records meanwhile are counted.
    await page.click('#search-results li:last-child button');
    await until(async () => (await results()).some((r) => r.chosen), 10000, 'the neighbours');
    const around = await results();
    const chosen = around.findIndex((r) => r.chosen);
    assert.deepEqual(around.slice(chosen - 1, chosen + 2).map((r) => r.text), ['ＱＵＩＣＫ wide', '猫が好き', '犬です']);
    poster.send('SEND while searching\r\n');
    await until(async () => (await page.textContent('#back-to-live')) === 'Back to live (1 new)', 10000, 'the count');
    await page.click('#back-to-live');
    assert.ok(await page.$eval('#search-view', (v) => v.hidden));
    assert.equal((await texts(page)).at(-1), 'while searching');
    assert.ok(await page.$eval('#log', (log) => log.scrollHeight - log.scrollTop - log.clientHeight < 40), 'at live');
    // Escape closes it too.
    await page.fill('#search', 'beta');
    await page.press('#search', 'Enter');
    await page.waitForSelector('#search-view', { state: 'visible' });
    await page.press('#search', 'Escape');
    await page.waitForSelector('#search-view', { state: 'hidden' });
  });

  test('--show-before-login shows the history read-only on the login screen, once; off without it', async () => {
    const server = await startServer();
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    poster.send('SEND said before anyone came\r\n');
    await poster.waitFor('said before anyone came\r\nEND\r\n');
    const gateway = await startGateway(server.port, ['--history', server.history, '--show-before-login']);
    const page = await browser.newPage();
    await page.goto(gateway.url);
    await page.waitForSelector('.record.before-login >> text=said before anyone came');
    assert.ok(await page.isVisible('#login'));
    assert.ok(await page.isHidden('#compose'), 'read-only: nothing to post from');
    await page.fill('input[name=name]', 'late');
    await page.click('#login-button');
    await page.waitForSelector('#status >> text=Logged in as late');
    assert.equal((await texts(page)).filter((t) => t === 'said before anyone came').length, 1, 'shown once');
    assert.equal(await page.$$eval('.before-login', (n) => n.length), 0);

    const plain = await startGateway(server.port, ['--history', server.history]);
    const other = await browser.newPage();
    await other.goto(plain.url);
    assert.equal(await other.$eval('meta[name=chat-before-login]', (m) => m.content), '');
    assert.equal(await other.$$eval('.record', (n) => n.length), 0);
  });

});

// Posts each text from a raw client, one write each, `gap` ms apart: the
// archive looks at the board ten times a second and keeps what it finds
// there, so more than 20 posts within one of its looks are lost to it too.
async function postPaced(poster, list, gap = 25) {
  for (const text of list) {
    poster.send('SEND ', Buffer.isBuffer(text) ? text : Buffer.from(text, 'latin1'), '\r\n');
    await new Promise((r) => setTimeout(r, gap));
  }
  const last = list[list.length - 1];
  await poster.waitFor(bytes(Buffer.isBuffer(last) ? last : Buffer.from(last, 'latin1'), '\r\nEND\r\n'));
}

// Each of the texts exactly once, in this order, among what the page shows.
function onceInOrder(shown, wanted, what) {
  const at = wanted.map((text) => shown.indexOf(text));
  for (const [i, text] of wanted.entries()) {
    assert.ok(at[i] >= 0, `${what}: "${text}" is shown`);
    assert.equal(shown.lastIndexOf(text), at[i], `${what}: "${text}" is shown once`);
    if (i > 0) assert.ok(at[i] > at[i - 1], `${what}: "${text}" comes after "${wanted[i - 1]}"`);
  }
}

const numbered = (word, count) => Array.from({ length: count }, (_, i) => `${word} ${i + 1}`);

describe('rooms', () => {
  // Two chat servers, each with a raw client in it, behind one gateway.
  async function twoRooms(extra = []) {
    const servers = [await startServer(), await startServer()];
    const raws = [];
    for (const [i, server] of servers.entries()) {
      raws.push(await RawClient.connect(server.port));
      await raws[i].login('001002003', `raw${i}`);
    }
    const gateway = await startGateway(null, ['--room', `a=127.0.0.1:${servers[0].port}`,
      '--room', `b=127.0.0.1:${servers[1].port},title=Lab two`, ...extra]);
    return { servers, raws, gateway };
  }
  const links = (page) => page.$$eval('#room-list a', (as) => as.map((a) => ({
    href: a.getAttribute('href'), title: a.querySelector('.room-title').textContent, current: a.getAttribute('aria-current'),
    count: (a.querySelector('.mention-mark')?.textContent ?? '') + (a.querySelector('.unread-count')?.textContent ?? ''), state: a.querySelector('.room-state')?.title ?? '',
  })));
  const shownTexts = (page) => page.$$eval('.chat-log:not([hidden]) .record .text', (ts) => ts.map((t) => t.textContent));
  const times = (raw, text) => raw.received.toString('latin1').split(bytes(sjis(text)).toString('latin1')).length - 1;
  const inB = async (page) => {
    await page.click('#room-list a[href="#b"]');
    await page.waitForSelector('#log-b:not([hidden])');
  };

  test('a room joins when first opened; each shows its own records; the other counts and marks; leaving is there only', async () => {
    const { raws, gateway } = await twoRooms();
    const page = await loggedInPage(browser, gateway.url, 'hanako');
    await raws[0].waitFor(sjis('hanakoがログインしました'));
    assert.deepEqual((await links(page)).map((l) => [l.href, l.title, l.current]),
      [['#a', 'a', 'page'], ['#b', 'Lab two', null]]);
    assert.equal(times(raws[1], 'hanakoがログインしました'), 0, 'the other room logs nobody in before it is opened');

    await inB(page);
    await raws[1].waitFor(sjis('hanakoがログインしました'));
    assert.equal(new URL(page.url()).hash, '#b');
    raws[1].send('SEND ', sjis('only in b'), '\r\n');
    await until(async () => (await shownTexts(page)).includes('only in b'), 10000, 'the record in b');

    await page.click('#room-list a[href="#a"]');
    await page.evaluate(() => {
      window.notified = [];
      window.Notification = class { static permission = 'granted'; constructor(title, o) { window.notified.push([title, o.tag]); } close() {} };
    });
    await page.check('#notify');
    raws[1].send('SEND ', sjis('plain news'), '\r\n');
    raws[1].send('SEND ', sjis('hanako: look here'), '\r\n');
    await until(async () => (await links(page))[1].count === '@2', 10000, 'two unread in b, one naming hanako');
    assert.match(await page.title(), /^\(2, @1\) /);
    assert.deepEqual(await page.evaluate(() => window.notified), [['raw1 · Lab two', 'chat:b']], 'the mention, with its room');
    assert.ok(!(await shownTexts(page)).includes('only in b'), 'room a shows its own records');
    assert.ok(await page.isVisible('#room-list .visually-hidden >> text=2 new, 1 naming you'));

    await page.goBack();  // the address opens its room as a link does
    await page.waitForSelector('#log-b:not([hidden])');
    await until(async () => (await links(page))[1].count === '', 10000, 'the count cleared');
    assert.ok(!(await page.title()).startsWith('('));
    assert.ok((await shownTexts(page)).includes('hanako: look here'));
    await page.click('#room-list a[href="#a"]');
    await inB(page);
    for (const raw of raws) {
      assert.equal(times(raw, 'hanakoがログインしました'), 1, 'switching logs nobody in again');
      assert.equal(times(raw, 'hanakoがログアウトしました'), 0, 'or out');
    }

    await page.click('#leave');
    await raws[1].waitFor(sjis('hanakoがログアウトしました'));
    await page.waitForSelector('#login-button >> text=Join');
    await page.click('#room-list a[href="#a"]');
    await page.waitForSelector('input[name=message]', { state: 'visible' });
    await page.fill('input[name=message]', 'still in a');
    await page.press('input[name=message]', 'Enter');
    await raws[0].waitFor(sjis('still in a'));
    assert.equal(times(raws[0], 'hanakoがログアウトしました'), 0, 'the logout went to b only');
    assert.deepEqual(await seriousViolations(page), []);
  });

  test('a reload takes both rooms up again; one server stopping leaves the other room going', async () => {
    const { servers, raws, gateway } = await twoRooms(['--resume-seconds', '60']);
    const page = await loggedInPage(browser, gateway.url, 'jiro');
    await inB(page);
    await raws[1].waitFor(sjis('jiroがログインしました'));
    await page.fill('input[name=message]', 'draft in b');

    await page.reload();
    await page.waitForSelector('#log-b:not([hidden])');
    await until(async () => (await page.textContent('#status')) === 'Logged in as jiro', 10000, 'b taken up again');
    assert.equal(await page.inputValue('input[name=message]'), 'draft in b', 'the draft stays with its room');
    await page.fill('input[name=message]', 'after the reload');
    await page.press('input[name=message]', 'Enter');
    await raws[1].waitFor(sjis('after the reload'));
    await page.click('#room-list a[href="#a"]');
    await until(async () => (await page.textContent('#status')) === 'Logged in as jiro', 10000, 'a taken up again');
    for (const raw of raws) assert.equal(times(raw, 'jiroがログインしました'), 1, 'resumed, not logged in again');

    servers[1].child.kill('SIGTERM');
    await until(async () => (await links(page))[1].state === 'Its chat server stopped', 15000, 'the mark on b');
    await page.fill('input[name=message]', 'a goes on');
    await page.press('input[name=message]', 'Enter');
    await raws[0].waitFor(sjis('a goes on'));
    assert.equal(await page.textContent('#status'), 'Logged in as jiro');
  });

  test('--rooms FILE: a Japanese title in the list, a room without records says so; one room shows no list', async () => {
    const servers = [await startServer(), await startServer()];
    const dir = fs.mkdtempSync('/tmp/chat-rooms-');
    const file = `${dir}/rooms`;
    fs.writeFileSync(file, `# two rooms\n\nlab 127.0.0.1:${servers[0].port} history=${dir}/lab.log title=実験室 二号\n` +
      `far 127.0.0.1:${servers[1].port}\n`);
    const gateway = await startGateway(null, ['--rooms', file]);
    const page = await browser.newPage();
    await page.goto(`${gateway.url}#nowhere`);
    assert.deepEqual((await links(page)).map((l) => [l.title, l.current]), [['実験室 二号', 'page'], ['far', null]]);
    await page.click('#room-list a[href="#far"]');
    await page.waitForSelector('#log-far >> text=This room keeps no earlier records here: no scroll-back or search.');
    assert.equal(await page.$$eval('#log .separator', (s) => s.length), 0, 'the room with a history says nothing');
    fs.rmSync(dir, { recursive: true, force: true });

    // On a phone the list is a menu behind a header button, closed by a
    // choice, by Escape and by a tap beside it.
    await page.setViewportSize({ width: 390, height: 700 });
    assert.ok(await page.isHidden('#room-list'));
    await page.click('#rooms-button');
    await page.click('#room-list a[href="#lab"]');
    await page.waitForSelector('#room-list', { state: 'hidden' });
    assert.equal(new URL(page.url()).hash, '#lab');
    await page.click('#rooms-button');
    await page.focus('#room-list a[href="#far"]');
    await page.keyboard.press('Escape');
    await page.waitForSelector('#room-list', { state: 'hidden' });
    assert.equal(await page.evaluate(() => document.activeElement.id), 'rooms-button');
    await page.click('#rooms-button');
    assert.equal(await page.getAttribute('#rooms-button', 'aria-expanded'), 'true');
    await page.mouse.click(300, 600);
    await page.waitForSelector('#room-list', { state: 'hidden' });
    assert.equal(await page.getAttribute('#rooms-button', 'aria-expanded'), 'false');

    const one = await startGateway(servers[0].port);
    const single = await browser.newPage();
    await single.goto(one.url);
    assert.ok(await single.isHidden('#rooms'));
    assert.ok(await single.isHidden('#rooms-button'));
  });
});

describe('languages', () => {
  test('under a Japanese browser the page speaks Japanese; a reason it does not know shows the gateway\'s words', async () => {
    const { gateway } = await serverWithTaro();
    const japanese = await launchBrowser({ locale: 'ja-JP' });
    try {
      const page = await japanese.newPage();
      // The second refusal comes with a reason code the page has never heard of.
      let refusals = 0;
      await page.routeWebSocket(/\/ws$/, (ws) => {
        const server = ws.connectToServer();
        server.onMessage((message) => {
          const events = JSON.parse(message);
          for (const e of events) if (e.reason === 'control' && ++refusals === 2) e.reason = 'unheard-of';
          ws.send(JSON.stringify(events));
        });
      });
      await page.goto(gateway.url);
      assert.equal(await page.evaluate(() => document.documentElement.lang), 'ja');
      assert.equal(await page.title(), '127.0.0.1 のチャット');
      assert.match(await page.$eval('#about', (e) => e.textContent), /^127\.0\.0\.1 のチャットに参加します。/);
      const shown = (selector) => page.$eval(selector, (e) => e.textContent);
      assert.deepEqual(
        [await shown('label[for=name]'), await shown('label[for=colour]'), await shown('#login-button'),
          await shown('#status'), await page.getAttribute('#log', 'aria-label'), await page.getAttribute('#reload', 'title')],
        ['名前', '色', 'ログイン', 'ログインしていません', '会話', '新しい発言を今すぐサーバーに問い合わせます']);
      await page.fill('input[name=name]', '花 子');
      await page.waitForSelector('#name-hint.bad >> text=名前に空白は使えません。');

      await page.fill('input[name=name]', '花子');
      await page.click('#login-button');
      await page.waitForSelector('#status >> text=花子 でログイン中');
      assert.deepEqual([await shown('#send'), await shown('#logout'), await page.getAttribute('#message', 'placeholder')],
        ['送信', 'ログアウト', 'メッセージ']);
      // The server's own words stay as they are.
      await page.waitForSelector('.record.notice >> text=花子がログインしました');
      await page.fill('input[name=message]', 'こんにちは');
      assert.match(await shown('#left'), /^残り\d+バイト$/);

      for (let i = 0; i < 2; i++) {
        await page.fill('input[name=message]', 'esc \u001b here');
        await page.press('input[name=message]', 'Enter');
      }
      await until(async () => (await page.$$('.error.gateway')).length === 2, 10000, 'both refusals');
      assert.deepEqual(await page.$$eval('.error.gateway .text', (rows) => rows.map((r) => r.textContent)), [
        'メッセージにESCなどの制御文字は使えません。送信しませんでした。',
        'A message cannot hold control characters such as ESC; it was not sent.',
      ]);
      assert.deepEqual(await page.$$eval('.unposted .state', (rows) => rows.map((r) => r.textContent)), ['未送信', '未送信']);

      await page.click('#logout');
      await page.waitForSelector('#status >> text=ログアウトしました');
      await page.waitForSelector('#login-button >> text=もう一度ログイン');
    } finally {
      await japanese.close();
    }
  });
});
