// The chat page: logs in through the gateway's WebSocket, shows what the
// chat server sends, and keeps what it showed across a reload of the tab.
'use strict';

const $ = (id) => document.getElementById(id);
const log = $('log');
const loginForm = $('login');
const nameInput = $('name');
const colourInput = $('colour');
const compose = $('compose');
const messageInput = $('message');
const left = $('left');
const stateKey = 'chat-shown';
const shownLimit = 400;

let socket = null;
let loggedIn = false;
let bodyMax = 0;
let composing = false;
let unread = 0;
let shown = loadShown();

// ---- Shift_JIS byte counts, a guide for the counter and the name check:
// ASCII and half-width katakana take one byte, everything else two.
function sjisBytes(text) {
  let n = 0;
  for (const ch of text) {
    const c = ch.codePointAt(0);
    n += c < 0x80 || (c >= 0xff61 && c <= 0xff9f) ? 1 : 2;
  }
  return n;
}

function nameProblem(name) {
  if (name === '') return 'Type a name.';
  if (/\s/.test(name)) return 'No spaces in a name.';
  const n = sjisBytes(name);
  if (n > 30) return `Too long: ${n} of 30 bytes.`;
  return '';
}

// ---- colours: keep the sender's hue, move the lightness so that the name
// stays readable on the light and on the dark background.
function hsl(rgb) {
  const [r, g, b] = rgb.map((v) => Math.min(255, Math.max(0, v)) / 255);
  const max = Math.max(r, g, b), min = Math.min(r, g, b);
  const l = (max + min) / 2;
  let h = 0, s = 0;
  if (max !== min) {
    const d = max - min;
    s = l > 0.5 ? d / (2 - max - min) : d / (max + min);
    if (max === r) h = (g - b) / d + (g < b ? 6 : 0);
    else if (max === g) h = (b - r) / d + 2;
    else h = (r - g) / d + 4;
    h *= 60;
  }
  return [Math.round(h), Math.round(s * 100), Math.round(l * 100)];
}

function paintSender(span, rgb) {
  const [h, s, l] = hsl(rgb);
  span.style.setProperty('--sender-light', `hsl(${h} ${s}% ${Math.min(l, 38)}%)`);
  span.style.setProperty('--sender-dark', `hsl(${h} ${s}% ${Math.max(l, 68)}%)`);
}

// ---- what the page has shown, kept for a reload of the tab
function loadShown() {
  try {
    const items = JSON.parse(sessionStorage.getItem(stateKey) || '[]');
    return Array.isArray(items) ? items : [];
  } catch (e) {
    return [];
  }
}

function keep(item) {
  shown.push(item);
  if (shown.length > shownLimit) shown = shown.slice(-shownLimit);
  try {
    sessionStorage.setItem(stateKey, JSON.stringify(shown));
  } catch (e) {
    // storage full or off: the page still works, it just forgets
  }
}

function timeOf(ms) {
  const t = document.createElement('time');
  const d = new Date(ms);
  t.dateTime = d.toISOString();
  t.textContent = d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
  return t;
}

function atBottom() {
  return log.scrollHeight - log.scrollTop - log.clientHeight < 40;
}

function append(node) {
  const follow = atBottom();
  log.append(node);
  if (follow) log.scrollTop = log.scrollHeight;
}

// Text from the wire goes in with textContent only, never as markup.
function render(item) {
  const row = document.createElement('div');
  row.append(timeOf(item.at));
  if (item.kind === 'record') {
    row.className = 'record' + (item.notice ? ' notice' : '') + (item.earlier ? ' earlier' : '');
    const sender = document.createElement('span');
    sender.className = 'sender';
    sender.textContent = item.sender;
    paintSender(sender, item.colour);
    const text = document.createElement('span');
    text.className = 'text';
    text.textContent = item.text;
    row.append(sender, text);
  } else {
    row.className = 'error ' + item.kind;
    row.setAttribute('role', 'alert');
    const text = document.createElement('span');
    text.className = 'text';
    text.textContent = item.text;
    row.append(text);
  }
  append(row);
}

function show(item) {
  keep(item);
  render(item);
}

function showError(kind, text) {
  show({ kind, text, at: Date.now() });
}

// ---- state
function setLoggedIn(on, status) {
  loggedIn = on;
  loginForm.hidden = on;
  compose.hidden = !on;
  $('reload').hidden = !on;
  $('logout').hidden = !on;
  $('status').textContent = status;
  (on ? messageInput : nameInput).focus();
  updateLeft();
}

function offerLogin(text) {
  setLoggedIn(false, text);
  $('login-button').textContent = 'Log in again';
}

// ---- messages from the gateway
function received(message) {
  switch (message.type) {
    case 'record':
      show({
        kind: 'record', colour: message.colour, sender: message.sender, text: message.text,
        notice: message.notice, earlier: message.earlier,
        at: message.earlier && message.stamp ? message.stamp * 1000 : Date.now(),
      });
      if (!message.earlier) noticeArrival(message);
      break;
    case 'error':
    case 'gateway':
      showError(message.type, message.text);
      break;
    case 'state':
      bodyMax = message.body_max;
      setLoggedIn(true, `Logged in as ${message.name}`);
      break;
    case 'ended':
      if (message.reason !== 'logout') showError('gateway', message.text);
      closeSocket();
      offerLogin(message.reason === 'logout' ? 'Logged out' : message.text);
      break;
    default:
      break;
  }
}

function noticeArrival(message) {
  if (!document.hidden) return;
  unread += 1;
  document.title = `(${unread}) Chat`;
  if ($('notify').checked && window.Notification && Notification.permission === 'granted') {
    new Notification(message.notice ? 'Chat' : message.sender, { body: message.text, tag: 'chat' });
  }
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden) {
    unread = 0;
    document.title = 'Chat';
  }
});

// ---- the WebSocket: opened when the user logs in, never reopened by itself
function closeSocket() {
  if (socket) {
    const s = socket;
    socket = null;
    s.onclose = null;
    s.close();
  }
}

function openSocket(then) {
  const s = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  socket = s;
  s.onopen = then;
  // Each message is an array of events, in order.
  s.onmessage = (e) => {
    let events = [];
    try {
      events = JSON.parse(e.data);
    } catch (err) {
      // a message the page does not know: ignore it
    }
    if (!Array.isArray(events)) return;
    for (const event of events) {
      try {
        received(event);
      } catch (err) {
        // an event the page does not know: ignore it
      }
    }
  };
  s.onclose = (e) => {
    if (socket !== s) return;
    socket = null;
    let text = 'The connection to the gateway was lost.';
    if (e.code === 1008) text = 'The gateway closed this session: too many messages.';
    if (e.code === 1009) text = 'The gateway closed this session: a message was too large.';
    showError('gateway', text);
    offerLogin(text);
  };
}

function sendJson(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function colourTriple() {
  const v = colourInput.value;
  return [1, 3, 5].map((i) => parseInt(v.slice(i, i + 2), 16));
}

// ---- log in, post, reload, log out
function checkName() {
  const problem = nameProblem(nameInput.value);
  $('name-hint').textContent = problem || 'At most 30 bytes in Shift_JIS, no spaces.';
  $('name-hint').classList.toggle('bad', problem !== '');
  nameInput.setAttribute('aria-invalid', problem ? 'true' : 'false');
  return problem === '';
}

nameInput.addEventListener('input', checkName);
loginForm.addEventListener('submit', (e) => {
  e.preventDefault();
  if (!checkName()) return;
  localStorage.setItem('chat-name', nameInput.value);
  localStorage.setItem('chat-colour', colourInput.value);
  const login = { type: 'login', name: nameInput.value, colour: colourTriple() };
  closeSocket();
  $('status').textContent = 'Logging in…';
  openSocket(() => sendJson(login));
});

function post() {
  const text = messageInput.value;
  if (text === '' || !loggedIn) return;
  sendJson({ type: 'send', text });
  messageInput.value = '';
  updateLeft();
}

function updateLeft() {
  if (!loggedIn || !bodyMax) {
    left.textContent = '';
    return;
  }
  const used = sjisBytes(messageInput.value);
  const posts = Math.max(1, Math.ceil(used / bodyMax));
  const room = posts * bodyMax - used;
  left.textContent = posts > 1 ? `${room} bytes left; goes out as ${posts} posts` : `${room} bytes left`;
}

// Enter sends, except while an input method is composing: then it only
// confirms the composition. Browsers that end the composition before the
// Enter's keydown mark that keydown with keyCode 229.
compose.addEventListener('compositionstart', () => { composing = true; });
compose.addEventListener('compositionend', () => { composing = false; });
function isComposing(e) {
  return e.isComposing || e.keyCode === 229 || composing;
}
messageInput.addEventListener('keydown', (e) => {
  if (e.key !== 'Enter') return;
  e.preventDefault();
  if (!isComposing(e)) post();
});
nameInput.addEventListener('compositionstart', () => { composing = true; });
nameInput.addEventListener('compositionend', () => { composing = false; });
nameInput.addEventListener('keydown', (e) => {
  if (e.key === 'Enter' && isComposing(e)) e.preventDefault();
});
messageInput.addEventListener('input', updateLeft);
$('send').addEventListener('click', post);
$('reload').addEventListener('click', () => sendJson({ type: 'reload' }));
$('logout').addEventListener('click', () => sendJson({ type: 'logout' }));

// Notifications only where the browser allows them (a secure context).
if (window.Notification && window.isSecureContext) {
  $('notify-label').hidden = false;
  $('notify').addEventListener('change', async (e) => {
    if (e.target.checked && Notification.permission !== 'granted') {
      e.target.checked = (await Notification.requestPermission()) === 'granted';
    }
  });
}

// ---- start: what was shown before the reload, then the login form
for (const item of shown) render(item);
if (shown.length) {
  const line = document.createElement('div');
  line.className = 'separator';
  line.textContent = 'Reloaded: log in to go on';
  append(line);
}
nameInput.value = localStorage.getItem('chat-name') || '';
colourInput.value = localStorage.getItem('chat-colour') || colourInput.value;
setLoggedIn(false, 'Not logged in');
log.scrollTop = log.scrollHeight;
