// Who is here, as far as the page can tell: the names logged in, counted
// by name and colour (names are not unique), from the login, logout and
// time-out notices the gateway marks (live and from the history file). A
// client that is killed posts no logout, so the list says what the notices
// tell, no more. Kept in the tab for a reload; also the names that name
// completion offers, with the recent senders.
import { paintSender } from './colours.js';
import { isShown, load, onRoom, rooms, save } from './state.js';
import { t } from './texts.js';

const recentMax = 50;
const list = document.getElementById('people-list');
const button = document.getElementById('people-button');
const panel = document.getElementById('people');

// Per room: here: [{ name, colour: [r, g, b], auto, count }]; recent:
// names, newest last. The list shows the room shown.
function loadPeople(key) {
  const kept = load(key, { here: [], recent: [] });
  return Array.isArray(kept.here) && Array.isArray(kept.recent) ? kept : { here: [], recent: [] };
}
let p;
for (const r of rooms) r.people = { key: `chat-people${r.key}`, kept: loadPeople(`chat-people${r.key}`) };
onRoom((r) => { p = r.people; });

const sameEntry = (a, name, colour) => a.name === name && a.colour.join() === colour.join();

function keep() {
  save(p.key, p.kept);
  if (isShown()) drawPeople();
}

// A record: a presence notice changes the list; a post's sender is recent.
export function noteRecord(message) {
  if (!Array.isArray(message.colour)) return;
  if (!message.notice) {
    noteSender(message.sender);
    return;
  }
  if (!message.presence || typeof message.name !== 'string') return;
  const entry = p.kept.here.find((e) => sameEntry(e, message.name, message.colour));
  if (message.presence === 'login') {
    if (entry) entry.count += 1;
    else p.kept.here.push({ name: message.name, colour: message.colour, auto: !!message.auto, count: 1 });
  } else if (entry) {
    // A logout the list never saw log in (before the history it read) changes nothing.
    entry.count -= 1;
    if (entry.count <= 0) p.kept.here = p.kept.here.filter((e) => e !== entry);
  }
  keep();
}

function noteSender(name) {
  if (typeof name !== 'string' || name === '') return;
  p.kept.recent = p.kept.recent.filter((n) => n !== name);
  p.kept.recent.push(name);
  if (p.kept.recent.length > recentMax) p.kept.recent = p.kept.recent.slice(-recentMax);
  save(p.key, p.kept);
}

// A fresh login, or the server stopped: nobody is known to be here.
export function clearPeople() {
  p.kept = { here: [], recent: p.kept.recent };
  keep();
}

// The names to complete from: those here, then the recent senders, newest
// first, each once.
export function knownNames() {
  return [...new Set([...p.kept.here.map((e) => e.name), ...[...p.kept.recent].reverse()])];
}

// The list of the room shown.
export function drawPeople() {
  const entries = [...p.kept.here].sort((a, b) => a.name.localeCompare(b.name));
  list.replaceChildren(...entries.map((e) => {
    const item = document.createElement('li');
    const name = document.createElement('span');
    name.className = 'sender';
    name.textContent = e.name;
    item.append(name);
    if (e.count > 1) {
      const count = document.createElement('span');
      count.className = 'count';
      count.textContent = t('times', e.count);
      item.append(count);
    }
    paintSender(name, e.colour, e.auto ? e.name : null);
    return item;
  }));
  const total = p.kept.here.reduce((n, e) => n + e.count, 0);
  button.textContent = t('peopleButton', total);
  document.getElementById('people-empty').hidden = entries.length > 0;
}

// On a phone the list is behind a button; on a wide screen always there.
button.addEventListener('click', () => {
  const open = panel.classList.toggle('open');
  button.setAttribute('aria-expanded', open ? 'true' : 'false');
});

drawPeople();
