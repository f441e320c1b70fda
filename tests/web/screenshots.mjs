// Pictures of the page for the README and for a look by eye:
//   CHAT_SERVER_FAST=build/chat_server CHAT_WEB=build/chat_web node screenshots.mjs OUTPUT_DIR [verified]
// A short conversation between two pages in automatic colours and two raw
// clients, after earlier records from the history, then the page in light
// and dark colours and at phone width (light, dark, phone, phone-dark); a
// burst of lines waiting for the rate limit (pending), the warning before
// the idle time-out (idle), a page that came back after a reload with what
// arrived meanwhile (resumed); and a conversation in a Japanese browser,
// light and dark (ja, ja-dark). The conversations hold a link, emoji, an
// action and a record that names the page's user, beside the names list;
// at phone width the list is open behind its button (phone-people,
// ja-phone-people). In docs/ they are web.png, web-dark.png,
// web-phone.png, web-phone-dark.png, web-phone-people.png, web-pending.png,
// web-idle.png, web-resumed.png, web-ja.png, web-ja-dark.png and
// web-ja-phone-people.png.
// With `archive` after OUTPUT_DIR, only the archive's pictures (it needs
// CHAT_ARCHIVE too): the log scrolled back and a search, in English and
// Japanese, light and dark: archive-scrollback.png, archive-search.png,
// archive-ja-scrollback.png, archive-ja-search.png, each also -dark.
// Then, in English and
// Japanese, wide and at phone width, a long paste that says how many
// messages it will make (split), the page waiting for a server that was
// stopped (waiting) and the login screen with --show-before-login
// (before-login): split.png, split-phone.png, split-ja.png,
// split-ja-phone.png and so on, web-split.png ... in docs/. Last, behind
// nginx as a sign-in proxy, the name fixed and verified posts marked
// (verified.png). With `rooms` after OUTPUT_DIR, only two rooms on two
// servers, one with a count that names the user, wide and at phone width
// with the menu open, in English and Japanese: rooms-wide-en.png,
// rooms-phone-en.png, rooms-wide-ja.png, rooms-phone-ja.png.
import path from 'node:path';
import {
  RawClient, launchBrowser, loggedInPage, serverWithArchive, sjis, startGateway, startNginx, startServer, stopAll, until,
} from './helpers.mjs';

const out = process.argv[2] || '.';
const shown = (page) => page.$$eval('.record .text', (n) => n.map((e) => e.textContent));

async function conversation(context, gateway, server) {
  const taro = await RawClient.connect(server.port);
  await taro.login('000160080', sjis('太郎'));
  const lemon = await RawClient.connect(server.port);
  await lemon.login('255255000', 'lemon');
  taro.send('SEND ', sjis('おはようございます。今日のビルドを始めます'), '\r\n');
  await taro.waitFor(sjis('今日のビルドを始めます'));
  const ken = await loggedInPage(context, gateway.url, 'ken');
  const page = await loggedInPage(context, gateway.url, '花子');
  const say = async (who, text) => {
    await who.fill('input[name=message]', text);
    await who.press('input[name=message]', 'Enter');
    await until(async () => (await shown(page)).includes(text));
  };
  taro.send('SEND ', sjis('こんにちは！ビルドは通りました。'), '\r\n');
  await say(page, 'ありがとう、太郎さん。レビューします');
  lemon.send('SEND yellow on a light page stays readable\r\n');
  await say(ken, 'I can take the release notes');
  taro.send('SEND ', sjis('花子さん、https://example.jp/build/42を見てください :party_popper:'), '\r\n');
  await ken.fill('input[name=message]', '/me waves 👋 see https://example.com/notes.');
  await ken.press('input[name=message]', 'Enter');
  await until(async () => (await shown(page)).includes('* ken waves 👋 see https://example.com/notes.'));
  taro.send('SEND ', sjis('<b>太字</b> はそのまま文字として表示されます'), '\r\n');
  await say(page, 'markup stays text here, good');
  await until(async () => (await shown(page)).includes('<b>太字</b> はそのまま文字として表示されます'));
  return { page, taro };
}

// A page in a Japanese browser and a raw client, light and dark, with a
// line typed.
async function inJapanese(server) {
  const context = await launchBrowser({ locale: 'ja-JP' });
  try {
    const gateway = await startGateway(server.port);
    const sato = await RawClient.connect(server.port);
    await sato.login('000160080', sjis('佐藤'));
    const page = await loggedInPage(context, gateway.url, '鈴木');
    for (const [i, text] of ['おはようございます。今日の打ち合わせは15時からです',
      '了解です。資料は共有フォルダに置きました', '鈴木さん、ありがとうございます！ https://example.jp/docs を確認します :party_popper:'].entries()) {
      if (i % 2 === 0) {
        sato.send('SEND ', sjis(text), '\r\n');
      } else {
        await page.fill('input[name=message]', text);
        await page.press('input[name=message]', 'Enter');
      }
      await until(async () => (await shown(page)).some((s) => s.startsWith(text.slice(0, 8))));
    }
    await page.fill('input[name=message]', '会議室はどこですか？');
    await page.setViewportSize({ width: 900, height: 560 });
    for (const [name, scheme] of [['ja', 'light'], ['ja-dark', 'dark']]) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.screenshot({ path: path.join(out, `${name}.png`) });
    }
    await page.emulateMedia({ colorScheme: 'light' });
    await page.setViewportSize({ width: 390, height: 740 });
    await page.click('#people-button');
    await page.screenshot({ path: path.join(out, 'ja-phone-people.png') });
  } finally {
    await context.close();
  }
}

// Records posted a little apart, so that the archive keeps them all.
async function postAll(client, lines) {
  for (const line of lines) {
    client.send('SEND ', sjis(line), '\r\n');
    await new Promise((r) => setTimeout(r, 30));
  }
  await client.waitFor(sjis(lines[lines.length - 1]));
}

// The log scrolled back past the board's 20 records, and a search with a
// result among its neighbours, light and dark.
async function archivePictures(locale, prefix, lines, term) {
  const context = await launchBrowser({ locale });
  try {
    const { server, gateway } = await serverWithArchive();
    const sato = await RawClient.connect(server.port);
    await sato.login('000160080', sjis(locale === 'ja-JP' ? '佐藤' : 'sato'));
    await postAll(sato, lines);
    const page = await loggedInPage(context, gateway.url, locale === 'ja-JP' ? '鈴木' : 'ken');
    await page.setViewportSize({ width: 900, height: 560 });
    await page.waitForSelector('.record[data-id]');
    await page.click('#load-earlier');
    await until(async () => (await shown(page)).includes(lines[0]));
    await page.$eval("#log", (log) => { log.scrollTop = 0; });
    for (const scheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.screenshot({ path: path.join(out, `${prefix}-scrollback${scheme === 'dark' ? '-dark' : ''}.png`) });
    }
    await page.fill('#search', term);
    await page.press('#search', 'Enter');
    await page.waitForSelector('#search-results li button');
    await page.click('#search-results li:nth-child(2) button');
    await page.waitForSelector('#search-results li.chosen');
    sato.send('SEND ', sjis(lines[1]), '\r\n');
    await page.waitForSelector('#back-to-live >> text=1');
    for (const scheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.screenshot({ path: path.join(out, `${prefix}-search${scheme === 'dark' ? '-dark' : ''}.png`) });
    }
  } finally {
    await context.close();
  }
}

// Both sizes of one scene: NAME.png and NAME-phone.png.
async function wideAndPhone(page, name) {
  for (const [suffix, width, height] of [['', 900, 560], ['-phone', 390, 740]]) {
    await page.setViewportSize({ width, height });
    await page.screenshot({ path: path.join(out, `${name}${suffix}.png`) });
  }
}

// Sending and coming back, in the browser's language `locale`; `tag` is
// added to each name ('' or '-ja').
async function sendingAndComingBack(server, locale, tag) {
  const context = await launchBrowser({ locale });
  try {
    const gateway = await startGateway(server.port, ['--history', server.history, '--show-before-login']);
    const before = await context.newPage();
    await before.goto(gateway.url);
    await before.waitForSelector('.record.before-login');
    await wideAndPhone(before, `before-login${tag}`);

    const page = await loggedInPage(context, gateway.url, tag ? '鈴木' : 'ken');
    const words = tag ? '議事録を貼ります。ビルドは通過、レビューは金曜日まで、リリースは来週です。'.repeat(8)
      : 'Minutes of the meeting: the build passed, the review is due on Friday, the release is next week. '.repeat(9);
    await page.fill('input[name=message]', words);
    await wideAndPhone(page, `split${tag}`);
    await page.fill('input[name=message]', '');

    const own = await startServer();
    const alone = await startGateway(own.port);
    const waiting = await loggedInPage(context, alone.url, tag ? '佐藤' : 'lemon');
    own.child.kill('SIGTERM');
    await waiting.waitForSelector('#login', { state: 'visible' });
    await waiting.waitForSelector('#status >> text=/:/');
    await wideAndPhone(waiting, `waiting${tag}`);
  } finally {
    await context.close();
  }
}

if (process.argv[3] === 'archive') {
  try {
    const english = Array.from({ length: 30 }, (_, i) => [
      'the build is green again', 'who reviews the release notes?', 'I can take the release notes',
      'the deploy waits for the review', 'lunch at noon?', 'the release goes out on Friday'][i % 6] + ` (${i + 1})`);
    await archivePictures('en-US', 'archive', english, 'release');
    const japanese = Array.from({ length: 30 }, (_, i) => [
      '今日のビルドは通りました', 'リリースノートは誰が書きますか', '私がリリースノートを書きます',
      'レビュー待ちです', 'お昼はどうしますか', '金曜日にリリースします'][i % 6] + `（${i + 1}）`);
    await archivePictures('ja-JP', 'archive-ja', japanese, 'リリース');
  } finally {
    await stopAll();
  }
  process.exit(0);
}

// Two users signed in through nginx and a raw client under one of their
// names: only the signed-in posts carry the mark.
async function signedIn(server) {
  const gateway = await startGateway(server.port, ['--trusted-proxy', '127.0.0.1', '--name-header', 'X-Remote-User']);
  const nginx = await startNginx(gateway.port, { 'hanako.sato': 'one', ken: 'two' });
  const pages = [];
  for (const [username, password] of [['ken', 'two'], ['hanako.sato', 'one']]) {
    const context = await launchBrowser({ httpCredentials: { username, password } });
    const page = await context.newPage();
    await page.goto(nginx.url);
    await page.waitForSelector(`#signed-in-name >> text=${username}`);
    await page.click('#login-button');
    await page.waitForSelector(`#status >> text=${username}`);
    pages.push({ context, page });
  }
  const impostor = await RawClient.connect(server.port);
  await impostor.login('000160080', 'ken');
  const page = pages[1].page;
  const say = async (who, text) => {
    await who.fill('input[name=message]', text);
    await who.press('input[name=message]', 'Enter');
    await until(async () => (await shown(page)).includes(text));
  };
  await say(pages[0].page, 'Signed in through the proxy: my posts carry a check mark');
  await say(page, 'Mine too. Hover over it to see who signed in');
  impostor.send('SEND I am ken as well, but from a raw client\r\n');
  await until(async () => (await shown(page)).includes('I am ken as well, but from a raw client'));
  await page.setViewportSize({ width: 900, height: 560 });
  await page.screenshot({ path: path.join(out, 'verified.png') });
  for (const p of pages) await p.context.close();
}

// Two rooms on two servers: records in each, then three in the other room
// while this one is shown, one naming the user.
async function roomsPictures(locale, suffix, words) {
  const context = await launchBrowser({ locale });
  try {
    const servers = [await startServer(), await startServer()];
    const raws = [];
    for (const [i, server] of servers.entries()) {
      raws.push(await RawClient.connect(server.port));
      await raws[i].login('000160080', sjis(words.raws[i]));
    }
    const gateway = await startGateway(null, ['--room', `dev=127.0.0.1:${servers[0].port},title=${words.titles[0]}`,
      '--room', `ops=127.0.0.1:${servers[1].port},title=${words.titles[1]}`]);
    const page = await loggedInPage(context, gateway.url, words.me);
    const wait = (text) => until(async () => (await shown(page)).includes(text));
    for (const text of words.dev) {
      raws[0].send('SEND ', sjis(text), '\r\n');
      await wait(text);
    }
    await page.click('#room-list a[href="#ops"]');
    await raws[1].waitFor(sjis(words.me));
    await page.click('#room-list a[href="#dev"]');
    for (const text of words.ops) raws[1].send('SEND ', sjis(text), '\r\n');
    await until(async () => (await page.textContent('#room-list .unread-count').catch(() => '')) === `${words.ops.length}`);
    await page.setViewportSize({ width: 900, height: 560 });
    await page.screenshot({ path: path.join(out, `rooms-wide-${suffix}.png`) });
    await page.setViewportSize({ width: 390, height: 740 });
    await page.click('#rooms-button');
    await page.screenshot({ path: path.join(out, `rooms-phone-${suffix}.png`) });
  } finally {
    await context.close();
  }
}

if (process.argv[3] === 'rooms') {
  try {
    await roomsPictures('en-US', 'en', {
      raws: ['taro', 'lemon'], titles: ['Development', 'Operations'], me: 'hanako',
      dev: ['The build passed on all targets', 'Review starts after lunch'],
      ops: ['Disk on web-2 is at 80%', 'Rotating the logs now', 'hanako, can you check the backup job?'],
    });
    await roomsPictures('ja-JP', 'ja', {
      raws: ['太郎', '佐藤'], titles: ['開発', '運用'], me: '鈴木',
      dev: ['全ターゲットでビルドが通りました', 'レビューは昼食後に始めます'],
      ops: ['web-2のディスク使用率が80%です', 'ログをローテーションします', '鈴木さん、バックアップの確認をお願いします'],
    });
  } finally {
    await stopAll();
  }
  process.exit(0);
}

// "verified" as a second argument takes that picture only.
if (process.argv[3] === 'verified') {
  try {
    await signedIn(await startServer());
  } finally {
    await stopAll();
  }
  process.exit(0);
}

const server = await startServer();
const context = await launchBrowser();
try {
  const gateway = await startGateway(server.port, ['--history', server.history]);
  const { page, taro } = await conversation(context, gateway, server);
  await page.fill('input[name=message]', '次のリリースは金曜日');
  for (const [name, scheme, width, height] of [['light', 'light', 900, 560], ['dark', 'dark', 900, 560], ['phone', 'light', 390, 740], ['phone-dark', 'dark', 390, 740]]) {
    await page.emulateMedia({ colorScheme: scheme });
    await page.setViewportSize({ width, height });
    await page.screenshot({ path: path.join(out, `${name}.png`) });
  }
  await page.emulateMedia({ colorScheme: 'light' });
  await page.click('#people-button');
  await page.screenshot({ path: path.join(out, 'phone-people.png') });
  await page.click('#people-button');
  await page.setViewportSize({ width: 900, height: 560 });

  // Came back after a reload: what taro said meanwhile follows a line.
  await page.fill('input[name=message]', '');
  await page.goto('about:blank');
  taro.send('SEND ', sjis('金曜日で大丈夫です'), '\r\n');
  taro.send('SEND ', sjis('リリースノートは私が書きます'), '\r\n');
  await taro.waitFor(sjis('リリースノートは私が書きます'));
  await new Promise((r) => setTimeout(r, 2500));  // two of the server's ticks: the gateway has them
  await page.goto(gateway.url);
  await page.waitForSelector('.record >> text=リリースノートは私が書きます');
  await page.waitForSelector('#status >> text=Logged in as 花子');
  await page.screenshot({ path: path.join(out, 'resumed.png') });

  // A burst: with a limit of 3 messages per 10 s, most lines wait.
  const limited = await startGateway(server.port, ['--rate-limit', '3']);
  const burst = await loggedInPage(context, limited.url, '次郎', '#2f8f4f');
  await burst.setViewportSize({ width: 900, height: 560 });
  for (const text of ['議事録を貼ります:', '1. ビルドは通過', '2. レビューは金曜日まで', '3. リリースは来週', '以上です']) {
    await burst.fill('input[name=message]', text);
    await burst.press('input[name=message]', 'Enter');
  }
  await until(async () => (await shown(burst)).includes('1. ビルドは通過'));
  await burst.screenshot({ path: path.join(out, 'pending.png') });

  // The warning before the idle time-out (the fast server's 8 s), on a
  // server of its own where nobody else has timed out yet.
  const quietServer = await startServer();
  const idle = await startGateway(quietServer.port, ['--idle-seconds', '8']);
  const quiet = await loggedInPage(context, idle.url, '三郎', '#7a3fb0');
  await quiet.setViewportSize({ width: 900, height: 560 });
  await quiet.waitForSelector('.idle-warning', { state: 'visible', timeout: 10000 });
  await quiet.screenshot({ path: path.join(out, 'idle.png') });

  await inJapanese(await startServer());
  await sendingAndComingBack(server, 'en-US', '');
  await sendingAndComingBack(server, 'ja-JP', '-ja');
  await signedIn(await startServer());
} finally {
  await context.close();
  await stopAll();
}
