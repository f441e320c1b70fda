// The page's WebSocket to the gateway (web/page_wire.hpp says what goes
// over it): logging in, the events that come back, and taking the session
// up again after a reload or a lost connection while the gateway keeps it.
// A message without a room is for the gateway's one room.
import { markMeanwhile, noticeArrival, show, showError, showRecord } from './log.js';
import {
  giveUpOutbox, markUnsure, newWindow, ownRecord, pump, refused, renderOutgoing, sendAgainAfter, stopSending, transmit,
} from './outbox.js';
import {
  hideIdle, nameRefused, noSignedInName, setComposing, setStatus, showIdle, showSignedInName,
} from './screen.js';
import { saveResume, session, socketOpen } from './state.js';
import { reasonText, t } from './texts.js';

// After a lost connection: when to try to take the session up again, in
// ms after the loss; after a reload the first try is at once.
const retriesAfterDrop = [1000, 5000];
const retriesAfterReload = [0, 1000, 5000];

let retryTimer = 0;
// A socket opened before the login, to learn the signed-in name, which
// the login then goes over.
let waitingSocket = false;
let retries = [];
let droppedAt = 0;

export function closeSocket() {
  if (session.socket) {
    const s = session.socket;
    session.socket = null;
    s.onclose = null;
    s.close();
  }
}

// A new socket, whose first message is `first()`.
function openSocket(first) {
  closeSocket();
  const s = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  session.socket = s;
  newWindow();  // a new socket starts with a rate window of its own
  s.onopen = () => {
    const message = first();
    if (message) transmit(message);
  };
  // Each message is an array of events, in order.
  s.onmessage = (e) => {
    if (session.socket !== s) return;
    let events = [];
    try {
      events = JSON.parse(e.data);
    } catch (err) {
      // a message the page does not know: ignore it
    }
    if (!Array.isArray(events)) return;
    for (const event of events) {
      if (typeof event.seq === 'number' && event.seq > session.lastSeq) session.lastSeq = event.seq;
      try {
        received(event);
      } catch (err) {
        // an event the page does not know: ignore it
      }
    }
    if (session.resume && session.phase !== 'out') saveResume({ ...session.resume, seq: session.lastSeq });
  };
  s.onclose = (e) => {
    if (session.socket !== s) return;
    session.socket = null;
    closed(e.code);
  };
}

// Logs in on a new socket with the login message; `name` is what the
// user typed, until the gateway says the name as the server has it.
export function logIn(login, name) {
  forgetSession();
  session.resume = { name };
  session.phase = 'login';
  session.lastSeq = 0;
  if (waitingSocket && socketOpen()) {
    waitingSocket = false;
    newWindow();
    transmit(login);
    return;
  }
  waitingSocket = false;
  openSocket(() => login);
}

// Behind a sign-in proxy: a socket whose first hello gives the name.
export function askSignedInName() {
  waitingSocket = true;
  openSocket(() => null);
}

// The tab holds a session's token from before a reload: it is taken up
// again, at once and then as after a lost connection.
export function resumeAfterReload() {
  session.phase = 'resuming';
  session.lastSeq = session.resume.seq || 0;
  droppedAt = Date.now();
  retries = [...retriesAfterReload];
  session.limits.resume_seconds = Infinity;  // the gateway's hello says; until then, try
  retry();
}

export function forgetSession() {
  session.resume = null;
  saveResume(null);
  clearTimeout(retryTimer);
  stopSending();
  hideIdle();
}

// The session is over: the login form again, with `text` in the status.
export function offerLogin(text) {
  session.phase = 'out';
  giveUpOutbox();
  forgetSession();
  setComposing(false);
  setStatus(text);
  document.getElementById('login-button').textContent = t('logInAgain');
}

function received(message) {
  switch (message.type) {
    case 'hello':
      hello(message);
      break;
    case 'record':
      showRecord(message);
      if (message.own && message.id !== undefined) ownRecord(message);
      if (!message.earlier) noticeArrival(message);
      break;
    case 'error':
      showError('error', message.text);  // the server's own words
      if (message.reason === 'busy') markUnsure();
      break;
    case 'gateway':
      if (session.phase === 'login') {
        loginRefused(reasonText(message));
        break;
      }
      showError('gateway', reasonText(message));
      if (typeof message.id === 'number') refused(message.id);
      break;
    case 'missed':
      show({ kind: 'separator', text: reasonText(message) });
      break;
    case 'state':
      loggedIn(message);
      break;
    case 'idle':
      showIdle(message);
      break;
    case 'ended':
      if (message.reason !== 'logout') showError('gateway', reasonText(message));
      if (waitingSocket && session.signedInName === null) noSignedInName();
      waitingSocket = false;
      closeSocket();
      offerLogin(message.reason === 'logout' ? t('loggedOut') : reasonText(message));
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
  if (message.token) session.resume = { ...session.resume, token: message.token };
  if (typeof message.name === 'string') {
    session.signedInName = message.name;
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
  markMeanwhile(false);
  clearTimeout(retryTimer);
  if (session.resume) {
    session.resume.name = message.name;
    if (Array.isArray(message.colour)) session.resume.colour = message.colour;
  }
  setComposing(true);
  setStatus(t('loggedInAs', message.name));
  renderOutgoing();
  pump();
}

// The gateway refused the login: the form stays, with the reason by the name.
function loginRefused(text) {
  closeSocket();
  session.phase = 'out';
  session.resume = null;
  setStatus(t('notLoggedIn'));
  nameRefused(text);
}

// The socket closed without an ended event. The gateway closes on purpose
// only when it drops the session; anything else is a lost connection,
// after which a logged-in page tries to take its session up again.
function closed(code) {
  if (code === 1008 || code === 1009 || code === 1003) {
    const text = code === 1008 ? t('closedRate') : code === 1009 ? t('closedSize') : t('lost');
    showError('gateway', text);
    offerLogin(text);
  } else if (session.phase === 'in' && session.resume?.token) {
    session.phase = 'resuming';
    droppedAt = Date.now();
    retries = [...retriesAfterDrop];
    setStatus(t('reconnecting'));
    retry();
  } else if (session.phase === 'resuming') {
    retry();
  } else {
    showError('gateway', t('lost'));
    offerLogin(t('lost'));
  }
}

// The next try at taking the session up again, while the gateway still
// keeps it; after the last one, the login form.
function retry() {
  const next = retries.shift();
  const at = droppedAt + (next ?? 0);
  if (next === undefined || at - droppedAt >= session.limits.resume_seconds * 1000) {
    showError('gateway', t('lost'));
    offerLogin(t('lost'));
    return;
  }
  clearTimeout(retryTimer);
  retryTimer = setTimeout(() => {
    openSocket(() => ({ type: 'resume', token: session.resume.token, after: session.lastSeq }));
  }, Math.max(0, at - Date.now()));
}
