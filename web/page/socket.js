// The page's WebSocket to the gateway (web/page_wire.hpp says what goes
// over it): one for the tab, whatever rooms it is in. Each room's session
// logs in, gets its events (routed by their room) and is taken up again
// after a reload or a lost connection while the gateway keeps it; a room
// whose chat server went away logs in again by itself when it is back.
// An event without a room is for the first room.
import { answered, archiveHello, askForMissed, askRefused, placed } from './archive.js';
import { clearPeople } from './people.js';
import {
  dropBeforeLogin, markMeanwhile, noticeArrival, show, showBeforeLogin, showError, showRecord,
} from './log.js';
import {
  giveUpOutbox, giveUpSent, markUnsure, newWindow, ownRecord, pump, refused, renderOutgoing, sendAgainAfter, stopSending,
  transmit,
} from './outbox.js';
import {
  hideIdle, nameRefused, noSignedInName, setComposing, setLoginLabel, setStatus, showIdle, showSignedInName,
} from './screen.js';
import {
  inRoom, later, noteChange, room, roomNamed, rooms, saveResume, session, shownRoom, socketOpen, tab,
} from './state.js';
import { reasonText, t } from './texts.js';

// After a lost connection: when to try to take the sessions up again, in
// ms after the loss; after a reload the first try is at once.
const retriesAfterDrop = [1000, 5000];
const retriesAfterReload = [0, 1000, 5000];

// After the chat server went away (a restart): how long to wait before
// each try at logging in again; the last wait repeats while the tab is open.
const comebackWaits = [1000, 2000, 5000, 10000, 30000];
// The ends after which the server may come back.
const serverGone = new Set(['stopped', 'lost', 'unreachable', 'full']);
// The phases in which a room's session lives on the socket.
const live = new Set(['login', 'in', 'resuming', 'leaving']);

let retryTimer = 0;
// A socket opened before the login, to learn the signed-in name, which
// the login then goes over.
let waitingSocket = false;
let retries = [];
let droppedAt = 0;
// Messages for when the socket opens: [room, message].
let pending = [];
// Per room, while waiting for its server: { login, name, tries, timer },
// the login to send again.
for (const r of rooms) r.comeback = null;

export function closeSocket() {
  pending = [];
  if (tab.socket) {
    const s = tab.socket;
    tab.socket = null;
    s.onclose = null;
    s.close();
  }
}

// No room lives on the socket any more: it closes.
export function closeIfUnused() {
  if (!rooms.some((r) => live.has(r.session.phase))) closeSocket();
}

// A new socket; what waits in `pending` goes once it is open.
function openSocket() {
  const waiting = pending;
  closeSocket();
  pending = waiting;
  const s = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  tab.socket = s;
  for (const r of rooms) inRoom(r, () => newWindow());  // a new socket starts with rate windows of its own
  s.onopen = () => {
    const first = pending;
    pending = [];
    for (const [r, message] of first) inRoom(r, () => transmit(message));
  };
  // Each message is an array of events, in order.
  s.onmessage = (e) => {
    if (tab.socket !== s) return;
    let events = [];
    try {
      events = JSON.parse(e.data);
    } catch (err) {
      // a message the page does not know: ignore it
    }
    if (!Array.isArray(events)) return;
    for (const event of events) routed(event);
  };
  s.onclose = (e) => {
    if (tab.socket !== s) return;
    tab.socket = null;
    closed(e.code);
  };
}

// An event in its room; one for a room the page does not have is said in
// the room shown.
function routed(event) {
  const r = typeof event.room === 'string' ? roomNamed(event.room) : rooms[0];
  if (!r) {
    if (event.type === 'gateway') inRoom(shownRoom, () => showError('gateway', reasonText(event)));
    return;
  }
  inRoom(r, () => {
    if (typeof event.seq === 'number' && event.seq > session.lastSeq) session.lastSeq = event.seq;
    try {
      received(event);
    } catch (err) {
      // an event the page does not know: ignore it
    }
    if (session.resume && session.phase !== 'out') saveResume({ ...session.resume, seq: session.lastSeq });
  });
}

// Sends a message of the room handled now, opening the socket if needed.
function whenOpen(message) {
  if (socketOpen()) {
    transmit(message);
    return;
  }
  pending.push([room, message]);
  if (!tab.socket) openSocket();
}

// Logs in to the room handled now with the login message; `name` is what
// the user typed, until the gateway says the name as the server has it.
export function logIn(login, name, again = false) {
  forgetSession();
  dropBeforeLogin();
  if (!again) stopComeback();
  session.lastLogin = login;
  session.resume = { name };
  session.phase = 'login';
  session.lastSeq = 0;
  room.left = false;
  noteChange();
  if (waitingSocket && socketOpen()) {
    waitingSocket = false;
    newWindow();
  }
  waitingSocket = false;
  whenOpen(login);
}

// Behind a sign-in proxy: a socket whose first hello gives the name.
export function askSignedInName() {
  waitingSocket = true;
  openSocket();
}

// The tab holds sessions' tokens from before a reload: each is taken up
// again, at once and then as after a lost connection.
export function resumeAfterReload() {
  for (const r of rooms) {
    inRoom(r, () => {
      if (!session.resume?.token) return;
      session.phase = 'resuming';
      session.lastSeq = session.resume.seq || 0;
      session.limits.resume_seconds = Infinity;  // the gateway's hello says; until then, try
      setComposing(true);
      setStatus(t('resuming'));
      renderOutgoing();
    });
  }
  droppedAt = Date.now();
  retries = [...retriesAfterReload];
  retry();
}

// With --show-before-login the gateway sends the history's records on a
// socket opened for them, before anyone logs in.
export function openBeforeLogin() {
  openSocket();
}

export function forgetSession() {
  session.resume = null;
  saveResume(null);
  stopSending();
  hideIdle();
}

export function stopComeback() {
  if (room.comeback) clearTimeout(room.comeback.timer);
  room.comeback = null;
}

// The session is over: the login form again, with `text` in the status.
export function offerLogin(text) {
  session.phase = 'out';
  stopComeback();
  giveUpOutbox();
  forgetSession();
  setComposing(false);
  setStatus(text);
  setLoginLabel(room.left ? 'join' : 'logInAgain');
  noteChange();
}

function received(message) {
  switch (message.type) {
    case 'hello':
      hello(message);
      break;
    case 'record':
      if (message.before_login) {
        if (session.phase === 'out') showBeforeLogin(message);
        break;
      }
      showRecord(message);
      if (message.own && message.id !== undefined) ownRecord(message);
      if (!message.earlier) noticeArrival(message);
      break;
    case 'error':
      showError('error', message.text);  // the server's own words
      if (message.reason === 'busy') markUnsure();
      if (message.reason === 'stopped') clearPeople();  // nobody is logged in any more
      break;
    case 'gateway':
      if (session.phase === 'login') {
        loginRefused(reasonText(message));
        break;
      }
      // A post the gateway holds no room for waits in the page, unremarked.
      if (message.reason !== 'backlog') showError('gateway', reasonText(message));
      if (typeof message.id === 'number') refused(message.id, message.reason);
      if (typeof message.id === 'number') askRefused(message.id);
      break;
    case 'missed':
      show({ kind: 'separator', text: reasonText(message) });
      askForMissed();
      break;
    case 'archive':
      answered(message);
      break;
    case 'placed':
      placed(message);
      break;
    case 'state':
      loggedIn(message);
      break;
    case 'idle':
      showIdle(message);
      break;
    case 'ended':
      ended(message);
      break;
    default:
      break;
  }
}

// The limits to keep; once logged in, the token for taking the session up
// again, and on a resumed session what is used of the rate window.
function hello(message) {
  const { limits } = session;
  for (const key of Object.keys(limits)) {
    if (typeof message[key] === 'number') limits[key] = message[key];
  }
  archiveHello(message);
  if (message.token) session.resume = { ...session.resume, token: message.token };
  if (typeof message.name === 'string') {
    tab.signedInName = message.name;
    showSignedInName(message.name);
  }
  if (Array.isArray(message.rate_used)) newWindow(message.rate_used);
  if (message.resumed) {
    markMeanwhile(true);
    sendAgainAfter(typeof message.last_id === 'number' ? message.last_id : 0);
  }
}

// Logged in, or taken up again: the name and colour as the server has them.
function loggedIn(message) {
  session.bodyMax = message.body_max;
  session.phase = 'in';
  room.ended = null;
  stopComeback();
  markMeanwhile(false);
  if (session.resume) {
    session.resume.name = message.name;
    if (Array.isArray(message.colour)) session.resume.colour = message.colour;
  }
  setComposing(true);
  setStatus(t('loggedInAs', message.name));
  renderOutgoing();
  pump();
  noteChange();
}

// The room's session ended: the page waits for a server that went away,
// else offers the login. The link keeps why, for the room list.
function ended(message) {
  if (waitingSocket && tab.signedInName === null) noSignedInName();
  waitingSocket = false;
  if (serverGone.has(message.reason)) room.ended = message.reason;
  const wasIn = session.phase === 'in';
  session.phase = 'out';
  closeIfUnused();
  if (serverGone.has(message.reason) && (wasIn || room.comeback)) {
    waitForServer(message.reason);
    return;
  }
  if (message.reason !== 'logout') showError('gateway', reasonText(message));
  offerLogin(message.reason !== 'logout' ? reasonText(message) : room.left ? t('leftRoom') : t('loggedOut'));
}

// The gateway refused the login: the form stays, with the reason by the name.
function loginRefused(text) {
  stopComeback();
  session.phase = 'out';
  session.resume = null;
  closeIfUnused();
  setStatus(t('notLoggedIn'));
  nameRefused(text);
  noteChange();
}

// The socket closed without an ended event. The gateway closes on purpose
// only when it drops the sessions; anything else is a lost connection,
// after which the logged-in rooms try to take their sessions up again.
function closed(code) {
  let dropped = false;
  for (const r of rooms) inRoom(r, () => { dropped = roomClosed(code) || dropped; });
  if (dropped) {
    droppedAt = Date.now();
    retries = [...retriesAfterDrop];
  }
  if (rooms.some((r) => r.session.phase === 'resuming')) retry();
}

// The socket closed, for the room handled: true when its session was in
// and is to be taken up again.
function roomClosed(code) {
  const { phase } = session;
  if (code === 1008 || code === 1009 || code === 1003) {
    if (phase === 'out' && !room.comeback) return false;
    const text = code === 1008 ? t('closedRate') : code === 1009 ? t('closedSize') : t('lost');
    showError('gateway', text);
    offerLogin(text);
  } else if (phase === 'in' && session.resume?.token) {
    session.phase = 'resuming';
    setStatus(t('reconnecting'));
    return true;
  } else if (phase === 'resuming') {
    // the next try
  } else if (room.comeback) {
    if (phase !== 'waiting') waitForServer('lost');  // the gateway is away too
  } else if (phase !== 'out') {
    showError('gateway', t('lost'));
    offerLogin(t('lost'));
  }
  return false;
}

// The next try at taking the sessions up again, while the gateway still
// keeps them: one resume per room on a new socket, at once. A room whose
// time is up logs in again when the gateway is back, or offers the login.
function retry() {
  const next = retries.shift();
  const at = droppedAt + (next ?? 0);
  for (const r of rooms) {
    inRoom(r, () => {
      if (session.phase !== 'resuming') return;
      if (next !== undefined && at - droppedAt < session.limits.resume_seconds * 1000) return;
      if (session.lastLogin) {
        waitForServer('lost');  // the session is gone: a new login when the gateway is back
        return;
      }
      showError('gateway', t('lost'));
      offerLogin(t('lost'));
    });
  }
  const resuming = rooms.filter((r) => r.session.phase === 'resuming');
  if (resuming.length === 0) return;
  clearTimeout(retryTimer);
  retryTimer = setTimeout(() => {
    openSocket();
    for (const r of resuming) {
      const { token } = r.session.resume;
      pending.push([r, { type: 'resume', token, after: r.session.lastSeq }]);
    }
  }, Math.max(0, at - Date.now()));
}

// The room's chat server went away with the session: the page says so
// once, and logs in again by itself with the same name and colour, after
// each wait in turn. What was sent and not confirmed is marked; what waits
// to be sent stays, and goes once logged in again.
function waitForServer(reason) {
  if (!room.comeback) {
    showError('gateway', reasonText({ reason }));
    room.comeback = { login: session.lastLogin, name: session.resume?.name, tries: 0, timer: 0 };
  }
  const { comeback } = room;
  clearTimeout(comeback.timer);
  stopSending();
  giveUpSent();
  hideIdle();
  session.phase = 'waiting';
  session.resume = null;
  saveResume(null);
  setComposing(false);
  const wait = comebackWaits[Math.min(comeback.tries, comebackWaits.length - 1)];
  comeback.tries += 1;
  setStatus(t('waitingForServer', Date.now() + wait));  // when, in ms since the Epoch
  setLoginLabel('logInAgain');
  noteChange();
  comeback.timer = later(() => {
    setStatus(t('loggingInAgain'));
    logIn(comeback.login, comeback.name, true);
  }, wait);
}
