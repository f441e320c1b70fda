// The page's WebSocket to the gateway (web/page_wire.hpp says what goes
// over it): logging in, the events that come back, and taking the session
// up again after a reload or a lost connection while the gateway keeps it.
// A message without a room is for the gateway's one room.
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
  hideIdle, nameRefused, noSignedInName, setComposing, setStatus, showIdle, showSignedInName,
} from './screen.js';
import { saveResume, session, socketOpen } from './state.js';
import { reasonText, t } from './texts.js';

// After a lost connection: when to try to take the session up again, in
// ms after the loss; after a reload the first try is at once.
const retriesAfterDrop = [1000, 5000];
const retriesAfterReload = [0, 1000, 5000];

// After the chat server went away (a restart): how long to wait before
// each try at logging in again; the last wait repeats while the tab is open.
const comebackWaits = [1000, 2000, 5000, 10000, 30000];
// The ends after which the server may come back.
const serverGone = new Set(['stopped', 'lost', 'unreachable', 'full']);

let retryTimer = 0;
// A socket opened before the login, to learn the signed-in name, which
// the login then goes over.
let waitingSocket = false;
let retries = [];
let droppedAt = 0;
// While waiting for the server: { login, name, tries }, the login to send again.
let comeback = null;

export function closeSocket() {
  if (session.socket) {
    const s = session.socket;
    session.socket = null;
    s.onclose = null;
    s.close();
  }
}

// A new socket, whose first message is `first()` (none without it).
function openSocket(first) {
  closeSocket();
  const s = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  session.socket = s;
  newWindow();  // a new socket starts with a rate window of its own
  s.onopen = () => {
    const message = first && first();
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
export function logIn(login, name, again = false) {
  forgetSession();
  dropBeforeLogin();
  if (!again) comeback = null;
  session.lastLogin = login;
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

// With --show-before-login the gateway sends the history's records on a
// socket opened for them, before anyone logs in.
export function openBeforeLogin() {
  openSocket(null);
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
  comeback = null;
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
      if (waitingSocket && session.signedInName === null) noSignedInName();
      waitingSocket = false;
      closeSocket();
      if (serverGone.has(message.reason) && (session.phase === 'in' || comeback)) {
        waitForServer(message.reason);
        break;
      }
      if (message.reason !== 'logout') showError('gateway', reasonText(message));
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
  archiveHello(message);
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
  comeback = null;
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
  comeback = null;
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
  } else if (comeback) {
    waitForServer('lost');  // the gateway is away too
  } else if (session.phase === 'out') {
    // the socket that showed the history before the login: nothing to say
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
    if (session.lastLogin) {
      waitForServer('lost');  // the session is gone: a new login when the gateway is back
      return;
    }
    showError('gateway', t('lost'));
    offerLogin(t('lost'));
    return;
  }
  clearTimeout(retryTimer);
  retryTimer = setTimeout(() => {
    openSocket(() => ({ type: 'resume', token: session.resume.token, after: session.lastSeq }));
  }, Math.max(0, at - Date.now()));
}

// The chat server went away with the session: the page says so once, and
// logs in again by itself with the same name and colour, after each wait
// in turn. What was sent and not confirmed is marked; what waits to be
// sent stays, and goes once logged in again.
function waitForServer(reason) {
  if (!comeback) {
    showError('gateway', reasonText({ reason }));
    comeback = { login: session.lastLogin, name: session.resume?.name, tries: 0 };
  }
  clearTimeout(retryTimer);
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
  document.getElementById('login-button').textContent = t('logInAgain');
  retryTimer = setTimeout(() => {
    setStatus(t('loggingInAgain'));
    logIn(comeback.login, comeback.name, true);
  }, wait);
}
