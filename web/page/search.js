// Searching the archive from the header. The results take the log's place
// until the search is closed (Escape or the close button): time, sender
// and text, with the term marked, all as text. A result is shown among its
// neighbours; "Back to live" returns to the log in one click. Live records
// go on arriving behind the results and are counted until then.
import { ask } from './archive.js';
import { paintSender } from './colours.js';
import { log, logOf, span, toBottom } from './log.js';
import { rooms } from './state.js';
import { clock, t } from './texts.js';

const $ = (id) => document.getElementById(id);
const input = $('search');
const view = $('search-view');
const list = $('search-results');
const status = $('search-status');
const backButton = $('search-back');
const liveButton = $('back-to-live');
let results = null;  // the last answer to a search, for going back to it
let unread = 0;

const fold = (text) => text.normalize('NFKC').toLowerCase();

// The text with each place that holds the term, case and width aside, in
// a <mark>; built from text nodes, never from markup.
export function marked(text, term) {
  const want = fold(term.trim());
  const out = document.createDocumentFragment();
  const chars = [...text];
  let plain = '';
  for (let i = 0; i < chars.length;) {
    let end = 0;
    for (let j = i + 1; want && j <= chars.length; j++) {
      const part = fold(chars.slice(i, j).join(''));
      if (part === want) end = j;
      if (end || !want.startsWith(part)) break;
    }
    if (!end) {
      plain += chars[i++];
      continue;
    }
    if (plain) out.append(plain);
    plain = '';
    const mark = document.createElement('mark');
    mark.textContent = chars.slice(i, end).join('');
    out.append(mark);
    i = end;
  }
  if (plain) out.append(plain);
  return out;
}

function when(row) {
  const d = new Date(Math.min(row.stamp, row.archived) * 1000);
  const time = document.createElement('time');
  time.dateTime = d.toISOString();
  time.textContent = `${d.toLocaleDateString()} ${clock(d)}`;
  return time;
}

// One row of the results or of the neighbours: a gap, or a record whose
// text has the term marked.
function resultRow(row, term, choose) {
  const li = document.createElement('li');
  if (row.gap) {
    li.className = 'separator gap';
    li.textContent = t('archiveGap');
    return li;
  }
  const item = document.createElement(choose ? 'button' : 'div');
  item.className = 'result' + (row.notice ? ' notice' : '');
  if (choose) {
    item.type = 'button';
    item.addEventListener('click', () => choose(row));
  }
  const sender = span('sender', row.sender);
  const text = document.createElement('span');
  text.className = 'text';
  text.append(marked(row.text, term));
  item.append(when(row), sender, text);
  paintSender(sender, row.colour);
  li.append(item);
  li.dataset.id = row.id;
  return li;
}

function openView() {
  if (view.hidden) {
    unread = 0;
    countUnread();
  }
  view.hidden = false;
  log.hidden = true;
}

export function closeSearch() {
  if (view.hidden) return;
  view.hidden = true;
  log.hidden = false;
  results = null;
  toBottom();
  input.focus();
}

function search() {
  const term = input.value.trim();
  if (term === '') return;
  openView();
  backButton.hidden = true;
  list.replaceChildren();
  status.textContent = t('searching', term);
  if (!ask({ type: 'search', text: term }, (answer) => showResults(answer, term))) status.textContent = t('archiveLogIn');
}

function showResults(answer, term) {
  if (!answer || answer.failed) {
    status.textContent = t('archiveFailed');
    return;
  }
  results = { answer, term };
  backButton.hidden = true;
  const found = answer.rows.filter((r) => !r.gap).length;
  status.textContent = found === 0 ? t('searchNone', term)
    : t('searchFound', found, term) + (answer.incomplete ? ` ${t('searchIncomplete')}` : '');
  // The newest first, as a reader looks for what was said lately.
  list.replaceChildren(...answer.rows.slice().reverse().map((row) => resultRow(row, term, showAround)));
  list.scrollTop = 0;
}

// A result among the records around it, the chosen one marked.
function showAround(row) {
  const { term } = results;
  status.textContent = t('searchAround');
  ask({ type: 'around', row: row.id }, (answer) => {
    if (!answer || answer.failed) {
      status.textContent = t('archiveFailed');
      return;
    }
    backButton.hidden = false;
    list.replaceChildren(...answer.rows.map((r) => resultRow(r, term, null)));
    const chosen = list.querySelector(`li[data-id="${row.id}"]`);
    chosen?.classList.add('chosen');
    chosen?.setAttribute('aria-current', 'true');
    chosen?.scrollIntoView({ block: 'center' });
  });
}

function countUnread() {
  liveButton.textContent = unread > 0 ? t('backToLiveUnread', unread) : t('backToLive');
}

// Live records that come while the results are shown.
const arrivals = new MutationObserver((changes) => {
  if (view.hidden) return;
  for (const change of changes) {
    if (change.target !== log) continue;
    for (const node of change.addedNodes) {
      if (node.matches?.('.record:not(.archived)')) unread += 1;
    }
  }
  countUnread();
});
for (const r of rooms) arrivals.observe(logOf(r), { childList: true });

input.addEventListener('keydown', (e) => {
  if (e.key === 'Enter' && !e.isComposing && e.keyCode !== 229) {
    e.preventDefault();
    search();
  } else if (e.key === 'Escape') {
    e.preventDefault();
    closeSearch();
  }
});
view.addEventListener('keydown', (e) => {
  if (e.key === 'Escape') closeSearch();
});
$('search-close').addEventListener('click', closeSearch);
liveButton.addEventListener('click', closeSearch);
backButton.addEventListener('click', () => {
  if (results) showResults(results.answer, results.term);
});
