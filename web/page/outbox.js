// What the user sent, until its record comes back: the lines in the log as
// pending rows (kept in the tab for a reload), one for each post a text is
// cut into, and the sending of posts and other messages within the
// gateway's rate, its cap on posts on their way and the server's ticks,
// so that nothing is dropped and nothing is sent that the gateway would
// refuse.
import { colourOf, paintSender } from './colours.js';
import { atBottom, log, show, span, textOf, timeOf, toBottom } from './log.js';
import { codeNames } from './richtext.js';
import { splitPosts } from './split.js';
import { later, load, onRoom, rooms, save, sendNow, session, socketOpen } from './state.js';
import { t } from './texts.js';

// The most posts one text may make: a paste longer than that is refused.
export const textPostsMax = 10;

// Slots of the rate window are counted this much longer than the gateway
// counts them: a message may take that long more to arrive than the one
// whose slot it takes.
const rateSlackMs = 1000;

// Per room: outbox.lines: { id, text, sent, at, unsure, first }: `first`
// is the id of the text's first post, the same for every post of one
// text; sendTimes: performance.now() of each message in the rate window,
// postTimes of each post in the last tick; controls: messages other than
// posts waiting for a slot; heldBack: the gateway holds no more posts
// until a record comes back.
let q;
for (const r of rooms) {
  r.outbox = {
    key: `chat-outbox${r.key}`, outbox: load(`chat-outbox${r.key}`, { nextId: 1, lines: [] }),
    sendTimes: [], postTimes: [], controls: [], pumpTimer: 0, heldBack: false,
  };
}
onRoom((r) => { q = r.outbox; });

// The posts a text makes for this session's name.
export function postsOf(text) {
  return splitPosts(text, session.bodyMax || 200, codeNames);
}

function ownName() {
  return session.resume?.name || document.getElementById('name').value;
}

function ownColour() {
  return Array.isArray(session.resume?.colour) ? session.resume.colour : colourOf(document.getElementById('colour').value);
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
export function renderOutgoing() {
  const follow = atBottom();
  for (const line of q.outbox.lines) {
    let row = rowOf(line);
    if (!row) {
      row = document.createElement('div');
      row.className = 'line own outgoing pending';
      row.dataset.id = line.id;
      const sender = span('sender', ownName());
      row.append(timeOf(line.at), sender, textOf(line.text), span('state', ''));
      log.append(row);
      paintSender(sender, ownColour());
    }
    row.classList.toggle('unsure', !!line.unsure);
    row.querySelector('.state').textContent = lineState(line);
  }
  if (follow) toBottom();
}

function saveOutbox() {
  save(q.key, q.outbox);
}

function forget(line) {
  rowOf(line)?.remove();
  q.outbox.lines = q.outbox.lines.filter((l) => l !== line);
  saveOutbox();
}

// A text the user typed joins the queue as its posts.
export function queue(text) {
  const first = q.outbox.nextId;
  for (const post of postsOf(text)) {
    q.outbox.lines.push({ id: q.outbox.nextId, text: post, sent: false, at: Date.now(), first });
    q.outbox.nextId += 1;
  }
  saveOutbox();
  renderOutgoing();
}

// The texts of the lines not sent yet, each text whole again, in order.
function unsentTexts() {
  const texts = [];
  let last;
  for (const line of q.outbox.lines.filter((l) => !l.sent)) {
    if (texts.length && line.first !== undefined && line.first === last) texts[texts.length - 1] += line.text;
    else texts.push(line.text);
    last = line.first;
  }
  return texts;
}

// A logout goes past what waits: the lines not sent yet leave the queue,
// marked in the log, and their texts go back into the box, before what is
// there already; the texts are returned.
export function takeBackUnsent(box) {
  const texts = unsentTexts();
  for (const line of q.outbox.lines.filter((l) => !l.sent)) unposted(line, t('notSent'));
  if (texts.length) box.value = [...texts, box.value].filter((x) => x !== '').join(' ');
  return texts;
}

// A record of ours came back: its line is done once its last piece is
// here. Sent lines before it that are still waiting were lost on the way.
export function ownRecord(message) {
  const at = q.outbox.lines.findIndex((l) => l.id === message.id);
  if (at < 0) return;
  for (const line of q.outbox.lines.slice(0, at)) if (line.sent) line.unsure = true;
  if (message.last) forget(q.outbox.lines[at]);
  q.heldBack = false;
  saveOutbox();
  renderOutgoing();
  pump();
}

// The gateway did not send a line: it leaves the queue, marked; or, when
// it holds too many posts already, it waits for a record to come back.
export function refused(id, reason) {
  const line = q.outbox.lines.find((l) => l.id === id);
  if (!line) return;
  if (reason === 'backlog') {
    line.sent = false;
    q.heldBack = true;
    saveOutbox();
    renderOutgoing();
    return;
  }
  unposted(line, t('notSent'));
}

// A busy server may have lost a post: the oldest sent line is marked.
export function markUnsure() {
  const line = q.outbox.lines.find((l) => l.sent && !l.unsure);
  if (line) line.unsure = true;
  q.heldBack = false;
  saveOutbox();
  renderOutgoing();
  pump();
}

// Lines sent after `lastId`, the last send the gateway got, went into a
// socket that died on the way: they go again.
export function sendAgainAfter(lastId) {
  for (const line of q.outbox.lines) if (line.sent && line.id > lastId) line.sent = false;
}

// The session is over: what was not confirmed stays in the log, marked.
export function giveUpOutbox() {
  for (const line of [...q.outbox.lines]) unposted(line, line.sent ? t('unsure') : t('notSent'));
}

// The session is over but another comes: what was sent and not confirmed
// is marked in the log; what waits stays for the next session.
export function giveUpSent() {
  for (const line of q.outbox.lines.filter((l) => l.sent)) unposted(line, t('unsure'));
}

// A line leaves the queue as one that was not (or may not have been) posted.
function unposted(line, note) {
  forget(line);
  show({ kind: 'unposted', sender: ownName(), colour: ownColour(), text: line.text, note, at: line.at });
}

// ---- the rate window: posts and other messages wait for a free slot.

// Sends a message now, counting it in the window.
export function transmit(message) {
  q.sendTimes.push(performance.now());
  if (message.type === 'send') q.postTimes.push(performance.now());
  sendNow(message);
}

// A new socket starts with a window of its own, or with what a resumed
// session has used of its window (ms until each message leaves it); what
// of that fell in the last tick counts as posts, to be safe.
export function newWindow(used = []) {
  const window = session.limits.rate_seconds * 1000;
  q.sendTimes = used.map((ms) => performance.now() + ms - window);
  q.postTimes = [...q.sendTimes];
  q.heldBack = false;
}

// How long until `times` has fewer than `count` in the last `seconds`
// (and a slack); 0 when it has now. Old times are dropped.
function waitIn(times, count, seconds) {
  const now = performance.now();
  const span = seconds * 1000 + rateSlackMs;
  while (times.length && now - times[0] >= span) times.shift();
  return times.length < count ? 0 : Math.ceil(span - (now - times[0])) + 1;
}

function slotWait() {
  return waitIn(q.sendTimes, session.limits.rate_count, session.limits.rate_seconds);
}

// A post also waits while one delivery of the server would bring more
// than tick_posts of ours; and while posts_max of ours are on their way,
// until a record comes back (no timer: ownRecord pumps).
function postWait() {
  const { posts_max, tick_posts, tick_seconds } = session.limits;
  if (q.heldBack || q.outbox.lines.filter((l) => l.sent && !l.unsure).length >= posts_max) return Infinity;
  return Math.max(slotWait(), waitIn(q.postTimes, tick_posts, tick_seconds));
}

// A message other than a post (a reload) waits for a slot too.
export function sendControl(message) {
  q.controls.push(message);
  pump();
}

// Sends what waits while there are slots, and comes back when the next
// one frees.
export function pump() {
  clearTimeout(q.pumpTimer);
  if (session.phase !== 'in' || !socketOpen()) return;
  for (;;) {
    const line = q.outbox.lines.find((l) => !l.sent);
    if (!q.controls.length && !line) break;
    const wait = q.controls.length ? slotWait() : postWait();
    if (wait === Infinity) break;
    if (wait > 0) {
      q.pumpTimer = later(pump, wait);
      break;
    }
    if (q.controls.length) {
      transmit(q.controls.shift());
    } else {
      line.sent = true;
      transmit({ type: 'send', id: line.id, text: line.text });
    }
  }
  saveOutbox();
  renderOutgoing();
}

// Nothing more is sent for this session.
export function stopSending() {
  clearTimeout(q.pumpTimer);
  q.controls = [];
}
