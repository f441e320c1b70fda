// The archive in the page (chat_web --archive): the earlier records loaded
// above the log when it is scrolled to its top or "Load earlier" is
// pressed, with date lines and gap lines; records the board dropped put
// in their place; and what a page that came back has not shown asked for.
// Every record row carries its archive row (data-id) once the gateway has
// placed it, so that no record is shown twice. search.js asks it too.
import { atBottom, keepBefore, keepId, log, logOf, rowOf, toBottom } from './log.js';
import { isShown, onRoom, rooms, sendNow, session, socketOpen } from './state.js';
import { t } from './texts.js';

const earlierButton = document.getElementById('load-earlier');
// How many rows the gateway gives for one scroll-back.
const pageRows = 100;

// Question ids apart from the ids of sends, which the gateway's refusals
// carry too; one numbering for the tab, so answers need no room.
let nextAsk = 2 ** 52;
const waiting = new Map();  // question id → what to do with the answer
// Per room: whether its session has an archive; a scroll-back under way;
// the archive's first record shown; after a new login or missed records,
// the newest row shown before.
let a;
for (const r of rooms) r.archive = { on: false, loading: false, atStart: false, fillFrom: null };
onRoom((r) => { a = r.archive; });

// Sends a question; `then` gets the answer, or null when it was refused.
export function ask(message, then) {
  if (!a.on || !socketOpen() || session.phase !== 'in') return false;
  const id = nextAsk++;
  waiting.set(id, then);
  sendNow({ ...message, id });
  return true;
}

export function answered(message) {
  const then = waiting.get(message.id);
  waiting.delete(message.id);
  then?.(message);
}

export function askRefused(id) {
  const then = waiting.get(id);
  waiting.delete(id);
  then?.(null);
}

// The gateway's hello says whether it keeps an archive.
export function archiveHello(message) {
  a.on = !!message.archive;
  if (isShown()) showArchiveTools();
}

// The scroll-back button and the search, for the room shown.
export function showArchiveTools() {
  earlierButton.hidden = !a.on || a.atStart;
  document.getElementById('search').hidden = !a.on;
}

// A row of the archive as the log draws it: from the board's stamp, but
// never later than it was kept (stamps run ahead when posts come fast).
export function itemOf(row) {
  if (row.gap) return { kind: 'separator', gap: true, text: t('archiveGap') };
  return {
    kind: 'record', archived: true, id: row.id, colour: row.colour, sender: row.sender, text: row.text,
    notice: row.notice, at: Math.min(row.stamp, row.archived) * 1000,
  };
}

const shownRow = (id) => log.querySelector(`.record[data-id="${id}"]`);

function ids() {
  return [...log.querySelectorAll('.record[data-id]')].map((r) => Number(r.dataset.id));
}

// The next earlier records, above the oldest placed one. Records above it
// that are not placed are in the archive too: its rows take their place.
export function loadEarlier() {
  const known = ids();
  if (a.loading || a.atStart || known.length === 0) return;
  const before = Math.min(...known);
  a.loading = ask({ type: 'earlier', row: before }, (answer) => {
    a.loading = false;
    if (answer && !answer.failed) showEarlier(answer, before);
  });
}

function showEarlier(answer, before) {
  const fromBottom = log.scrollHeight - log.scrollTop;  // the reader's place
  const oldest = shownRow(before);
  for (let row = oldest?.previousElementSibling; row;) {
    const above = row.previousElementSibling;
    if (row.matches('.record:not([data-id])')) row.remove();
    row = above;
  }
  const rows = document.createDocumentFragment();
  if (answer.rows.length < pageRows && !answer.incomplete) {
    a.atStart = true;
    earlierButton.hidden = true;
    rows.append(rowOf({ kind: 'separator', text: t('archiveStart') }));
  }
  for (const row of answer.rows) {
    if (row.gap || !shownRow(row.id)) rows.append(rowOf(itemOf(row)));
  }
  log.prepend(rows);
  redate();
  log.scrollTop = log.scrollHeight - fromBottom;
}

function dayOf(row) {
  const time = row.querySelector('time');
  return time ? new Date(time.dateTime).toDateString() : '';
}

// A date line above the first record and wherever the day changes.
function redate() {
  for (const line of log.querySelectorAll('.separator.date')) line.remove();
  let last = '';
  for (const row of log.querySelectorAll('.record')) {
    const day = dayOf(row);
    if (day === last) continue;
    last = day;
    const line = rowOf({ kind: 'separator', text: new Date(day).toLocaleDateString([], { dateStyle: 'full' }) });
    line.classList.add('date');
    row.before(line);
  }
}

// Where records sent live stand in the archive, and the records the board
// dropped before them. A record placed on a row already shown (from before
// a reload) is that one again and goes.
export function placed(message) {
  const follow = atBottom();
  for (const [seq, id] of message.ids) {
    const row = log.querySelector(`.record[data-seq="${seq}"]`);
    const shown = shownRow(id);
    if (row && shown && shown !== row) row.remove();
    else if (row) row.dataset.id = id;
    keepId(seq, id);
  }
  if (message.dropped) {
    const before = log.querySelector(`.record[data-seq="${message.before}"]`);
    const items = message.dropped.map(itemOf);
    if (message.more) items.unshift({ kind: 'separator', gap: true, text: t('archiveMore') });
    for (const item of items) {
      if (item.id && shownRow(item.id)) continue;
      const row = rowOf(item);
      if (before) before.before(row);
      else log.insertBefore(row, log.querySelector('.outgoing'));
      keepBefore(item, message.before);
    }
  }
  if (a.fillFrom !== null && message.ids.length > 0) fill(Math.min(...message.ids.map(([, id]) => id)));
  if (follow) toBottom();
}

// What came after the newest row shown before, up to the first row of the
// new session, each in its place.
function fill(upTo) {
  const from = a.fillFrom;
  a.fillFrom = null;
  if (upTo <= from + 1) return;
  ask({ type: 'later', row: from }, (answer) => {
    if (!answer || answer.failed) return;
    for (const row of answer.rows) {
      if (row.id >= upTo || row.gap || shownRow(row.id)) continue;
      const later = [...log.querySelectorAll('.record[data-id]')].find((r) => Number(r.dataset.id) > row.id);
      const node = rowOf(itemOf(row));
      if (later) later.before(node);
      else log.insertBefore(node, log.querySelector('.outgoing'));
    }
  });
}

// A new login, or records missed while the page was away: the next
// placement says from where on to ask.
export function askForMissed() {
  const known = ids();
  a.fillFrom = known.length ? Math.max(...known) : null;
}

earlierButton.addEventListener('click', loadEarlier);
for (const r of rooms) logOf(r).addEventListener('scroll', () => {
  if (log.scrollTop <= 2 && log.scrollHeight > log.clientHeight) loadEarlier();
});
for (const r of rooms) logOf(r).addEventListener('wheel', (e) => {
  if (e.deltaY < 0 && log.scrollTop <= 2) loadEarlier();
});
document.getElementById('login').addEventListener('submit', askForMissed);
