// The log: records and the page's own rows, drawn as text (textContent,
// never markup), kept in the tab for a reload; the view that follows new
// records only at the bottom; and what a hidden tab counts in its title.
import { paintSender, repaintSenders } from './colours.js';
import { load, save } from './state.js';
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
    row.append(span('sender', item.sender));
    if (item.verified) row.append(verifiedMark(item.sender));
    row.append(span('text', item.text));
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

// A fresh login: the divider after earlier records comes again.
export function startAgain() {
  afterEarlier = false;
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
  show({
    kind: 'record', colour: message.colour, sender: message.sender, text: message.text,
    notice: message.notice, earlier: message.earlier, own: !!message.own, verified: !!message.verified,
    at: message.earlier && message.stamp ? Math.min(message.stamp * 1000, at) : at,
  });
}

// What was shown before a reload, shown again; false when nothing was.
export function showKept() {
  for (const item of shown) render(item);
  return shown.length > 0;
}

// A live record while the tab is hidden counts in its title, and with
// notifications allowed and on it is a notification.
export function noticeArrival(message) {
  if (!document.hidden) return;
  unread += 1;
  document.title = t('unread', unread, chatTitle);
  if (document.getElementById('notify').checked && window.Notification && Notification.permission === 'granted') {
    new Notification(message.notice ? chatTitle : message.sender, { body: message.text, tag: 'chat' });
  }
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden) {
    unread = 0;
    document.title = chatTitle;
  }
});

export function scrollToEnd() {
  log.scrollTop = log.scrollHeight;
}

log.addEventListener('scroll', () => {
  if (atBottom()) newMessages.hidden = true;
});
matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => repaintSenders(log));
