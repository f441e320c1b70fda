// The log: records and the page's own rows, drawn as text (textContent,
// never markup), kept in the tab for a reload; the view that follows new
// records only at the bottom; and what a hidden tab counts in its title.
import { paintSender, repaintSenders } from './colours.js';
import { clearPeople, noteRecord } from './people.js';
import { actionOf, fillText, fromShortCodes, mentions } from './richtext.js';
import { isShown, load, manyRooms, noteChange, onRoom, room, rooms, save, session } from './state.js';
import { clock, t } from './texts.js';

const newMessages = document.querySelector('.new-messages');
const shownLimit = 400;
// The chat's title: the gateway's --title, else named after the host.
export const chatTitle = document.querySelector('meta[name=chat-title]')?.content || t('chatOn', location.hostname);

// One log element per room, the first one's in the page already; those of
// rooms not shown are hidden.
const firstLog = document.getElementById('log');
function logElementOf(r, i) {
  if (i === 0) return firstLog;
  const el = firstLog.cloneNode(false);
  el.id = `log-${r.name}`;
  el.hidden = true;
  firstLog.after(el);
  return el;
}

// Per room: what it shows (kept for a reload), whether the next record is
// the first of a resumed session, and whether the last record shown came
// from the history file. Whether the view was at the bottom when last
// looked at, and whether records came below it since: a shrinking view (an
// on-screen keyboard, a rotation, the login form) keeps the one and shows
// the other. placedAt: the scrollTop that toBottom set, whose scroll event
// is no user's.
export let log = firstLog;
let v;
rooms.forEach((r, i) => {
  r.view = {
    log: logElementOf(r, i), shownKey: `chat-shown${r.key}`, shown: load(`chat-shown${r.key}`, []),
    showMeanwhile: false, afterEarlier: false, wasAtBottom: true, unseen: false, placedAt: -1,
  };
});
onRoom((r) => {
  v = r.view;
  log = v.log;
});
export const logOf = (r) => r.view.log;

function keep(item) {
  v.shown.push(item);
  if (v.shown.length > shownLimit) v.shown = v.shown.slice(-shownLimit);
  save(v.shownKey, v.shown);
}

export function timeOf(ms) {
  const time = document.createElement('time');
  const d = new Date(ms);
  time.dateTime = d.toISOString();
  time.textContent = clock(d);
  return time;
}

export function atBottom() {
  return log.scrollHeight - log.scrollTop - log.clientHeight < 40;
}

export function toBottom() {
  log.scrollTop = log.scrollHeight;
  v.placedAt = log.scrollTop;
  if (isShown()) newMessages.hidden = true;
  v.wasAtBottom = true;
  v.unseen = false;
}

// Records go above the lines still waiting to be posted, which stay last.
// Scrolled up, the view stays, and a button says that more came below.
function append(node) {
  if (log.hidden) {
    log.insertBefore(node, log.querySelector('.outgoing'));
    if (!v.wasAtBottom) v.unseen = true;
    return;
  }
  const follow = atBottom();
  log.insertBefore(node, log.querySelector('.outgoing'));
  if (follow) {
    toBottom();
  } else {
    v.unseen = true;
    newMessages.hidden = false;
  }
}

export function span(className, text) {
  const s = document.createElement('span');
  s.className = className;
  s.textContent = text;
  return s;
}

// A record posted through a session whose name the sign-in proxy verified.
function verifiedMark(name) {
  const mark = span('verified', '✓');
  mark.title = t('signedInAs', name);
  mark.setAttribute('role', 'img');
  mark.setAttribute('aria-label', mark.title);
  return mark;
}

// A text with its links and emoji, built from DOM nodes (richtext.js).
export function textOf(value) {
  const text = document.createElement('span');
  text.className = 'text';
  fillText(text, value);
  return text;
}

// A record's text: links, emoji and /me built from DOM nodes (richtext.js).
// An action reads "* name waves", the name in the sender's colour.
function recordText(item) {
  const action = item.notice ? null : actionOf(item.text);
  if (action === null) return textOf(item.text);
  const text = span('text', '');
  const actor = span('actor', item.sender);
  text.append('* ', actor, ' ');
  fillText(text, action);
  return text;
}

function recordClass(item) {
  return 'record' + (item.notice ? ' notice' : '') + (item.earlier ? ' earlier' : '') + (item.own ? ' own' : '') +
    (item.archived ? ' archived' : '') + (item.beforeLogin ? ' before-login' : '') + (item.mention ? ' mention' : '') +
    (!item.notice && actionOf(item.text) !== null ? ' action' : '');
}

// Text from the wire goes in as text nodes only, never as markup.
function render(item) {
  append(rowOf(item));
}

// The row an item is drawn as; a record with its event number (seq) and
// archive row (id) when known, which the archive's rows are placed by.
export function rowOf(item) {
  const row = document.createElement('div');
  if (item.kind === 'separator') {
    row.className = 'separator' + (item.live ? ' live' : '') + (item.gap ? ' gap' : '');
    row.textContent = item.text;
    return row;
  }
  row.append(timeOf(item.at));
  if (item.kind === 'record') {
    row.className = recordClass(item);
    row.append(span('sender', item.sender));
    if (item.verified) row.append(verifiedMark(item.sender));
    row.append(recordText(item));
    if (item.seq) row.dataset.seq = item.seq;
    if (item.id) row.dataset.id = item.id;
  } else if (item.kind === 'unposted') {
    row.className = 'line own unposted';
    row.append(span('sender', item.sender), textOf(item.text), span('state', item.note));
  } else {
    // No role=alert: the log around it is read out already, and an alert
    // inside it would be read out twice.
    row.className = 'error ' + item.kind;
    row.append(span('text', item.text));
  }
  const autoName = item.auto ? item.sender : null;
  for (const name of row.querySelectorAll('.sender, .actor')) paintSender(name, item.colour, autoName);
  return row;
}

// The archive's row of a record kept for a reload, once it is known.
export function keepId(seq, id) {
  const item = v.shown.find((i) => i.kind === 'record' && i.seq === seq);
  if (item) {
    item.id = id;
    save(v.shownKey, v.shown);
  }
}

// A record from the archive kept in its place among the live ones: before
// the record with event number `beforeSeq`.
export function keepBefore(item, beforeSeq) {
  const at = v.shown.findIndex((i) => i.kind === 'record' && i.seq === beforeSeq);
  v.shown.splice(at < 0 ? v.shown.length : at, 0, item);
  if (v.shown.length > shownLimit) v.shown = v.shown.slice(-shownLimit);
  save(v.shownKey, v.shown);
}

export function show(item) {
  if (v.showMeanwhile && item.kind === 'record') {
    v.showMeanwhile = false;
    show({ kind: 'separator', text: t('meanwhile') });
  }
  keep(item);
  render(item);
}

// A row for this page view only, not kept for a reload.
export function showForNow(item) {
  render(item);
}

export function showError(kind, text) {
  show({ kind, text, at: Date.now() });
}

// A resumed session: the next record shown is the first that came while
// the page was away, under a separator that says so.
export function markMeanwhile(on) {
  v.showMeanwhile = on;
}

// A fresh login: the divider after earlier records comes again, and who
// is here is learnt again.
export function startAgain() {
  v.afterEarlier = false;
  clearPeople();
  // Event numbers start again with a new session.
  for (const item of v.shown) delete item.seq;
  save(v.shownKey, v.shown);
  for (const row of log.querySelectorAll('[data-seq]')) delete row.dataset.seq;
}

// The name the user is logged in under, as the server has it.
function ownName() {
  return session.resume?.name || '';
}

// Whether a record names the user: a post of someone else's only.
function namesMe(message) {
  return !message.notice && !message.own && mentions(message.text, ownName());
}

// A record: from the history file at its stamp, but never later than it
// came (stamps run ahead of the clock when posts come fast); a live one at
// the time the gateway received it. A divider parts the two.
export function showRecord(message) {
  const at = message.at || Date.now();
  if (message.earlier) {
    v.afterEarlier = true;
  } else if (v.afterEarlier) {
    v.afterEarlier = false;
    show({ kind: 'separator', live: true, text: t('earlierAbove') });
  }
  noteRecord(message);
  show(recordItem(message, at));
}

function recordItem(message, at) {
  return {
    kind: 'record', colour: message.colour, sender: message.sender, text: message.text,
    notice: message.notice, earlier: message.earlier, own: !!message.own, verified: !!message.verified, auto: !!message.auto, seq: message.seq,
    mention: namesMe(message), at: message.earlier && message.stamp ? Math.min(message.stamp * 1000, at) : at,
  };
}

// A record of the history shown before the login, read-only: for this
// view only, and gone at the login, which brings the earlier records itself.
export function showBeforeLogin(message) {
  render({ ...recordItem(message, message.at || Date.now()), beforeLogin: true });
}

export function dropBeforeLogin() {
  for (const row of log.querySelectorAll('.before-login')) row.remove();
}

// What was shown before a reload, shown again; false when nothing was.
export function showKept() {
  for (const item of v.shown) render(item);
  return v.shown.length > 0;
}

// A live record in a room not looked at (another room, or a hidden tab)
// counts on the room's link and in the tab's title, those that name the
// user apart; with notifications allowed and on it is a notification,
// unless they are for mentions only and it names nobody. With rooms the
// notification names its room, and clicking it opens that room.
export function noticeArrival(message) {
  if (!document.hidden && isShown()) return;
  const mention = namesMe(message);
  room.unread += 1;
  if (mention) room.unreadMentions += 1;
  countUnread();
  const onlyMentions = document.getElementById('notify-what').value === 'mentions';
  if (document.getElementById('notify').checked && (mention || !onlyMentions) &&
      window.Notification && Notification.permission === 'granted') {
    const from = message.notice ? chatTitle : message.sender;
    const note = new Notification(manyRooms ? `${from} · ${room.title}` : from,
      { body: fromShortCodes(message.text), tag: `chat${room.key}` });
    const r = room;
    note.onclick = () => {  // opens the room the record came in
      window.focus();
      location.hash = `#${encodeURIComponent(r.name)}`;
      note.close();
    };
  }
}

// The tab's title counts what came in all rooms together.
export function countUnread() {
  const unread = rooms.reduce((n, r) => n + r.unread, 0);
  const mentioned = rooms.reduce((n, r) => n + r.unreadMentions, 0);
  document.title = unread ? t('unread', unread, mentioned, chatTitle) : chatTitle;
  noteChange();
}

// The room looked at has nothing unread any more.
export function clearUnread() {
  room.unread = 0;
  room.unreadMentions = 0;
  countUnread();
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden) clearUnread();
});

// The room shown is about to change: its place in the log is kept (a
// hidden element forgets it).
export function hideLog() {
  v.fromBottom = log.scrollHeight - log.scrollTop;
  log.hidden = true;
}

// The room shown now: its log, at the bottom if it was there, else where
// it was left.
export function showLog() {
  log.hidden = false;
  if (v.wasAtBottom || v.fromBottom === undefined) toBottom();
  else log.scrollTop = log.scrollHeight - v.fromBottom;
  newMessages.hidden = !v.unseen || atBottom();
}

export function scrollToEnd() {
  toBottom();
}

// Only the user's scrolling moves the view away from the bottom: the event
// of toBottom's own scrolling may come after the view has shrunk.
for (const r of rooms) r.view.log.addEventListener('scroll', () => {
  if (log.hidden || log.scrollTop === v.placedAt) return;
  v.placedAt = -1;
  v.wasAtBottom = atBottom();
  if (v.wasAtBottom) {
    v.unseen = false;
    newMessages.hidden = true;
  }
});
// The view changed size: one that was at the bottom stays there, and the
// button shows while records that came are below the fold.
const resized = new ResizeObserver(() => {
  if (log.hidden) return;
  if (v.wasAtBottom) toBottom();
  else newMessages.hidden = !v.unseen || atBottom();
});
for (const r of rooms) resized.observe(r.view.log);
matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
  for (const r of rooms) repaintSenders(r.view.log);
});

// ---- copying: a selection over the log is copied as one line per row,
// "time name: text" ("time * name waves" for an action, "time text" for a
// notice or an error), rather than as the rows' pieces run together. A
// selection inside one text is copied as it is.
function copyLine(row) {
  const part = (selector) => row.querySelector(selector)?.textContent ?? '';
  const time = part('time');
  const text = part('.text');
  if (row.classList.contains('separator')) return null;
  if (row.classList.contains('notice') || row.classList.contains('action') || !row.querySelector('.sender')) {
    return `${time} ${text}`;
  }
  return `${time} ${part('.sender')}: ${text}`;
}

for (const r of rooms) r.view.log.addEventListener('copy', (e) => {
  const selection = document.getSelection();
  if (!selection || selection.rangeCount === 0 || selection.isCollapsed) return;
  const range = selection.getRangeAt(0);
  const inside = range.commonAncestorContainer;
  if ((inside.nodeType === Node.ELEMENT_NODE ? inside : inside.parentElement)?.closest('.text')) return;
  const lines = [...log.children].filter((row) => range.intersectsNode(row)).map(copyLine).filter((l) => l !== null);
  if (lines.length === 0) return;
  e.preventDefault();
  e.clipboardData.setData('text/plain', lines.join('\n') + '\n');
});
