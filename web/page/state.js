// What the page knows of its session, and what it keeps in the tab for a
// reload: the session's token with the last event seen (here), what it
// showed (log.js) and what waits to be posted (outbox.js).

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

const resumeKey = 'chat-resume';

export const session = {
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
  socket: null,      // the WebSocket, once open
  bodyMax: 0,        // bytes of one post for this name
  lastSeq: 0,        // the highest event number of this session seen
  signedInName: null, // behind a sign-in proxy, the name it verified
  // { token, seq, name, colour: [r, g, b] } while resumable
  resume: load(resumeKey, null),
};

// The session as the tab keeps it, with the last event seen; null forgets it.
export function saveResume(resume) {
  save(resumeKey, resume);
}

// Whether the socket is open for messages.
export function socketOpen() {
  return !!session.socket && session.socket.readyState === WebSocket.OPEN;
}
