// chat_web in Debian's chromium, against the real chat_server_fast (1 s
// tick, 8 s idle time-out) and the real gateway.
import { after, afterEach, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import {
  RawClient, RawWebSocket, bytes, holdLock, launchBrowser, loggedInPage, records, serverWithTaro, sjis, startGateway,
  startServer, stopAll, until,
} from './helpers.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); await stopAll(); });
afterEach(async () => {
  for (const p of browser.pages()) await p.close();
  await stopAll();
});

const texts = async (page) => (await records(page)).map((r) => r.text);

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
    assert.match(await markup.textContent('#left'), /2 posts/);
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
    await page.$eval('#log', (l) => { l.scrollTop = 0; });
    await post('while reading above');
    assert.equal(await page.$eval('#log', (l) => l.scrollTop), 0, 'scrolled up, the view stays');

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

  test('the page keeps what it showed across a reload of the tab', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const page = await loggedInPage(browser, gateway.url, 'keeper');
    await page.fill('input[name=message]', 'remember me');
    await page.press('input[name=message]', 'Enter');
    await until(async () => (await texts(page)).includes('remember me'), 10000, 'own echo');
    await page.reload();
    await page.waitForSelector('input[name=name]', { state: 'visible' });
    assert.ok((await texts(page)).includes('remember me'));
    assert.ok((await texts(page)).includes('keeperがログインしました'));
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

  test('while another process holds the history locked, logins wait on their own and the page still loads', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--history', server.history]);
    const poster = await RawClient.connect(server.port);
    await poster.login('009009009', 'poster');
    poster.send('SEND old 1\r\n');
    await poster.waitFor('old 1\r\nEND\r\n');

    const lock = await holdLock(server.history);
    const logins = [];
    for (let i = 0; i < 15; i++) logins.push(await RawWebSocket.open(gateway.port));
    logins.forEach((ws, i) => ws.send({ type: 'login', name: `waiter${i}`, colour: [1, 2, 3] }));
    await new Promise((r) => setTimeout(r, 50));  // the logins arrive first
    // Each login tries the lock for 200 ms; one after another that was 3 s
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
});
