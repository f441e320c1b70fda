// The chat page's start: its texts in the browser's language, what was
// shown before a reload, then the session taken up again if the tab holds
// its token, else the login form; and what the user does on it: log in,
// post, reload, log out.
import { colourOf } from './colours.js';
import { chatTitle, log, scrollToEnd, showForNow, showKept, startAgain, toBottom } from './log.js';
import { giveUpOutbox, pump, queue, renderOutgoing, sendControl, sendSize } from './outbox.js';
import {
  checkName, compose, hideIdle, loginForm, messageInput, nameInput, refuse, setComposing, setStatus, showSignedInName,
  updateLeft,
} from './screen.js';
import { askSignedInName, closeSocket, logIn, offerLogin, resumeAfterReload } from './socket.js';
import { session, socketOpen } from './state.js';
import { language, t } from './texts.js';

const $ = (id) => document.getElementById(id);
const colourInput = $('colour');
const autoColour = $('auto-colour');
let composing = false;
// The gateway takes the name from a sign-in proxy: no name is typed.
const signInByProxy = document.querySelector('meta[name=chat-sign-in]')?.content === 'proxy';

nameInput.addEventListener('input', checkName);
loginForm.addEventListener('submit', (e) => {
  e.preventDefault();
  const colour = autoColour.checked ? 'auto' : colourOf(colourInput.value);
  localStorage.setItem('chat-colour', colourInput.value);
  localStorage.setItem('chat-auto-colour', autoColour.checked ? '1' : '0');
  if (signInByProxy) {
    if (session.signedInName === null) {
      showSignedInName(null);
      askSignedInName();
      return;
    }
    startAgain();
    setStatus(t('loggingIn'));
    logIn({ type: 'login', colour }, session.signedInName);
    return;
  }
  if (!checkName()) return;
  localStorage.setItem('chat-name', nameInput.value);
  // The automatic colour is the gateway's to derive, from the name as it
  // goes on the wire; its state message says which it is.
  const login = { type: 'login', name: nameInput.value, colour };
  startAgain();
  setStatus(t('loggingIn'));
  logIn(login, nameInput.value);
});

function post() {
  const text = messageInput.value;
  if (text === '' || (session.phase !== 'in' && session.phase !== 'resuming')) return;
  if (text.trim() === '') {
    refuse(t('blank'));
    return;
  }
  const size = sendSize(text);
  if (size > session.limits.message_max) {
    refuse(t('tooLong', size, session.limits.message_max));
    return;
  }
  queue(text);
  messageInput.value = '';
  hideIdle();
  updateLeft();
  toBottom();  // what the user sends is where the user looks
  pump();
}

function control(message) {
  hideIdle();
  sendControl(message);
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
$('send').addEventListener('click', () => {
  post();
  messageInput.focus();
});
document.querySelector('.new-messages').addEventListener('click', () => {
  toBottom();
  (compose.hidden ? log : messageInput).focus();
});
autoColour.addEventListener('change', () => { colourInput.disabled = autoColour.checked; });
$('reload').addEventListener('click', () => control({ type: 'reload' }));
$('still-here').addEventListener('click', () => control({ type: 'reload' }));
// A logout goes at once, past the queue; the gateway lets it through.
$('logout').addEventListener('click', () => {
  if (session.phase !== 'in' || !socketOpen()) {
    closeSocket();
    offerLogin(t('loggedOut'));
    return;
  }
  session.phase = 'leaving';  // nothing more is sent; what waits is marked not sent
  session.socket.send(JSON.stringify({ type: 'logout' }));
});

// Notifications only where the browser allows them (a secure context).
if (window.Notification && window.isSecureContext) {
  $('notify-label').hidden = false;
  $('notify').addEventListener('change', async (e) => {
    if (e.target.checked && Notification.permission !== 'granted') {
      e.target.checked = (await Notification.requestPermission()) === 'granted';
    }
  });
}

document.documentElement.lang = language;
for (const el of document.querySelectorAll('[data-text]')) el.textContent = t(el.dataset.text);
for (const el of document.querySelectorAll('[data-text-title]')) el.title = t(el.dataset.textTitle);
for (const el of document.querySelectorAll('[data-text-label]')) el.setAttribute('aria-label', t(el.dataset.textLabel));
for (const el of document.querySelectorAll('[data-text-placeholder]')) el.placeholder = t(el.dataset.textPlaceholder);
$('title').textContent = chatTitle;
document.title = chatTitle;
$('about').textContent = t('about', location.hostname);
const showedBefore = showKept();
nameInput.value = localStorage.getItem('chat-name') || '';
colourInput.value = localStorage.getItem('chat-colour') || colourInput.value;
autoColour.checked = localStorage.getItem('chat-auto-colour') !== '0';
colourInput.disabled = autoColour.checked;
if (signInByProxy) showSignedInName(session.signedInName);
if (session.resume?.token) {
  resumeAfterReload();
  setComposing(true);
  setStatus(t('resuming'));
  renderOutgoing();
} else {
  if (showedBefore) showForNow({ kind: 'separator', text: t('reloaded') });
  session.resume = null;
  giveUpOutbox();
  setComposing(false);
  setStatus(t('notLoggedIn'));
  if (signInByProxy) askSignedInName();
}
scrollToEnd();
