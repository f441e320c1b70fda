// The chat page: logs in through the gateway's WebSocket, shows what the
// chat server sends, queues what the user sends within the gateway's
// limits, and takes its session up again after a reload or a lost
// connection.
'use strict';

// ---- every text the page shows, by a short id, in English (TEXT) and
// Japanese (TEXT_JA) with the same ids. The gateway's events carry a
// reason code; the page shows its own text for the code and the gateway's
// text for a code it does not know. The chat server's own texts (its
// error replies, notices and records) are Japanese and shown as they are.
const TEXT = {
  title: 'Chat',
  chatOn: (host) => `Chat on ${host}`,
  about: (host) => `You are about to join the chat on ${host}. Everyone logged in reads what you post, and the server keeps the last 20 messages.`,
  autoColour: 'Automatic colour',
  newMessages: 'New messages ↓',
  earlierAbove: 'Earlier messages above, new ones below',
  blank: 'Nothing to send: the message holds only spaces.',
  name: 'Name',
  colour: 'Colour',
  message: 'Message',
  send: 'Send',
  notify: 'Notify',
  reload: 'Reload',
  reloadTitle: 'Ask the server for new records now',
  logout: 'Log out',
  logIn: 'Log in',
  logInAgain: 'Log in again',
  conversation: 'Conversation',
  stillHere: "I'm still here",
  nameHint: 'At most 30 bytes in Shift_JIS, no spaces.',
  nameEmpty: 'Type a name.',
  nameSpaces: 'No spaces in a name.',
  nameLong: (n) => `Too long: ${n} of 30 bytes.`,
  notLoggedIn: 'Not logged in',
  loggingIn: 'Logging in…',
  loggedInAs: (name) => `Logged in as ${name}`,
  loggedOut: 'Logged out',
  resuming: 'Taking up the session again…',
  reconnecting: 'Connection lost; reconnecting…',
  reloaded: 'Reloaded: log in to go on',
  meanwhile: 'While this page was away',
  bytesLeft: (n) => `${n} bytes left`,
  bytesLeftPosts: (n, posts) => `${n} bytes left; goes out as ${posts} posts`,
  tooLong: (size, max) => `Too long to send: ${size} bytes, one message holds at most ${max}. Send it in parts.`,
  sending: 'sending…',
  queued: 'waiting to send…',
  unsure: 'may not have been posted',
  notSent: 'not sent',
  idle: (time) => `You have sent nothing for a while: the chat server will log you out at ${time} unless you send something.`,
  unread: (n, title) => `(${n}) ${title}`,
  lost: 'The connection to the gateway was lost.',
  closedRate: 'The gateway closed this session: too many messages.',
  closedSize: 'The gateway closed this session: a message was too large.',
  reason: {
    rate: (e) => `Too many messages: at most ${limits.rate_count} every ${limits.rate_seconds} seconds. This session is closed.`,
    invalid: 'The gateway did not understand a message from the page.',
    room: 'There is no such room here.',
    'logged-in': 'Already logged in.',
    'not-logged-in': 'Not logged in.',
    name: 'A name is 1 to 30 Shift_JIS bytes without spaces (a Japanese character takes 2).',
    reserved: "That name is reserved for the server's notices. Choose another.",
    'name-control': 'A name cannot hold control characters.',
    colour: 'A colour is three whole numbers from -99 to 999.',
    line: 'A message cannot hold line breaks or NUL characters; it was not sent.',
    control: 'A message cannot hold control characters such as ESC; it was not sent.',
    replaced: (e) => `${e.count} character(s) have no Shift_JIS form and were sent as 〓.`,
    unreachable: 'The chat server cannot be reached. Try again later.',
    timeout: 'You were logged out after a long silence.',
    full: 'The chat server is full. Try again later.',
    stopped: 'The chat server has stopped.',
    lost: 'The connection to the chat server was lost.',
    logout: 'Logged out.',
    resume: 'This session cannot be taken up again here. Log in again.',
    missed: 'Earlier records were missed while the page was away.',
  },
};

const TEXT_JA = {
  title: 'チャット',
  chatOn: (host) => `${host} のチャット`,
  about: (host) => `${host} のチャットに参加します。発言はログイン中の全員が読み、サーバーには最新の20件が残ります。`,
  autoColour: '色を自動で決める',
  newMessages: '新しい発言 ↓',
  earlierAbove: 'ここより上は以前の発言、下は新しい発言です',
  blank: '空白だけのメッセージは送信しません。',
  name: '名前',
  colour: '色',
  message: 'メッセージ',
  send: '送信',
  notify: '通知',
  reload: '更新',
  reloadTitle: '新しい発言を今すぐサーバーに問い合わせます',
  logout: 'ログアウト',
  logIn: 'ログイン',
  logInAgain: 'もう一度ログイン',
  conversation: '会話',
  stillHere: 'ログインを続ける',
  nameHint: '全角15文字（半角30文字）まで、空白は使えません。',
  nameEmpty: '名前を入力してください。',
  nameSpaces: '名前に空白は使えません。',
  nameLong: (n) => `名前が長すぎます（${n}/30バイト）。`,
  notLoggedIn: 'ログインしていません',
  loggingIn: 'ログインしています…',
  loggedInAs: (name) => `${name} でログイン中`,
  loggedOut: 'ログアウトしました',
  resuming: 'セッションを再開しています…',
  reconnecting: '接続が切れました。再接続しています…',
  reloaded: 'ページを再読み込みしました。続けるにはログインしてください',
  meanwhile: 'このページを離れていた間の発言',
  bytesLeft: (n) => `残り${n}バイト`,
  bytesLeftPosts: (n, posts) => `残り${n}バイト（${posts}回に分けて送信）`,
  tooLong: (size, max) => `長すぎて送信できません（${size}バイト、1回に送れるのは${max}バイトまで）。分けて送ってください。`,
  sending: '送信中…',
  queued: '送信待ち…',
  unsure: '送信できなかった可能性があります',
  notSent: '未送信',
  idle: (time) => `しばらく発言がありません。${time}までに何か送信しないと、チャットサーバーからログアウトされます。`,
  unread: (n, title) => `(${n}) ${title}`,
  lost: 'ゲートウェイとの接続が切れました。',
  closedRate: 'メッセージが多すぎるため、ゲートウェイがこのセッションを閉じました。',
  closedSize: 'メッセージが大きすぎるため、ゲートウェイがこのセッションを閉じました。',
  reason: {
    rate: (e) => `メッセージが多すぎます（${limits.rate_seconds}秒間に${limits.rate_count}件まで）。このセッションは閉じられました。`,
    invalid: 'ページから届いたメッセージをゲートウェイが理解できませんでした。',
    room: 'この部屋はここにはありません。',
    'logged-in': 'すでにログインしています。',
    'not-logged-in': 'ログインしていません。',
    name: '名前は空白なしで1〜30バイト（Shift_JIS、全角文字は2バイト）です。',
    'name-control': '名前に制御文字は使えません。',
    reserved: 'その名前はサーバーのお知らせ用に予約されています。別の名前にしてください。',
    colour: '色は -99 から 999 までの整数3つで指定します。',
    line: 'メッセージに改行やNUL文字は使えません。送信しませんでした。',
    control: 'メッセージにESCなどの制御文字は使えません。送信しませんでした。',
    replaced: (e) => `Shift_JISで表せない文字${e.count}個を〓に置き換えて送信しました。`,
    unreachable: 'チャットサーバーに接続できません。しばらくしてからもう一度お試しください。',
    timeout: '長い間発言がなかったため、ログアウトされました。',
    full: 'チャットサーバーが満員です。しばらくしてからもう一度お試しください。',
    stopped: 'チャットサーバーが停止しました。',
    lost: 'チャットサーバーとの接続が切れました。',
    logout: 'ログアウトしました。',
    resume: 'このセッションはここでは再開できません。もう一度ログインしてください。',
    missed: 'ページを離れていた間の発言の一部を受け取れませんでした。',
  },
};

// The page's language: the first of Japanese or English among the
// browser's languages, English when neither is there.
function pageLanguage(languages) {
  for (const tag of languages) {
    const primary = String(tag).toLowerCase().split('-')[0];
    if (primary === 'ja' || primary === 'en') return primary;
  }
  return 'en';
}

const language = pageLanguage(navigator.languages || [navigator.language || '']);
const texts = language === 'ja' ? TEXT_JA : TEXT;
document.documentElement.lang = language;

// A text missing from the Japanese table shows in English rather than not
// at all (the table test catches it before it ships).
function t(id, ...args) {
  const text = id in texts ? texts[id] : TEXT[id];
  return typeof text === 'function' ? text(...args) : text;
}

// The page's text for an event's reason code, else the gateway's own.
function reasonText(event) {
  const text = texts.reason[event.reason] || TEXT.reason[event.reason];
  if (typeof text === 'function') return text(event);
  return text || event.text;
}

const $ = (id) => document.getElementById(id);
const log = $('log');
const loginForm = $('login');
const nameInput = $('name');
const colourInput = $('colour');
const autoColour = $('auto-colour');
const newMessages = document.querySelector('.new-messages');
const compose = $('compose');
const messageInput = $('message');
const left = $('left');
const idleWarning = document.querySelector('.idle-warning');
const shownKey = 'chat-shown';
const resumeKey = 'chat-resume';
const outboxKey = 'chat-outbox';
const shownLimit = 400;
// The chat's title: the gateway's --title, else named after the host.
const chatTitle = document.querySelector('meta[name=chat-title]')?.content || t('chatOn', location.hostname);
// Slots of the rate window are counted this much longer than the gateway
// counts them: a message may take that long more to arrive than the one
// whose slot it takes.
const rateSlackMs = 1000;
// After a lost connection: when to try to take the session up again, in
// ms after the loss; after a reload the first try is at once.
const retriesAfterDrop = [1000, 5000];
const retriesAfterReload = [0, 1000, 5000];

// The gateway's limits, from its hello; these until the first one comes.
let limits = { message_max: 4096, rate_count: 20, rate_seconds: 10, resume_seconds: 0, idle_seconds: 300 };
let socket = null;
// out: no session; login: logging in; in: logged in; resuming: trying to
// take the session up again on a new socket; leaving: logging out.
let phase = 'out';
let bodyMax = 0;
let composing = false;
let unread = 0;
let lastSeq = 0;           // the highest event number of this session seen
let sendTimes = [];        // performance.now() of each message in the rate window
let controls = [];         // messages other than posts waiting for a slot
let pumpTimer = 0;
let retryTimer = 0;
let retries = [];
let droppedAt = 0;
let showMeanwhile = false;
let afterEarlier = false;  // the last record shown came from the history file
let shown = load(shownKey, []);
let resume = load(resumeKey, null);   // { token, seq, name, colour: [r, g, b] } while resumable
let outbox = load(outboxKey, { nextId: 1, lines: [] });  // lines: { id, text, sent, at }

// ---- Shift_JIS byte counts, a guide for the counter and the name check:
// ASCII and half-width katakana take one byte, everything else two.
function sjisBytes(text) {
  let n = 0;
  for (const ch of text) {
    const c = ch.codePointAt(0);
    n += c < 0x80 || (c >= 0xff61 && c <= 0xff9f) ? 1 : 2;
  }
  return n;
}

// The exact size of a send message as the gateway counts it: the UTF-8
// bytes of the WebSocket message.
const encoder = new TextEncoder();
function sendSize(text, id) {
  return encoder.encode(JSON.stringify({ type: 'send', id, text })).length;
}

function nameProblem(name) {
  if (name === '') return t('nameEmpty');
  if (/\s/.test(name)) return t('nameSpaces');
  const n = sjisBytes(name);
  if (n > 30) return t('nameLong', n);
  return '';
}

// ---- colours: a sender's name keeps its hue and saturation; its lightness
// moves until the name has at least minContrast against the background it
// is drawn on (WCAG contrast ratio), in either theme and on own lines.
const minContrast = 4.5;

function clampRgb(rgb) {
  return rgb.map((v) => Math.min(255, Math.max(0, Math.round(v))));
}

// [h in degrees, s and l from 0 to 1]
function hsl(rgb) {
  const [r, g, b] = clampRgb(rgb).map((v) => v / 255);
  const max = Math.max(r, g, b), min = Math.min(r, g, b);
  const l = (max + min) / 2;
  let h = 0, s = 0;
  if (max !== min) {
    const d = max - min;
    s = l > 0.5 ? d / (2 - max - min) : d / (max + min);
    if (max === r) h = (g - b) / d + (g < b ? 6 : 0);
    else if (max === g) h = (b - r) / d + 2;
    else h = (r - g) / d + 4;
    h *= 60;
  }
  return [h, s, l];
}

function rgbOf(h, s, l) {
  const k = (n) => (n + h / 30) % 12;
  const a = s * Math.min(l, 1 - l);
  const f = (n) => l - a * Math.max(-1, Math.min(k(n) - 3, 9 - k(n), 1));
  return clampRgb([f(0) * 255, f(8) * 255, f(4) * 255]);
}

function luminance(rgb) {
  const [r, g, b] = rgb.map((v) => {
    const c = v / 255;
    return c <= 0.04045 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
  });
  return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

function contrast(a, b) {
  const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (hi + 0.05) / (lo + 0.05);
}

// The colour nearest to `rgb` in lightness that is readable on `bg`:
// darker on a light background, lighter on a dark one.
function readable(rgb, bg) {
  const start = clampRgb(rgb);
  if (contrast(start, bg) >= minContrast) return start;
  const [h, s, l] = hsl(start);
  const step = luminance(bg) > 0.18 ? -0.01 : 0.01;
  for (let lightness = l + step; lightness >= 0 && lightness <= 1; lightness += step) {
    const candidate = rgbOf(h, s, lightness);
    if (contrast(candidate, bg) >= minContrast) return candidate;
  }
  return step < 0 ? [0, 0, 0] : [255, 255, 255];
}

// The backgrounds of the current theme, from the style sheet.
function themeColour(name) {
  const v = getComputedStyle(document.documentElement).getPropertyValue(name).trim();
  return /^#[0-9a-f]{6}$/i.test(v) ? [1, 3, 5].map((i) => parseInt(v.slice(i, i + 2), 16)) : [255, 255, 255];
}

function paintSender(span, rgb) {
  span.dataset.colour = clampRgb(rgb).join(',');
  const own = span.closest('.own');
  const bg = themeColour(own ? '--own-bg' : '--bg');
  span.style.color = `rgb(${readable(rgb, bg).join(' ')})`;
}

function repaintSenders() {
  for (const span of log.querySelectorAll('.sender[data-colour]')) {
    paintSender(span, span.dataset.colour.split(',').map(Number));
  }
}
matchMedia('(prefers-color-scheme: dark)').addEventListener('change', repaintSenders);

// ---- what the page keeps in the tab for a reload: what it showed, the
// session's token with the last event seen, and what waits to be posted
function load(key, fallback) {
  try {
    const value = JSON.parse(sessionStorage.getItem(key));
    return value && typeof value === 'object' ? value : fallback;
  } catch (e) {
    return fallback;
  }
}

function save(key, value) {
  try {
    if (value === null) sessionStorage.removeItem(key);
    else sessionStorage.setItem(key, JSON.stringify(value));
  } catch (e) {
    // storage full or off: the page still works, it just forgets
  }
}

function keep(item) {
  shown.push(item);
  if (shown.length > shownLimit) shown = shown.slice(-shownLimit);
  save(shownKey, shown);
}

function clock(d) {
  return d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
}

function timeOf(ms) {
  const time = document.createElement('time');
  const d = new Date(ms);
  time.dateTime = d.toISOString();
  time.textContent = clock(d);
  return time;
}

function atBottom() {
  return log.scrollHeight - log.scrollTop - log.clientHeight < 40;
}

function toBottom() {
  log.scrollTop = log.scrollHeight;
  newMessages.hidden = true;
}

// Records go above the lines still waiting to be posted, which stay last.
// Scrolled up, the view stays, and a button says that more came below.
function append(node) {
  const follow = atBottom();
  log.insertBefore(node, log.querySelector('.outgoing'));
  if (follow) toBottom();
  else newMessages.hidden = false;
}

function span(className, text) {
  const s = document.createElement('span');
  s.className = className;
  s.textContent = text;
  return s;
}

// Text from the wire goes in with textContent only, never as markup.
function render(item) {
  const row = document.createElement('div');
  if (item.kind === 'separator') {
    row.className = 'separator' + (item.live ? ' live' : '');
    row.textContent = item.text;
    append(row);
    return;
  }
  row.append(timeOf(item.at));
  if (item.kind === 'record') {
    row.className = 'record' + (item.notice ? ' notice' : '') + (item.earlier ? ' earlier' : '') +
      (item.own ? ' own' : '');
    row.append(span('sender', item.sender), span('text', item.text));
  } else if (item.kind === 'unposted') {
    row.className = 'line own unposted';
    row.append(span('sender', item.sender), span('text', item.text), span('state', item.note));
  } else {
    // No role=alert: the log around it is read out already, and an alert
    // inside it would be read out twice.
    row.className = 'error ' + item.kind;
    row.append(span('text', item.text));
  }
  append(row);
  const sender = row.querySelector('.sender');
  if (sender) paintSender(sender, item.colour);
}

function show(item) {
  if (showMeanwhile && item.kind === 'record') {
    showMeanwhile = false;
    show({ kind: 'separator', text: t('meanwhile') });
  }
  keep(item);
  render(item);
}

function showError(kind, text) {
  show({ kind, text, at: Date.now() });
}

// ---- lines the user sent: shown at once, in class pending, until their
// record comes back
function ownColour() {
  return Array.isArray(resume?.colour) ? resume.colour : colourTriple();
}

function rowOf(line) {
  return log.querySelector(`.outgoing[data-id="${line.id}"]`);
}

function lineState(line) {
  if (line.unsure) return t('unsure');
  return line.sent ? t('sending') : t('queued');
}

// Waiting lines are no records yet: class pending (and unsure once the
// server may have lost them), never record.
function renderOutgoing() {
  const follow = atBottom();
  for (const line of outbox.lines) {
    let row = rowOf(line);
    if (!row) {
      row = document.createElement('div');
      row.className = 'line own outgoing pending';
      row.dataset.id = line.id;
      const sender = span('sender', resume?.name || nameInput.value);
      row.append(timeOf(line.at), sender, span('text', line.text), span('state', ''));
      log.append(row);
      paintSender(sender, ownColour());
    }
    row.classList.toggle('unsure', !!line.unsure);
    row.querySelector('.state').textContent = lineState(line);
  }
  if (follow) toBottom();
}

function saveOutbox() {
  save(outboxKey, outbox);
}

function forget(line) {
  rowOf(line)?.remove();
  outbox.lines = outbox.lines.filter((l) => l !== line);
  saveOutbox();
}

// A record of ours came back: its line is done once its last piece is
// here. Sent lines before it that are still waiting were lost on the way.
function ownRecord(message) {
  const at = outbox.lines.findIndex((l) => l.id === message.id);
  if (at < 0) return;
  for (const line of outbox.lines.slice(0, at)) if (line.sent) line.unsure = true;
  if (message.last) forget(outbox.lines[at]);
  saveOutbox();
  renderOutgoing();
}

// The gateway did not send a line: it leaves the queue, marked.
function refused(id) {
  const line = outbox.lines.find((l) => l.id === id);
  if (line) unposted(line, t('notSent'));
}

// A busy server may have lost a post: the oldest sent line is marked.
function markUnsure() {
  const line = outbox.lines.find((l) => l.sent && !l.unsure);
  if (line) line.unsure = true;
  saveOutbox();
  renderOutgoing();
}

// The session is over: what was not confirmed stays in the log, marked.
function giveUpOutbox() {
  for (const line of [...outbox.lines]) unposted(line, line.sent ? t('unsure') : t('notSent'));
}

// A line leaves the queue as one that was not (or may not have been) posted.
function unposted(line, note) {
  forget(line);
  show({ kind: 'unposted', sender: resume?.name || nameInput.value, colour: ownColour(), text: line.text, note, at: line.at });
}

// ---- sending within the rate limit: posts and reloads wait for a free
// slot; nothing is dropped, and nothing is sent that the gateway refuses
function transmit(message) {
  sendTimes.push(performance.now());
  socket.send(JSON.stringify(message));
}

function slotWait() {
  const now = performance.now();
  const span = limits.rate_seconds * 1000 + rateSlackMs;
  sendTimes = sendTimes.filter((at) => now - at < span);
  return sendTimes.length < limits.rate_count ? 0 : Math.ceil(span - (now - sendTimes[0])) + 1;
}

function pump() {
  clearTimeout(pumpTimer);
  if (phase !== 'in' || !socket || socket.readyState !== WebSocket.OPEN) return;
  for (;;) {
    const line = outbox.lines.find((l) => !l.sent);
    if (!controls.length && !line) break;
    const wait = slotWait();
    if (wait > 0) {
      pumpTimer = setTimeout(pump, wait);
      break;
    }
    if (controls.length) {
      transmit(controls.shift());
    } else {
      line.sent = true;
      transmit({ type: 'send', id: line.id, text: line.text });
    }
  }
  saveOutbox();
  renderOutgoing();
}

// ---- the idle warning: shown before the server's idle time-out, gone
// with the next thing the user sends. It says the time once, rather than
// counting down: an alert that changes every second is read out every
// second.
function showIdle(seconds) {
  $('idle-text').textContent = t('idle', clock(new Date(Date.now() + seconds * 1000)));
  idleWarning.hidden = false;
}

function hideIdle() {
  idleWarning.hidden = true;
}

// ---- state
function setStatus(text) {
  $('status').textContent = text;
}

function setComposing(on) {
  loginForm.hidden = on;
  compose.hidden = !on;
  $('reload').hidden = !on;
  $('logout').hidden = !on;
  (on ? messageInput : nameInput).focus();
  updateLeft();
}

function forgetSession() {
  resume = null;
  save(resumeKey, null);
  clearTimeout(retryTimer);
  clearTimeout(pumpTimer);
  controls = [];
  hideIdle();
}

function offerLogin(text) {
  phase = 'out';
  giveUpOutbox();
  forgetSession();
  setComposing(false);
  setStatus(text);
  $('login-button').textContent = t('logInAgain');
}

// ---- messages from the gateway
function received(message) {
  switch (message.type) {
    case 'hello':
      hello(message);
      break;
    case 'record':
      record(message);
      break;
    case 'error':
      showError('error', message.text);  // the server's own words
      if (message.reason === 'busy') markUnsure();
      break;
    case 'gateway':
      if (phase === 'login') {
        loginRefused(reasonText(message));
        break;
      }
      showError('gateway', reasonText(message));
      if (typeof message.id === 'number') refused(message.id);
      break;
    case 'missed':
      show({ kind: 'separator', text: reasonText(message) });
      break;
    case 'state':
      bodyMax = message.body_max;
      phase = 'in';
      showMeanwhile = false;
      clearTimeout(retryTimer);
      if (resume) {
        resume.name = message.name;
        if (Array.isArray(message.colour)) resume.colour = message.colour;
      }
      setComposing(true);
      setStatus(t('loggedInAs', message.name));
      renderOutgoing();
      pump();
      break;
    case 'idle':
      showIdle(message.seconds);
      break;
    case 'ended':
      if (message.reason !== 'logout') showError('gateway', reasonText(message));
      closeSocket();
      offerLogin(message.reason === 'logout' ? t('loggedOut') : reasonText(message));
      break;
    default:
      break;
  }
}

// A record: from the history file at its stamp, but never later than it
// came (stamps run ahead of the clock when posts come fast); a live one at
// the time the gateway received it. A divider parts the two.
function record(message) {
  const at = message.at || Date.now();
  if (message.earlier) {
    afterEarlier = true;
  } else if (afterEarlier) {
    afterEarlier = false;
    show({ kind: 'separator', live: true, text: t('earlierAbove') });
  }
  show({
    kind: 'record', colour: message.colour, sender: message.sender, text: message.text,
    notice: message.notice, earlier: message.earlier, own: !!message.own,
    at: message.earlier && message.stamp ? Math.min(message.stamp * 1000, at) : at,
  });
  if (message.own && message.id !== undefined) ownRecord(message);
  if (!message.earlier) noticeArrival(message);
}

// The gateway refused the login: the form stays, with the reason by the name.
function loginRefused(text) {
  closeSocket();
  phase = 'out';
  resume = null;
  setStatus(t('notLoggedIn'));
  $('name-hint').textContent = text;
  $('name-hint').classList.add('bad');
  nameInput.setAttribute('aria-invalid', 'true');
  nameInput.focus();
}

// The limits to keep; once logged in, the token for taking the session up
// again, and on a resumed session what is used of the rate window.
function hello(message) {
  for (const key of Object.keys(limits)) {
    if (typeof message[key] === 'number') limits[key] = message[key];
  }
  if (message.token) resume = { ...resume, token: message.token };
  if (Array.isArray(message.rate_used)) {
    const window = limits.rate_seconds * 1000;
    sendTimes = message.rate_used.map((ms) => performance.now() + ms - window);
  }
  if (message.resumed) {
    showMeanwhile = true;
    // Lines sent into a socket that died on the way go again.
    const got = typeof message.last_id === 'number' ? message.last_id : 0;
    for (const line of outbox.lines) if (line.sent && line.id > got) line.sent = false;
  }
}

function noticeArrival(message) {
  if (!document.hidden) return;
  unread += 1;
  document.title = t('unread', unread, chatTitle);
  if ($('notify').checked && window.Notification && Notification.permission === 'granted') {
    new Notification(message.notice ? chatTitle : message.sender, { body: message.text, tag: 'chat' });
  }
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden) {
    unread = 0;
    document.title = chatTitle;
  }
});

// ---- the WebSocket
function closeSocket() {
  if (socket) {
    const s = socket;
    socket = null;
    s.onclose = null;
    s.close();
  }
}

function openSocket(first) {
  closeSocket();
  const s = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  socket = s;
  sendTimes = [];  // a new socket starts with a rate window of its own
  s.onopen = () => transmit(first());
  // Each message is an array of events, in order.
  s.onmessage = (e) => {
    if (socket !== s) return;
    let events = [];
    try {
      events = JSON.parse(e.data);
    } catch (err) {
      // a message the page does not know: ignore it
    }
    if (!Array.isArray(events)) return;
    for (const event of events) {
      if (typeof event.seq === 'number' && event.seq > lastSeq) lastSeq = event.seq;
      try {
        received(event);
      } catch (err) {
        // an event the page does not know: ignore it
      }
    }
    if (resume && phase !== 'out') save(resumeKey, { ...resume, seq: lastSeq });
  };
  s.onclose = (e) => {
    if (socket !== s) return;
    socket = null;
    closed(e.code);
  };
}

// The socket closed without an ended event. The gateway closes on purpose
// only when it drops the session; anything else is a lost connection,
// after which a logged-in page tries to take its session up again.
function closed(code) {
  if (code === 1008 || code === 1009 || code === 1003) {
    const text = code === 1008 ? t('closedRate') : code === 1009 ? t('closedSize') : t('lost');
    showError('gateway', text);
    offerLogin(text);
  } else if (phase === 'in' && resume?.token) {
    phase = 'resuming';
    droppedAt = Date.now();
    retries = [...retriesAfterDrop];
    setStatus(t('reconnecting'));
    retry();
  } else if (phase === 'resuming') {
    retry();
  } else {
    showError('gateway', t('lost'));
    offerLogin(t('lost'));
  }
}

// The next try at taking the session up again, while the gateway still
// keeps it; after the last one, the login form.
function retry() {
  const next = retries.shift();
  const at = droppedAt + (next ?? 0);
  if (next === undefined || at - droppedAt >= limits.resume_seconds * 1000) {
    showError('gateway', t('lost'));
    offerLogin(t('lost'));
    return;
  }
  clearTimeout(retryTimer);
  retryTimer = setTimeout(() => {
    openSocket(() => ({ type: 'resume', token: resume.token, after: lastSeq }));
  }, Math.max(0, at - Date.now()));
}

function colourTriple() {
  const v = colourInput.value;
  return [1, 3, 5].map((i) => parseInt(v.slice(i, i + 2), 16));
}

// ---- log in, post, reload, log out
function checkName() {
  const problem = nameProblem(nameInput.value);
  $('name-hint').textContent = problem || t('nameHint');
  $('name-hint').classList.toggle('bad', problem !== '');
  nameInput.setAttribute('aria-invalid', problem ? 'true' : 'false');
  return problem === '';
}

nameInput.addEventListener('input', checkName);
loginForm.addEventListener('submit', (e) => {
  e.preventDefault();
  if (!checkName()) return;
  localStorage.setItem('chat-name', nameInput.value);
  localStorage.setItem('chat-colour', colourInput.value);
  localStorage.setItem('chat-auto-colour', autoColour.checked ? '1' : '0');
  // The automatic colour is the gateway's to derive, from the name as it
  // goes on the wire; its state message says which it is.
  const login = { type: 'login', name: nameInput.value, colour: autoColour.checked ? 'auto' : colourTriple() };
  forgetSession();
  resume = { name: nameInput.value };
  phase = 'login';
  lastSeq = 0;
  afterEarlier = false;
  setStatus(t('loggingIn'));
  openSocket(() => login);
});

function post() {
  const text = messageInput.value;
  if (text === '' || (phase !== 'in' && phase !== 'resuming')) return;
  if (text.trim() === '') {
    refuse(t('blank'));
    return;
  }
  const size = sendSize(text, outbox.nextId);
  if (size > limits.message_max) {
    refuse(t('tooLong', size, limits.message_max));
    return;
  }
  outbox.lines.push({ id: outbox.nextId, text, sent: false, at: Date.now() });
  outbox.nextId += 1;
  messageInput.value = '';
  hideIdle();
  updateLeft();
  saveOutbox();
  renderOutgoing();
  toBottom();  // what the user sends is where the user looks
  pump();
}

// Send refuses: the text stays in the box, and the counter says why.
function refuse(reason) {
  left.textContent = reason;
  left.classList.add('bad');
  messageInput.setAttribute('aria-invalid', 'true');
  messageInput.focus();
}

function updateLeft() {
  const text = messageInput.value;
  const size = sendSize(text, outbox.nextId);
  const tooLong = size > limits.message_max;
  left.classList.toggle('bad', tooLong);
  messageInput.setAttribute('aria-invalid', tooLong ? 'true' : 'false');
  if (compose.hidden || !bodyMax) {
    left.textContent = '';
  } else if (tooLong) {
    left.textContent = t('tooLong', size, limits.message_max);
  } else {
    const used = sjisBytes(text);
    const posts = Math.max(1, Math.ceil(used / bodyMax));
    const room = posts * bodyMax - used;
    left.textContent = posts > 1 ? t('bytesLeftPosts', room, posts) : t('bytesLeft', room);
  }
}

function control(message) {
  hideIdle();
  controls.push(message);
  pump();
}

// Enter sends, except while an input method is composing: then it only
// confirms the composition. Browsers that end the composition before the
// Enter's keydown mark that keydown with keyCode 229.
compose.addEventListener('compositionstart', () => { composing = true; });
compose.addEventListener('compositionend', () => { composing = false; });
function isComposing(e) {
  return e.isComposing || e.keyCode === 229 || composing;
}
messageInput.addEventListener('keydown', (e) => {
  if (e.key !== 'Enter') return;
  e.preventDefault();
  if (!isComposing(e)) post();
});
nameInput.addEventListener('compositionstart', () => { composing = true; });
nameInput.addEventListener('compositionend', () => { composing = false; });
nameInput.addEventListener('keydown', (e) => {
  if (e.key === 'Enter' && isComposing(e)) e.preventDefault();
});
messageInput.addEventListener('input', updateLeft);
$('send').addEventListener('click', () => {
  post();
  messageInput.focus();
});
newMessages.addEventListener('click', () => {
  toBottom();
  (compose.hidden ? log : messageInput).focus();
});
log.addEventListener('scroll', () => {
  if (atBottom()) newMessages.hidden = true;
});
autoColour.addEventListener('change', () => { colourInput.disabled = autoColour.checked; });
$('reload').addEventListener('click', () => control({ type: 'reload' }));
$('still-here').addEventListener('click', () => control({ type: 'reload' }));
// A logout goes at once, past the queue; the gateway lets it through.
$('logout').addEventListener('click', () => {
  if (phase !== 'in' || !socket || socket.readyState !== WebSocket.OPEN) {
    closeSocket();
    offerLogin(t('loggedOut'));
    return;
  }
  phase = 'leaving';  // nothing more is sent; what waits is marked not sent
  socket.send(JSON.stringify({ type: 'logout' }));
});

// Notifications only where the browser allows them (a secure context).
if (window.Notification && window.isSecureContext) {
  $('notify-label').hidden = false;
  $('notify').addEventListener('change', async (e) => {
    if (e.target.checked && Notification.permission !== 'granted') {
      e.target.checked = (await Notification.requestPermission()) === 'granted';
    }
  });
}

// ---- start: the page's texts, what was shown before the reload, then the
// session taken up again if the tab holds its token, else the login form
for (const el of document.querySelectorAll('[data-text]')) el.textContent = t(el.dataset.text);
for (const el of document.querySelectorAll('[data-text-title]')) el.title = t(el.dataset.textTitle);
for (const el of document.querySelectorAll('[data-text-label]')) el.setAttribute('aria-label', t(el.dataset.textLabel));
for (const el of document.querySelectorAll('[data-text-placeholder]')) el.placeholder = t(el.dataset.textPlaceholder);
$('title').textContent = chatTitle;
document.title = chatTitle;
$('about').textContent = t('about', location.hostname);
for (const item of shown) render(item);
nameInput.value = localStorage.getItem('chat-name') || '';
colourInput.value = localStorage.getItem('chat-colour') || colourInput.value;
autoColour.checked = localStorage.getItem('chat-auto-colour') !== '0';
colourInput.disabled = autoColour.checked;
if (resume?.token) {
  phase = 'resuming';
  lastSeq = resume.seq || 0;
  droppedAt = Date.now();
  retries = [...retriesAfterReload];
  limits.resume_seconds = Infinity;  // the gateway's hello says; until then, try
  setComposing(true);
  setStatus(t('resuming'));
  renderOutgoing();
  retry();
} else {
  if (shown.length) render({ kind: 'separator', text: t('reloaded') });
  resume = null;
  giveUpOutbox();
  setComposing(false);
  setStatus(t('notLoggedIn'));
}
log.scrollTop = log.scrollHeight;
