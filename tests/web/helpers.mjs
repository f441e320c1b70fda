// Helpers for the browser tests: the real chat server and gateway on free
// ports in fresh temporary directories, their standard error checked when
// they stop, raw TCP, HTTP and WebSocket clients with deadlines, a proxy
// that cuts connections, Shift_JIS from readable text, and Debian's
// chromium.
import { spawn, execFileSync } from 'node:child_process';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

export const serverBinary = process.env.CHAT_SERVER_FAST;
export const shippedServerBinary = process.env.CHAT_SERVER;
export const gatewayBinary = process.env.CHAT_WEB;
export const chromiumPath = process.env.CHAT_CHROMIUM || '/usr/bin/chromium';
export const holdLockBinary = process.env.CHAT_HOLD_LOCK;
export const clientBinary = process.env.CHAT_CLIENT;
export const archiveBinary = process.env.CHAT_ARCHIVE;

// UTF-8 text as Shift_JIS bytes, converted by iconv at run time.
export function sjis(text) {
  return execFileSync('iconv', ['-f', 'UTF-8', '-t', 'SHIFT_JIS'], { input: Buffer.from(text, 'utf8') });
}

export function bytes(...parts) {
  return Buffer.concat(parts.map((p) => (Buffer.isBuffer(p) ? p : Buffer.from(p, 'latin1'))));
}

export async function until(check, ms = 10000, what = 'condition') {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Every process and directory a test started, stopped and removed by
// stopAll, which then fails the test when a process wrote a sanitizer
// report or ended with another status than 0 (a stop by SIGTERM included).
const started = [];
const sanitizerReport = /ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:/;

function track(child, dir, name) {
  const entry = { child, dir, name, stderr: '', ignore: false };
  if (child) {
    child.stderr?.on('data', (d) => { entry.stderr += d; });
    entry.exited = new Promise((r) => child.once('exit', r));
    // Its pipes close last, unless a forked child of its own keeps them.
    entry.closed = new Promise((r) => child.once('close', r));
  }
  started.push(entry);
  return entry;
}

async function stop(entry) {
  const { child } = entry;
  const running = () => child.exitCode === null && child.signalCode === null;
  let how = running() ? 'stopped' : 'exited';
  if (running()) {
    child.kill('SIGTERM');
    // Sanitizer builds on a loaded machine are slow to exit.
    await Promise.race([entry.exited, new Promise((r) => setTimeout(r, 10000))]);
    if (running()) {
      how = 'killed';
      child.kill('SIGKILL');
    }
  }
  await entry.exited;
  await Promise.race([entry.closed, new Promise((r) => setTimeout(r, 200))]);
  return how;
}

export async function stopAll() {
  const problems = [];
  while (started.length) {
    const entry = started.pop();
    const { child, name } = entry;
    entry.stopProxy?.();
    if (child) {
      const how = await stop(entry);
      if (!entry.ignore) {
        if (sanitizerReport.test(entry.stderr)) problems.push(`${name} wrote a sanitizer report:\n${entry.stderr}`);
        if (how === 'killed') problems.push(`${name} did not stop within 10 s of SIGTERM`);
        else if (child.exitCode !== 0) {
          problems.push(`${name} ended with ${child.signalCode ?? `status ${child.exitCode}`}:\n${entry.stderr}`);
        }
      }
    }
    if (entry.dir) fs.rmSync(entry.dir, { recursive: true, force: true });
  }
  if (problems.length) throw new Error(problems.join('\n'));
}

function canConnect(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

// chat_server_fast (1 s tick, 8 s idle time-out) in a fresh directory, or
// with `shipped` the real chat_server (5 s, 300 s); { port, dir, child }.
export async function startServer({ shipped = false } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'chat-web-test-'));
  track(null, dir);
  const binary = shipped ? shippedServerBinary : serverBinary;
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const entry = track(spawn(binary, [String(port)], { cwd: dir, stdio: ['ignore', 'ignore', 'pipe'] }), null, 'chat_server');
    const { child } = entry;
    let exited = false;
    child.once('exit', () => { exited = true; });
    await until(async () => exited || (await canConnect(port)), 10000, 'the chat server');
    if (!exited) return { port, dir, child, history: path.join(dir, 'chat.dat') };
    entry.ignore = true;  // the port was taken meanwhile: try another
  }
  throw new Error('the chat server did not start');
}

// chat_archive keeping the server's history in archive.db beside it;
// { database } once the database exists.
export async function startArchive(server) {
  const database = path.join(server.dir, 'archive.db');
  track(spawn(archiveBinary, ['--history', server.history, '--archive', database],
    { cwd: server.dir, stdio: ['ignore', 'ignore', 'pipe'] }), null, 'chat_archive');
  await until(() => fs.existsSync(database) && fs.statSync(database).size > 0, 10000, 'the archive');
  return { database };
}

// A server, chat_archive beside it and a gateway reading both.
export async function serverWithArchive(extra = []) {
  const server = await startServer();
  const { database } = await startArchive(server);
  const gateway = await startGateway(server.port, ['--archive', database, ...extra]);
  return { server, database, gateway };
}

// Stops a server of startServer, runs `meanwhile` while it is stopped,
// and starts the same binary again on its port and in its directory, as
// a restart would; the new { port, dir, child, history }.
export async function restartServer(server, meanwhile = async () => {}, { shipped = false } = {}) {
  const entry = started.find((e) => e.child === server.child);
  await stop(entry);
  await meanwhile();
  const binary = shipped ? shippedServerBinary : serverBinary;
  const again = track(spawn(binary, [String(server.port)], { cwd: server.dir, stdio: ['ignore', 'ignore', 'pipe'] }),
    null, 'chat_server');
  await until(() => canConnect(server.port), 10000, 'the chat server again');
  return { ...server, child: again.child };
}

// chat_web on a free port, with English messages; { url, port, child,
// stderr() }. With `descriptors`, it runs under prlimit --nofile=descriptors.
// Without `serverPort`, `extra` names the rooms.
export async function startGateway(serverPort, extra = [], { descriptors } = {}) {
  const server = serverPort ? ['--server', `127.0.0.1:${serverPort}`] : [];
  const args = ['--listen', '127.0.0.1:0', ...server, ...extra];
  const options = { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, LC_ALL: 'C.UTF-8', LANGUAGE: 'en' } };
  const child = descriptors
    ? spawn('prlimit', [`--nofile=${descriptors}`, gatewayBinary, ...args], options)
    : spawn(gatewayBinary, args, options);
  const entry = track(child, null, 'chat_web');
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  const port = await until(() => (out.match(/http:\/\/127\.0\.0\.1:(\d+)\//) || [])[1], 10000, 'the gateway');
  return { url: `http://127.0.0.1:${port}/`, port: Number(port), child, stderr: () => entry.stderr };
}

// Another process holds a write lock on `file` until release().
export async function holdLock(file) {
  const { child } = track(spawn(holdLockBinary, [file], { stdio: ['pipe', 'pipe', 'pipe'] }), null, 'hold_lock');
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  await until(() => out.includes('locked'), 10000, 'the lock');
  return { release: () => child.stdin.end() };
}

// A TCP proxy on a free port in front of `targetPort`, for connections that
// go away: cut() closes both sides of every connection (the gateway sees
// its page go), drop() closes only the browser's side and leaves the
// gateway's open and silent (as a phone that went out of reach), and
// stall() keeps both open but carries nothing more either way: what the
// browser sends then is counted in `swallowed` and never arrives.
// inject(data) sends data down every connection as if the target had;
// hold() keeps what goes toward the target until release().
export async function startProxy(targetPort) {
  const pairs = new Set();
  let swallowed = 0;
  const server = net.createServer((client) => {
    const upstream = net.connect(targetPort, '127.0.0.1');
    const pair = { client, upstream };
    pairs.add(pair);
    client.pipe(upstream);
    upstream.pipe(client);
    const end = () => { pairs.delete(pair); client.destroy(); upstream.destroy(); };
    client.on('error', end);
    upstream.on('error', end);
    client.on('close', () => { if (!pair.dropped) end(); });
    upstream.on('close', end);
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const { port } = server.address();
  started.push({ name: 'proxy', stopProxy: () => { for (const p of pairs) { p.client.destroy(); p.upstream.destroy(); } server.close(); } });
  return {
    port,
    url: `http://127.0.0.1:${port}/`,
    get swallowed() { return swallowed; },
    inject(data) {
      for (const p of pairs) p.client.write(data);
    },
    hold() {
      for (const p of pairs) {
        p.client.unpipe(p.upstream);
        p.held = [];
        p.keep = (d) => p.held.push(d);
        p.client.on('data', p.keep);
      }
    },
    release() {
      for (const p of pairs) {
        if (!p.held) continue;
        p.client.off('data', p.keep);
        p.upstream.write(Buffer.concat(p.held));
        p.held = null;
        p.client.pipe(p.upstream);
      }
    },
    stall() {
      for (const p of pairs) {
        p.client.unpipe(p.upstream);
        p.upstream.unpipe(p.client);
        p.upstream.pause();
        p.client.on('data', (d) => { swallowed += d.length; }).resume();
      }
    },
    cut() {
      for (const p of [...pairs]) { p.client.destroy(); p.upstream.destroy(); }
    },
    drop() {
      for (const p of [...pairs]) {
        p.dropped = true;
        p.client.unpipe(p.upstream);
        p.upstream.unpipe(p.client);
        p.upstream.pause();
        p.client.destroy();
      }
    },
  };
}

export const nginxBinary = process.env.CHAT_NGINX || '/usr/sbin/nginx';

// Debian's nginx in front of the gateway at `gatewayPort`, as a sign-in
// proxy: basic authentication against `users` ({ name: password }) in a
// generated htpasswd file, the user's name in X-Remote-User (replacing any
// such header the client sent), WebSocket upgrades passed on. It runs in
// the foreground in a fresh directory with its own temporary paths, on a
// free port; { port, url }.
export async function startNginx(gatewayPort, users) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'chat-web-nginx-'));
  track(null, dir);
  fs.writeFileSync(path.join(dir, 'htpasswd'), Object.entries(users).map(([u, p]) => `${u}:{PLAIN}${p}\n`).join(''));
  const temp = ['client_body', 'proxy', 'fastcgi', 'uwsgi', 'scgi'].map((k) => `${k}_temp_path ${dir}/${k};`).join(' ');
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    fs.writeFileSync(path.join(dir, 'nginx.conf'), `daemon off; master_process off; pid ${dir}/nginx.pid;
error_log stderr warn;
events { worker_connections 128; }
http {
  access_log off; ${temp}
  map $http_upgrade $connection_upgrade { default upgrade; '' close; }
  server {
    listen 127.0.0.1:${port};
    auth_basic "chat"; auth_basic_user_file ${dir}/htpasswd;
    location / {
      proxy_pass http://127.0.0.1:${gatewayPort};
      proxy_http_version 1.1;
      proxy_set_header Host $http_host;
      proxy_set_header Upgrade $http_upgrade;
      proxy_set_header Connection $connection_upgrade;
      proxy_set_header X-Forwarded-For $remote_addr;
      proxy_set_header X-Remote-User $remote_user;
      proxy_read_timeout 1h;
    }
  }
}
`);
    const entry = track(spawn(nginxBinary, ['-p', dir, '-c', path.join(dir, 'nginx.conf'), '-e', 'stderr'],
      { stdio: ['ignore', 'ignore', 'pipe'] }), null, 'nginx');
    let exited = false;
    entry.child.once('exit', () => { exited = true; });
    await until(async () => exited || (await canConnect(port)), 10000, 'nginx');
    if (!exited) return { port, url: `http://127.0.0.1:${port}/` };
    entry.ignore = true;  // the port was taken meanwhile: try another
  }
  throw new Error(`nginx did not start`);
}

// A server, its gateway, and a raw client "taro" logged in on the server.
export async function serverWithTaro() {
  const server = await startServer();
  const gateway = await startGateway(server.port);
  const raw = await RawClient.connect(server.port);
  await raw.login('001002003', 'taro');
  return { server, gateway, raw };
}

// A raw TCP client that collects every byte it receives; `localAddress`
// chooses the address it comes from (any of 127.0.0.0/8).
export class RawClient {
  static async connect(port, { localAddress } = {}) {
    const c = new RawClient();
    c.socket = net.connect({ port, host: '127.0.0.1', localAddress });
    c.received = Buffer.alloc(0);
    c.closed = false;
    c.socket.on('data', (d) => { c.received = Buffer.concat([c.received, d]); });
    c.socket.on('close', () => { c.closed = true; });
    c.socket.on('error', () => {});
    await new Promise((resolve, reject) => {
      c.socket.once('connect', resolve);
      c.socket.once('error', reject);
    });
    return c;
  }

  send(...parts) { this.socket.write(bytes(...parts)); }

  // Waits until `marker` has arrived; returns everything received so far.
  async waitFor(marker, ms = 20000) {
    const m = bytes(marker);
    await until(() => this.received.includes(m), ms, `bytes ${JSON.stringify(m.toString('latin1'))}`);
    return this.received;
  }

  // Logs in and waits for the end of the batch that holds the notice,
  // whatever else that batch holds.
  async login(colour, name) {
    this.send(`LGIN ${colour} `, name, '\r\n');
    const notice = bytes(name, sjis('がログインしました\r\n'));
    await this.waitFor(notice);
    const at = this.received.indexOf(notice) + notice.length;
    await until(() => this.received.subarray(at).toString('latin1').match(/(^|\n)END\r\n/), 20000, 'the END of the login batch');
  }

  // Waits until the other side has closed the connection.
  async waitClosed(ms = 10000) {
    await until(() => this.closed, ms, 'the connection to close');
    return this.received;
  }

  close() { this.socket.destroy(); }
}

// A WebSocket client on raw TCP, for what a browser would never send: a
// foreign Host, binary frames, text no page would type.
export class RawWebSocket {
  // Sends the handshake, with `headers` (lines with their CR LF) added;
  // `status` is the HTTP status of the answer.
  static async open(port, { host = `127.0.0.1:${port}`, origin, localAddress, headers = '' } = {}) {
    const ws = new RawWebSocket();
    ws.raw = await RawClient.connect(port, { localAddress });
    const key = crypto.randomBytes(16).toString('base64');
    ws.raw.send(`GET /ws HTTP/1.1\r\nHost: ${host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n`,
      `Sec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n`, origin ? `Origin: ${origin}\r\n` : '', Buffer.from(headers, 'utf8'), '\r\n');
    await until(() => ws.raw.received.includes('\r\n\r\n') || ws.raw.closed, 10000, 'the handshake answer');
    const head = ws.raw.received.toString('latin1');
    ws.status = Number((head.match(/^HTTP\/1\.1 (\d+)/) || [])[1]);
    ws.bodyAt = head.indexOf('\r\n\r\n') + 4;
    return ws;
  }

  answer() { return this.raw.received.toString('utf8'); }

  // A masked frame, as a client must send; `write` false returns it unsent.
  frame(opcode, payload, write = true) {
    const data = Buffer.isBuffer(payload) ? payload : Buffer.from(payload, 'utf8');
    const mask = crypto.randomBytes(4);
    const length = data.length < 126 ? Buffer.from([0x80 | data.length])
      : Buffer.from([0x80 | 126, data.length >> 8, data.length & 0xff]);
    const masked = Buffer.from(data.map((b, i) => b ^ mask[i % 4]));
    const frame = Buffer.concat([Buffer.from([0x80 | opcode]), length, mask, masked]);
    if (write) this.raw.socket.write(frame);
    return frame;
  }

  send(message) { this.frame(1, JSON.stringify(message)); }

  // Several messages in one write, so that the gateway reads them together.
  sendAll(messages) {
    this.raw.socket.write(Buffer.concat(messages.map((m) => this.frame(1, JSON.stringify(m), false))));
  }

  // The frames received so far: { opcode, payload }.
  frames() {
    const out = [];
    const b = this.raw.received;
    for (let at = this.bodyAt; at + 2 <= b.length;) {
      const code = b[at + 1] & 0x7f;
      if (at + (code === 127 ? 10 : code === 126 ? 4 : 2) > b.length) break;  // the header is not all here yet
      let length = code, start = at + 2;
      if (code === 126) { length = b.readUInt16BE(at + 2); start = at + 4; }
      if (code === 127) { length = Number(b.readBigUInt64BE(at + 2)); start = at + 10; }
      if (start + length > b.length) break;
      out.push({ opcode: b[at] & 0x0f, fin: (b[at] & 0x80) !== 0, payload: b.subarray(start, start + length) });
      at = start + length;
    }
    return out;
  }

  // Every event of every message so far, in order; each message is an
  // array, perhaps in fragments (a text frame, then continuation frames).
  events() {
    const messages = [];
    let parts = null;
    for (const f of this.frames()) {
      if (f.opcode === 1) parts = [f.payload];
      else if (f.opcode === 0 && parts) parts.push(f.payload);
      else continue;
      if (!f.fin) continue;
      messages.push(Buffer.concat(parts).toString('utf8'));
      parts = null;
    }
    return messages.flatMap((text) => {
      const message = JSON.parse(text);
      assert.ok(Array.isArray(message), `a message is an array of events: ${text}`);
      return message;
    });
  }

  async waitForEvent(check, ms = 10000, what = 'an event') {
    return until(() => this.events().find(check), ms, what);
  }

  // The close frame's status code, once it has come.
  async closeCode(ms = 10000) {
    const f = await until(() => this.frames().find((x) => x.opcode === 8), ms, 'the close frame');
    return f.payload.length >= 2 ? f.payload.readUInt16BE(0) : 1005;
  }

  close() { this.raw.close(); }
}

// Chromium with the browser's language list set by `locale` (English
// unless a test asks for another), which the page takes its language from;
// with `httpCredentials` ({ username, password }) it answers basic
// authentication.
export async function launchBrowser({ locale = 'en-US', httpCredentials } = {}) {
  // Loaded here, so that the tests without a browser run without it.
  const { chromium } = await import('playwright-core');
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'chat-web-chromium-'));
  track(null, userDataDir);
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: chromiumPath,
    headless: true,
    locale,
    httpCredentials,
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  return context;
}

// A fresh page (own sessionStorage) logged in through the form, with the
// automatic colour or a colour picked as '#rrggbb'.
export async function loggedInPage(context, url, name, colour = 'auto') {
  const page = await context.newPage();
  await page.goto(url);
  await page.fill('input[name=name]', name);
  if (colour === 'auto') {
    await page.check('#auto-colour');
  } else {
    await page.uncheck('#auto-colour');
    await page.fill('input[name=colour]', colour);
  }
  await page.click('#login-button');
  await page.waitForSelector('input[name=message]', { state: 'visible' });
  return page;
}

// What goes wrong in a page as it happens: console errors, uncaught
// exceptions and answers of 400 or more (a missing icon included).
export function watchProblems(page) {
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => problems.push(`exception: ${e.message}`));
  page.on('response', (r) => { if (r.status() >= 400) problems.push(`${r.status()} ${r.url()}`); });
  return problems;
}

// The violations of impact serious or critical that axe-core finds in the
// page as it stands (injected past the page's script policy).
export async function seriousViolations(page) {
  const source = fs.readFileSync(path.join(path.dirname(new URL(import.meta.url).pathname), 'node_modules', 'axe-core', 'axe.min.js'), 'utf8');
  await page.evaluate(source);
  const violations = await page.evaluate(async () => (await window.axe.run(document)).violations
    .map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.map((n) => `${n.target.join(' ')}: ${n.failureSummary}`) })));
  return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
}

export async function records(page) {
  return page.$$eval('.record', (rows) => rows.map((r) => ({
    sender: r.querySelector('.sender')?.textContent,
    text: r.querySelector('.text')?.textContent,
    notice: r.classList.contains('notice'),
    earlier: r.classList.contains('earlier'),
    own: r.classList.contains('own'),
    mark: r.querySelector('.verified')?.title,
    time: r.querySelector('time')?.dateTime,
  })));
}
