// The controls around the log: the status line, the login form or the
// line to post from, the counter of what is left of a message, the name's
// hint, and the warning before the idle time-out.
import { postsOf, textPostsMax } from './outbox.js';
import { toShortCodes } from './richtext.js';
import { sjisBytes } from './sjis.js';
import { isShown, manyRooms, room, rooms, session } from './state.js';
import { reasonText, t } from './texts.js';

const $ = (id) => document.getElementById(id);
export const loginForm = $('login');
export const nameInput = $('name');
export const compose = $('compose');
export const messageInput = $('message');
const left = $('left');
const nameHint = $('name-hint');
const idleWarning = document.querySelector('.idle-warning');

// Per room: its status line, whether it has the line to post from, and
// its idle warning; the page shows the room shown.
for (const r of rooms) r.screen = { status: t('notLoggedIn'), composing: false, idle: null, loginLabel: 'logIn' };

export function setStatus(text) {
  room.screen.status = text;
  if (isShown()) $('status').textContent = text;
}

// Logged in: the line to post from and the session's buttons; else the
// login form.
export function setComposing(on) {
  room.screen.composing = on;
  if (!isShown()) {
    drawLogout();
    return;
  }
  drawComposing();
  (on ? messageInput : nameInput.hidden ? $('login-button') : nameInput).focus();
}

// With rooms, a joined room has "Leave room", and "Log out" leaves all.
function drawComposing() {
  const on = room.screen.composing;
  loginForm.hidden = on;
  compose.hidden = !on;
  $('reload').hidden = !on;
  $('leave').hidden = !on || !manyRooms;
  drawLogout();
  $('login-button').textContent = t(room.screen.loginLabel);
  updateLeft();
}

function drawLogout() {
  $('logout').hidden = !(room.screen.composing || (manyRooms && rooms.some((r) => r.screen.composing)));
}

// What the login button says in the room handled: log in, log in again, join.
export function setLoginLabel(id) {
  room.screen.loginLabel = id;
  if (isShown()) $('login-button').textContent = t(id);
}

// What is around the log, for the room shown now.
export function drawScreen() {
  $('status').textContent = room.screen.status;
  drawComposing();
  if (room.screen.idle) showIdle(room.screen.idle);
  else hideIdle();
}

// What is left of the message: bytes of its last post, and how many posts
// it will be sent as; or why it is too long to send. Emoji count as the
// short codes they go out as.
export function updateLeft() {
  const text = toShortCodes(messageInput.value);
  const posts = session.bodyMax ? postsOf(text) : [text];
  const tooLong = posts.length > textPostsMax;
  left.classList.toggle('bad', tooLong);
  messageInput.setAttribute('aria-invalid', tooLong ? 'true' : 'false');
  if (compose.hidden || !session.bodyMax) {
    left.textContent = '';
  } else if (tooLong) {
    left.textContent = t('tooLong', posts.length, textPostsMax);
  } else {
    const room = session.bodyMax - sjisBytes(posts.at(-1));
    left.textContent = posts.length > 1 ? t('bytesLeftPosts', room, posts.length) : t('bytesLeft', room);
  }
}

// Send refuses: the text stays in the box, and the counter says why.
export function refuse(reason) {
  left.textContent = reason;
  left.classList.add('bad');
  messageInput.setAttribute('aria-invalid', 'true');
  messageInput.focus();
}

function nameProblem(name) {
  if (name === '') return t('nameEmpty');
  if (/\s/.test(name)) return t('nameSpaces');
  const n = sjisBytes(name);
  if (n > 30) return t('nameLong', n);
  return '';
}

// The name's hint says what is wrong with it as it is typed.
export function checkName() {
  const problem = nameProblem(nameInput.value);
  nameHint.textContent = problem || t('nameHint');
  nameHint.classList.toggle('bad', problem !== '');
  nameInput.setAttribute('aria-invalid', problem ? 'true' : 'false');
  return problem === '';
}

// Behind a sign-in proxy the name is the one signed in with: shown fixed,
// with no field to type another; `name` is null until the gateway says it.
export function showSignedInName(name) {
  for (const el of [nameInput, nameHint, document.querySelector('label[for=name]')]) el.hidden = true;
  nameInput.required = false;
  const fixed = $('signed-in-name');
  fixed.hidden = false;
  fixed.textContent = name === null ? t('askingName') : t('signedInName', name);
  $('login-button').disabled = name === null;
}

// The gateway turned the page away before it said a name: the button
// asks again, as after signing in anew.
export function noSignedInName() {
  $('signed-in-name').textContent = '';
  $('login-button').disabled = false;
}

// The gateway refused the name or colour: the reason by the name.
export function nameRefused(text) {
  nameHint.textContent = text;
  nameHint.classList.add('bad');
  nameInput.setAttribute('aria-invalid', 'true');
  nameInput.focus();
}

// The idle warning: shown before the server's idle time-out, gone with the
// next thing the user sends. It says the time once, rather than counting
// down: an alert that changes every second is read out every second.
export function showIdle(event) {
  room.screen.idle = event;
  if (!isShown()) return;
  $('idle-text').textContent = reasonText(event);
  idleWarning.hidden = false;
}

export function hideIdle() {
  room.screen.idle = null;
  if (isShown()) idleWarning.hidden = true;
}
