// What the user sent, until its record comes back: the lines in the log as
// pending rows (kept in the tab for a reload), and the sending of posts and
// other messages within the gateway's rate, so that nothing is dropped and
// nothing is sent that the gateway would refuse.
import { colourOf, paintSender } from './colours.js';
import { atBottom, log, show, span, textOf, timeOf, toBottom } from './log.js';
import { load, save, session, socketOpen } from './state.js';
import { t } from './texts.js';

const outboxKey = 'chat-outbox';
// Slots of the rate window are counted this much longer than the gateway
// counts them: a message may take that long more to arrive than the one
// whose slot it takes.
const rateSlackMs = 1000;

let outbox = load(outboxKey, { nextId: 1, lines: [] });  // lines: { id, text, sent, at }
let sendTimes = [];  // performance.now() of each message in the rate window
let controls = [];   // messages other than posts waiting for a slot
let pumpTimer = 0;

// The exact size of a send message as the gateway counts it: the UTF-8
// bytes of the WebSocket message.
const encoder = new TextEncoder();
export function sendSize(text, id = outbox.nextId) {
  return encoder.encode(JSON.stringify({ type: 'send', id, text })).length;
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
  for (const line of outbox.lines) {
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
  save(outboxKey, outbox);
}

function forget(line) {
  rowOf(line)?.remove();
  outbox.lines = outbox.lines.filter((l) => l !== line);
  saveOutbox();
}

// A line the user typed joins the queue.
export function queue(text) {
  outbox.lines.push({ id: outbox.nextId, text, sent: false, at: Date.now() });
  outbox.nextId += 1;
  saveOutbox();
  renderOutgoing();
}

// A record of ours came back: its line is done once its last piece is
// here. Sent lines before it that are still waiting were lost on the way.
export function ownRecord(message) {
  const at = outbox.lines.findIndex((l) => l.id === message.id);
  if (at < 0) return;
  for (const line of outbox.lines.slice(0, at)) if (line.sent) line.unsure = true;
  if (message.last) forget(outbox.lines[at]);
  saveOutbox();
  renderOutgoing();
}

// The gateway did not send a line: it leaves the queue, marked.
export function refused(id) {
  const line = outbox.lines.find((l) => l.id === id);
  if (line) unposted(line, t('notSent'));
}

// A busy server may have lost a post: the oldest sent line is marked.
export function markUnsure() {
  const line = outbox.lines.find((l) => l.sent && !l.unsure);
  if (line) line.unsure = true;
  saveOutbox();
  renderOutgoing();
}

// Lines sent after `lastId`, the last send the gateway got, went into a
// socket that died on the way: they go again.
export function sendAgainAfter(lastId) {
  for (const line of outbox.lines) if (line.sent && line.id > lastId) line.sent = false;
}

// The session is over: what was not confirmed stays in the log, marked.
export function giveUpOutbox() {
  for (const line of [...outbox.lines]) unposted(line, line.sent ? t('unsure') : t('notSent'));
}

// A line leaves the queue as one that was not (or may not have been) posted.
function unposted(line, note) {
  forget(line);
  show({ kind: 'unposted', sender: ownName(), colour: ownColour(), text: line.text, note, at: line.at });
}

// ---- the rate window: posts and other messages wait for a free slot.

// Sends a message now, counting it in the window.
export function transmit(message) {
  sendTimes.push(performance.now());
  session.socket.send(JSON.stringify(message));
}

// A new socket starts with a window of its own, or with what a resumed
// session has used of its window (ms until each message leaves it).
export function newWindow(used = []) {
  const window = session.limits.rate_seconds * 1000;
  sendTimes = used.map((ms) => performance.now() + ms - window);
}

function slotWait() {
  const now = performance.now();
  const span = session.limits.rate_seconds * 1000 + rateSlackMs;
  sendTimes = sendTimes.filter((at) => now - at < span);
  return sendTimes.length < session.limits.rate_count ? 0 : Math.ceil(span - (now - sendTimes[0])) + 1;
}

// A message other than a post (a reload) waits for a slot too.
export function sendControl(message) {
  controls.push(message);
  pump();
}

// Sends what waits while there are slots, and comes back when the next
// one frees.
export function pump() {
  clearTimeout(pumpTimer);
  if (session.phase !== 'in' || !socketOpen()) return;
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

// Nothing more is sent for this session.
export function stopSending() {
  clearTimeout(pumpTimer);
  controls = [];
}
