// The rooms of the page: the list of their links (a column beside the log
// on a wide screen, a menu behind a header button on a phone, none with
// one room), the room each address opens (/#NAME, else the first), and
// switching between them: each room keeps its log, people, outbox, draft
// and place, and switching logs nobody in or out. A room is joined when it
// is first opened after the login, with the same name and colour; a room
// left shows the login form, whose button joins it again.
import { showArchiveTools } from './archive.js';
import { clearUnread, hideLog, showForNow, showLog, startAgain } from './log.js';
import { drawPeople } from './people.js';
import { drawScreen, messageInput, setStatus, updateLeft } from './screen.js';
import { closeSearch } from './search.js';
import { logIn } from './socket.js';
import {
  manyRooms, noteChange, onChange, room, roomNamed, rooms, setShownRoom, shownRoom, tab,
} from './state.js';
import { t } from './texts.js';

const $ = (id) => document.getElementById(id);
const nav = $('rooms');
const list = $('room-list');
const menuButton = $('rooms-button');
const states = { full: 'roomFull', unreachable: 'roomUnreachable', stopped: 'roomStopped', lost: 'roomLost' };
const livePhases = new Set(['login', 'in', 'resuming', 'leaving', 'waiting']);

export const joined = (r) => livePhases.has(r.session.phase);

// The room an address opens: its name after the #, else the first.
export const roomOfAddress = () => roomNamed(decodeURIComponent(location.hash.slice(1))) || rooms[0];

const draftKey = (r) => `chat-draft${r.key}`;

// The draft of the room handled is kept in the tab, so that a reload does
// not lose it.
export function keepDraft(text = messageInput.value) {
  try {
    sessionStorage.setItem(draftKey(room), text);
  } catch (e) {
    // storage full or off: the draft lives as long as the page
  }
}

export function draftOf(r) {
  try {
    return sessionStorage.getItem(draftKey(r)) || '';
  } catch (e) {
    return '';
  }
}

export function loadDraft() {
  messageInput.value = draftOf(room);
}

function badge(className, text) {
  const s = document.createElement('span');
  s.className = className;
  s.textContent = text;
  s.setAttribute('aria-hidden', 'true');
  return s;
}

function hiddenText(text) {
  const s = document.createElement('span');
  s.className = 'visually-hidden';
  s.textContent = text;
  return s;
}

// A room's link: its title, how many records came while it was not shown
// (with a mark when one names the user), and what its last session or
// join ended with.
function linkOf(r) {
  const a = document.createElement('a');
  a.href = `#${encodeURIComponent(r.name)}`;
  a.className = 'room' + (joined(r) ? ' joined' : '');
  if (r === shownRoom) a.setAttribute('aria-current', 'page');
  const title = document.createElement('span');
  title.className = 'room-title';
  title.textContent = r.title;
  a.append(title);
  if (r.unread > 0) {
    if (r.unreadMentions) a.append(badge('mention-mark', '@'));
    a.append(badge('unread-count', String(r.unread)));
    a.append(hiddenText(t('unreadCount', r.unread, r.unreadMentions)));
  }
  if (r.ended && states[r.ended] && r.session.phase !== 'in') {
    const mark = badge('room-state', '!');
    mark.title = t(states[r.ended]);
    a.append(mark, hiddenText(t(states[r.ended])));
  }
  const item = document.createElement('li');
  item.append(a);
  return item;
}

function drawRooms() {
  if (!manyRooms) return;
  list.replaceChildren(...rooms.map(linkOf));
  const unread = rooms.reduce((n, r) => n + (r === shownRoom ? 0 : r.unread), 0);
  menuButton.textContent = unread ? t('roomsButtonUnread', unread) : t('roomsButton');
}

function openMenu(open) {
  nav.classList.toggle('open', open);
  menuButton.setAttribute('aria-expanded', open ? 'true' : 'false');
}

// Joins the room handled with the tab's name and colour.
function join() {
  const login = tab.login.name === null
    ? { type: 'login', colour: tab.login.colour }
    : { type: 'login', name: tab.login.name, colour: tab.login.colour };
  startAgain();
  setStatus(t('loggingIn'));
  logIn(login, tab.login.name ?? tab.signedInName);
}

// A room that keeps no records here says so once in its log.
function sayNoRecords() {
  if (room.keepsRecords || room.saidNoRecords) return;
  room.saidNoRecords = true;
  showForNow({ kind: 'separator', text: t('noRecords') });
}

// Shows room `r`; a room not joined yet joins when someone is logged in.
export function switchTo(r) {
  if (r !== shownRoom) {
    closeSearch();
    keepDraft();
    hideLog();
    setShownRoom(r);
    showLog();
    loadDraft();
    drawPeople();
    drawScreen();
    showArchiveTools();
    updateLeft();
  }
  clearUnread();
  sayNoRecords();
  openMenu(false);
  if (!joined(r) && !r.left && !r.comeback && tab.login && rooms.some(joined)) join();
  noteChange();
}

if (manyRooms) {
  nav.hidden = false;
  menuButton.hidden = false;
  document.body.classList.add('with-rooms');
  onChange(drawRooms);
  menuButton.addEventListener('click', () => openMenu(!nav.classList.contains('open')));
  nav.addEventListener('keydown', (e) => {
    if (e.key === 'Escape' && nav.classList.contains('open')) {
      openMenu(false);
      menuButton.focus();
    }
  });
  // A tap beside the open menu closes it, as a tap on the button does.
  document.addEventListener('click', (e) => {
    if (nav.classList.contains('open') && !nav.contains(e.target) && !menuButton.contains(e.target)) openMenu(false);
  });
  window.addEventListener('hashchange', () => switchTo(roomOfAddress()));
}
