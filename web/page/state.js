// What the page knows of its sessions, one per room, and what it keeps in
// the tab for a reload: each session's token with the last event seen
// (here), what it showed (log.js) and what waits to be posted (outbox.js).
// Every module keeps its state per room; `room` and `session` are the room
// being handled now: the room shown, or, while an event or a timer of
// another room is handled, that room (inRoom).

export function load(key, fallback) {
  try {
    const value = JSON.parse(sessionStorage.getItem(key));
    return value && typeof value === 'object' ? value : fallback;
  } catch (e) {
    return fallback;
  }
}

export function save(key, value) {
  try {
    if (value === null) sessionStorage.removeItem(key);
    else sessionStorage.setItem(key, JSON.stringify(value));
  } catch (e) {
    // storage full or off: the page still works, it just forgets
  }
}

// The rooms from the page's HTML, in order; without them the one room
// "main" that keeps what the gateway's hello says.
function readRooms() {
  try {
    const list = JSON.parse(document.querySelector('meta[name=chat-rooms]')?.content || '[]');
    const rooms = Array.isArray(list) ? list.filter((r) => r && typeof r.name === 'string' && r.name !== '') : [];
    if (rooms.length) return rooms;
  } catch (e) {
    // a meta the page cannot read: one room as without rooms
  }
  return [{ name: 'main', title: '', history: true, archive: true }];
}

// What the tab shares between its rooms: the one socket, and the login
// (name and colour) the user gave, which joins the other rooms.
export const tab = {
  socket: null,
  login: load('chat-login', null),
  signedInName: null, // behind a sign-in proxy, the name it verified
};

export function saveLogin(login) {
  tab.login = login;
  save('chat-login', login);
}

function newSession(key) {
  return {
    // out: no session; login: logging in; in: logged in; resuming: trying to
    // take the session up again on a new socket; leaving: logging out;
    // waiting: for the chat server to come back, to log in again.
    phase: 'out',
    lastLogin: null,   // the login message last sent, to send again after a restart
    // The gateway's limits, from its hello; these until the first one comes.
    limits: {
      message_max: 4096, rate_count: 20, rate_seconds: 10, resume_seconds: 0, idle_seconds: 300,
      posts_max: 20, tick_posts: 10, tick_seconds: 5,
    },
    get socket() { return tab.socket; },
    bodyMax: 0,        // bytes of one post for this name
    lastSeq: 0,        // the highest event number of this session seen
    get signedInName() { return tab.signedInName; },
    // { token, seq, name, colour: [r, g, b] } while resumable
    resume: load(`chat-resume${key}`, null),
  };
}

// The first room keeps the keys the page had before rooms; the others
// have their name after a colon.
export const rooms = readRooms().map((r, i) => {
  const key = i === 0 ? '' : `:${r.name}`;
  return {
    name: r.name, title: typeof r.title === 'string' && r.title !== '' ? r.title : r.name,
    keepsRecords: r.history !== false || r.archive !== false,
    key, session: newSession(key),
    unread: 0, unreadMentions: 0, ended: null, left: false,
  };
});
export const manyRooms = rooms.length > 1;
export const roomNamed = (name) => rooms.find((r) => r.name === name);

export let room = rooms[0];
export let session = room.session;
export let shownRoom = room;

const hooks = [];
// `hook(room)` runs whenever the room handled changes, for a module to
// take up that room's state.
export function onRoom(hook) {
  hooks.push(hook);
  hook(room);
}

function use(r) {
  if (r === room) return;
  room = r;
  session = r.session;
  for (const hook of hooks) hook(r);
}

// `fn` with room `r` as the one handled, then the one before again.
export function inRoom(r, fn) {
  const before = room;
  use(r);
  try {
    return fn();
  } finally {
    use(before);
  }
}

// The room shown becomes `r`; the caller redraws what is around the log.
export function setShownRoom(r) {
  shownRoom = r;
  use(r);
}

export const isShown = () => room === shownRoom;

const changeHooks = [];
// `hook()` runs when what a room's link shows changes: its count, its
// state, whether it is joined.
export function onChange(hook) {
  changeHooks.push(hook);
}

export function noteChange() {
  for (const hook of changeHooks) hook();
}

// A timer whose function runs in the room it was set in.
export function later(fn, ms) {
  const r = room;
  return setTimeout(() => inRoom(r, fn), ms);
}

// The session as the tab keeps it, with the last event seen; null forgets it.
export function saveResume(resume) {
  save(`chat-resume${room.key}`, resume);
}

// Whether the socket is open for messages.
export function socketOpen() {
  return !!tab.socket && tab.socket.readyState === WebSocket.OPEN;
}

// Sends a message for the room handled now.
export function sendNow(message) {
  tab.socket.send(JSON.stringify({ ...message, room: room.name }));
}
