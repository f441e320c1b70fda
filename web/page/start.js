// The chat page's start: its texts in the browser's language, what each
// room showed before a reload, then the sessions taken up again whose
// tokens the tab holds, else the login form; and what the user does on it:
// log in, post, reload, leave a room, log out.
import { colourOf } from './colours.js';
import { completeOnTab } from './complete.js';
import { chatTitle, log, scrollToEnd, show, showForNow, showKept, startAgain, toBottom } from './log.js';
import { draftOf, keepDraft, loadDraft, roomOfAddress, switchTo } from './rooms.js';
import {
  giveUpOutbox, postsOf, pump, queue, sendControl, stopSending, takeBackUnsent, textPostsMax,
} from './outbox.js';
import {
  checkName, compose, drawScreen, hideIdle, loginForm, messageInput, nameInput, refuse, setComposing, setStatus,
  showSignedInName, updateLeft,
} from './screen.js';
import { toShortCodes } from './richtext.js';
import {
  askSignedInName, closeIfUnused, logIn, offerLogin, openBeforeLogin, resumeAfterReload, stopComeback,
} from './socket.js';
import { inRoom, isShown, room, rooms, saveLogin, sendNow, session, socketOpen, tab } from './state.js';
import { language, t } from './texts.js';
import './search.js';  // the archive's scroll-back and search, when the gateway keeps one

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
    if (tab.signedInName === null) {
      showSignedInName(null);
      askSignedInName();
      return;
    }
    saveLogin({ name: null, colour });
    startAgain();
    setStatus(t('loggingIn'));
    logIn({ type: 'login', colour }, tab.signedInName);
    return;
  }
  if (!checkName()) return;
  localStorage.setItem('chat-name', nameInput.value);
  // The automatic colour is the gateway's to derive, from the name as it
  // goes on the wire; its state message says which it is.
  const login = { type: 'login', name: nameInput.value, colour };
  saveLogin({ name: nameInput.value, colour });
  startAgain();
  setStatus(t('loggingIn'));
  logIn(login, nameInput.value);
});

// Emoji go as their short codes, which every client can read.
function post() {
  const text = toShortCodes(messageInput.value);
  if (text === '' || (session.phase !== 'in' && session.phase !== 'resuming')) return;
  if (text.trim() === '') {
    refuse(t('blank'));
    return;
  }
  const posts = postsOf(text).length;
  if (posts > textPostsMax) {
    refuse(t('tooLong', posts, textPostsMax));
    return;
  }
  queue(text);
  messageInput.value = '';
  keepDraft();
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
  if (!isComposing(e) && completeOnTab(e, messageInput)) return;
  if (e.key !== 'Enter') return;
  e.preventDefault();
  if (!isComposing(e)) post();
});
nameInput.addEventListener('compositionstart', () => { composing = true; });
nameInput.addEventListener('compositionend', () => { composing = false; });
nameInput.addEventListener('keydown', (e) => {
  if (e.key === 'Enter' && isComposing(e)) e.preventDefault();
});
messageInput.addEventListener('input', () => {
  keepDraft();
  updateLeft();
});
$('send').addEventListener('click', () => {
  post();
  messageInput.focus();
});
document.querySelector('.new-messages').addEventListener('click', () => {
  toBottom();
  (compose.hidden ? log : messageInput).focus();
});
// The swatch only while the colour is the user's to pick.
function showColour() {
  colourInput.disabled = autoColour.checked;
  colourInput.hidden = autoColour.checked;
  $('colour-label').hidden = autoColour.checked;
}
autoColour.addEventListener('change', showColour);
$('reload').addEventListener('click', () => control({ type: 'reload' }));
$('still-here').addEventListener('click', () => control({ type: 'reload' }));
// A logout goes at once, past the queue; the gateway lets it through.
// What was not sent yet goes back into the room's message box.
function leaveRoom() {
  if (session.phase === 'out') return;
  if (session.phase !== 'in' || !socketOpen()) {
    stopComeback();
    offerLogin(room.left ? t('leftRoom') : t('loggedOut'));
    closeIfUnused();
    return;
  }
  session.phase = 'leaving';  // nothing more is sent
  sendNow({ type: 'logout' });
  stopSending();
  // A room not shown has its draft in the tab only.
  const box = isShown() ? messageInput : { value: draftOf(room) };
  if (takeBackUnsent(box).length) {
    show({ kind: 'separator', text: t('takenBack') });
    keepDraft(box.value);
    if (isShown()) updateLeft();
  }
}

// "Leave room" logs out of the room shown only; "Log out" of all rooms.
$('leave').addEventListener('click', () => {
  room.left = true;
  leaveRoom();
});
$('logout').addEventListener('click', () => {
  saveLogin(null);
  for (const r of rooms) {
    inRoom(r, () => {
      r.left = false;
      leaveRoom();
    });
  }
});

// Notifications only where the browser allows them (a secure context);
// once allowed, of all records or (the default) those that name the user.
const notifyWhat = $('notify-what');
notifyWhat.value = localStorage.getItem('chat-notify-what') === 'all' ? 'all' : 'mentions';
notifyWhat.addEventListener('change', () => localStorage.setItem('chat-notify-what', notifyWhat.value));
if (window.Notification && window.isSecureContext) {
  $('notify-label').hidden = false;
  $('notify').addEventListener('change', async (e) => {
    if (e.target.checked && Notification.permission !== 'granted') {
      e.target.checked = (await Notification.requestPermission()) === 'granted';
    }
    notifyWhat.hidden = !e.target.checked;
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
nameInput.value = localStorage.getItem('chat-name') || '';
colourInput.value = localStorage.getItem('chat-colour') || colourInput.value;
autoColour.checked = localStorage.getItem('chat-auto-colour') !== '0';
showColour();
if (signInByProxy) showSignedInName(tab.signedInName);
// Each room shows again what it showed; the rooms whose tokens the tab
// holds are taken up again, the others offer the login.
const resumable = rooms.filter((r) => r.session.resume?.token);
for (const r of rooms) {
  inRoom(r, () => {
    const showedBefore = showKept();
    if (session.resume?.token) return;
    if (showedBefore) showForNow({ kind: 'separator', text: t('reloaded') });
    session.resume = null;
    giveUpOutbox();
    setComposing(false);
    setStatus(t('notLoggedIn'));
  });
}
drawScreen();
loadDraft();
if (resumable.length) {
  resumeAfterReload();
} else {
  if (document.querySelector('meta[name=chat-before-login]')?.content === 'on') openBeforeLogin();
  if (signInByProxy) askSignedInName();
}
switchTo(roomOfAddress());
scrollToEnd();
