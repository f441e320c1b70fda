// The log: records and the page's own rows, drawn as text (textContent,
// never markup), kept in the tab for a reload; the view that follows new
// records only at the bottom; and what a hidden tab counts in its title.
import { paintSender, repaintSenders } from './colours.js';
import { clearPeople, noteRecord } from './people.js';
import { actionOf, fillText, fromShortCodes, mentions } from './richtext.js';
import { load, save, session } from './state.js';
import { clock, t } from './texts.js';

export const log = document.getElementById('log');
const newMessages = document.querySelector('.new-messages');
const shownKey = 'chat-shown';
const shownLimit = 400;
// The chat's title: the gateway's --title, else named after the host.
export const chatTitle = document.querySelector('meta[name=chat-title]')?.content || t('chatOn', location.hostname);

let shown = load(shownKey, []);
let showMeanwhile = false;
let afterEarlier = false;  // the last record shown came from the history file
let unread = 0;
let unreadMentions = 0;
// Whether the view was at the bottom when last looked at, and whether
// records came below it since: a shrinking view (an on-screen keyboard, a
// rotation, the login form) keeps the one and shows the other.
let wasAtBottom = true;
let unseen = false;
let placedAt = -1;  // the scrollTop that toBottom set, whose scroll event is no user's

function keep(item) {
  shown.push(item);
  if (shown.length > shownLimit) shown = shown.slice(-shownLimit);
  save(shownKey, shown);
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
  placedAt = log.scrollTop;
  newMessages.hidden = true;
  wasAtBottom = true;
  unseen = false;
}

// Records go above the lines still waiting to be posted, which stay last.
// Scrolled up, the view stays, and a button says that more came below.
function append(node) {
  const follow = atBottom();
  log.insertBefore(node, log.querySelector('.outgoing'));
  if (follow) {
    toBottom();
  } else {
    unseen = true;
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
  const item = shown.find((i) => i.kind === 'record' && i.seq === seq);
  if (item) {
    item.id = id;
    save(shownKey, shown);
  }
}

// A record from the archive kept in its place among the live ones: before
// the record with event number `beforeSeq`.
export function keepBefore(item, beforeSeq) {
  const at = shown.findIndex((i) => i.kind === 'record' && i.seq === beforeSeq);
  shown.splice(at < 0 ? shown.length : at, 0, item);
  if (shown.length > shownLimit) shown = shown.slice(-shownLimit);
  save(shownKey, shown);
}

export function show(item) {
  if (showMeanwhile && item.kind === 'record') {
    showMeanwhile = false;
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
  showMeanwhile = on;
}

// A fresh login: the divider after earlier records comes again, and who
// is here is learnt again.
export function startAgain() {
  afterEarlier = false;
  clearPeople();
  // Event numbers start again with a new session.
  for (const item of shown) delete item.seq;
  save(shownKey, shown);
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
    afterEarlier = true;
  } else if (afterEarlier) {
    afterEarlier = false;
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
  for (const item of shown) render(item);
  return shown.length > 0;
}

// A live record while the tab is hidden counts in its title, those that
// name the user apart; with notifications allowed and on it is a
// notification, unless they are for mentions only and it names nobody.
export function noticeArrival(message) {
  if (!document.hidden) return;
  const mention = namesMe(message);
  unread += 1;
  if (mention) unreadMentions += 1;
  document.title = t('unread', unread, unreadMentions, chatTitle);
  const onlyMentions = document.getElementById('notify-what').value === 'mentions';
  if (document.getElementById('notify').checked && (mention || !onlyMentions) &&
      window.Notification && Notification.permission === 'granted') {
    new Notification(message.notice ? chatTitle : message.sender, { body: fromShortCodes(message.text), tag: 'chat' });
  }
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden) {
    unread = 0;
    unreadMentions = 0;
    document.title = chatTitle;
  }
});

export function scrollToEnd() {
  toBottom();
}

// Only the user's scrolling moves the view away from the bottom: the event
// of toBottom's own scrolling may come after the view has shrunk.
log.addEventListener('scroll', () => {
  if (log.scrollTop === placedAt) return;
  placedAt = -1;
  wasAtBottom = atBottom();
  if (wasAtBottom) {
    unseen = false;
    newMessages.hidden = true;
  }
});
// The view changed size: one that was at the bottom stays there, and the
// button shows while records that came are below the fold.
new ResizeObserver(() => {
  if (wasAtBottom) toBottom();
  else newMessages.hidden = !unseen || atBottom();
}).observe(log);
matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => repaintSenders(log));

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

log.addEventListener('copy', (e) => {
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
