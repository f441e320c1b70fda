// Helpers for the browser tests: the real chat server and gateway on free
// ports in fresh temporary directories, raw TCP clients with deadlines,
// Shift_JIS from readable text, and Debian's chromium.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const serverBinary = process.env.CHAT_SERVER_FAST;
export const gatewayBinary = process.env.CHAT_WEB;
export const chromiumPath = process.env.CHAT_CHROMIUM || '/usr/bin/chromium';

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

// Every process and directory a test started, stopped and removed by stopAll.
const started = [];

function track(child, dir) {
  started.push({ child, dir });
  return child;
}

export async function stopAll() {
  while (started.length) {
    const { child, dir } = started.pop();
    if (child && child.exitCode === null && child.signalCode === null) {
      const gone = new Promise((r) => child.once('exit', r));
      child.kill('SIGTERM');
      await Promise.race([gone, new Promise((r) => setTimeout(r, 3000))]);
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    }
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  }
}

function canConnect(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

// chat_server_fast in a fresh directory; { port, dir, child }.
export async function startServer() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'chat-web-test-'));
  track(null, dir);
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const child = track(spawn(serverBinary, [String(port)], { cwd: dir, stdio: 'ignore', detached: false }));
    let exited = false;
    child.once('exit', () => { exited = true; });
    await until(async () => exited || (await canConnect(port)), 10000, 'the chat server');
    if (!exited) return { port, dir, child, history: path.join(dir, 'chat.dat') };
  }
  throw new Error('the chat server did not start');
}

// chat_web on a free port; { url, port, child, stderr() }.
export async function startGateway(serverPort, extra = []) {
  const args = ['--listen', '127.0.0.1:0', '--server', `127.0.0.1:${serverPort}`, ...extra];
  const child = track(spawn(gatewayBinary, args, { stdio: ['ignore', 'pipe', 'pipe'] }));
  let out = '', err = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { err += d; });
  const port = await until(() => (out.match(/http:\/\/127\.0\.0\.1:(\d+)\//) || [])[1], 10000, 'the gateway');
  return { url: `http://127.0.0.1:${port}/`, port: Number(port), child, stderr: () => err };
}

// A raw protocol client that collects every byte it receives.
export class RawClient {
  static async connect(port) {
    const c = new RawClient();
    c.socket = net.connect(port, '127.0.0.1');
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

  close() { this.socket.destroy(); }
}

export async function launchBrowser() {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'chat-web-chromium-'));
  track(null, userDataDir);
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: chromiumPath,
    headless: true,
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  return context;
}

// A fresh page (own sessionStorage) logged in through the form.
export async function loggedInPage(context, url, name, colour = '#2f6fb0') {
  const page = await context.newPage();
  await page.goto(url);
  await page.fill('input[name=name]', name);
  await page.fill('input[name=colour]', colour);
  await page.click('#login-button');
  await page.waitForSelector('input[name=message]', { state: 'visible' });
  return page;
}

export async function records(page) {
  return page.$$eval('.record', (rows) => rows.map((r) => ({
    sender: r.querySelector('.sender')?.textContent,
    text: r.querySelector('.text')?.textContent,
    notice: r.classList.contains('notice'),
    earlier: r.classList.contains('earlier'),
  })));
}
