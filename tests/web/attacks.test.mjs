// Attacks on chat_web over raw sockets, against the real chat_server_fast:
// requests no browser would send, foreign names, floods of connections
// from many addresses of 127.0.0.0/8, frames and floods of messages no page
// would send.
import { afterEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {
  RawClient, RawWebSocket, bytes, serverWithTaro, sjis, startGateway, startProxy, startServer, stopAll, until,
} from './helpers.mjs';

afterEach(stopAll);

const get = (path, host, extra = '') => `GET ${path} HTTP/1.1\r\nHost: ${host}\r\n${extra}\r\n`;
const statuses = (buffer) => [...buffer.toString('latin1').matchAll(/^HTTP\/1\.[01] (\d+)/gm)].map((m) => Number(m[1]));

// A GET / on a new connection from `localAddress`; the whole answer.
async function fetchPage(port, { localAddress, host = `127.0.0.1:${port}`, extra = '' } = {}) {
  const c = await RawClient.connect(port, { localAddress });
  c.send(get('/', host, `${extra}Connection: close\r\n`));
  const answer = await c.waitClosed();
  c.close();
  return answer.toString('utf8');
}

// A server with a gateway started with `extra`, and a raw client "taro".
async function serverWithTaroBehind(extra) {
  const server = await startServer();
  const gateway = await startGateway(server.port, extra);
  const raw = await RawClient.connect(server.port);
  await raw.login('001002003', 'taro');
  return { server, gateway, raw };
}

async function loggedInSocket(port, name, options) {
  const ws = await RawWebSocket.open(port, options);
  assert.equal(ws.status, 101, ws.answer());
  ws.send({ type: 'login', name, colour: [1, 2, 3] });
  await ws.waitForEvent((e) => e.type === 'state', 10000, `${name} logged in`);
  return ws;
}

describe('requests', () => {
  test('pipelined requests are answered in order; a connection serves 100 and stays idle 5 s at most', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const host = `127.0.0.1:${gateway.port}`;
    const c = await RawClient.connect(gateway.port);
    c.send(get('/', host), get('/style.css', host, 'Connection: close\r\n'));
    const text = (await c.waitClosed()).toString('latin1');
    assert.deepEqual(statuses(Buffer.from(text, 'latin1')), [200, 200]);
    assert.ok(text.indexOf('text/html') < text.indexOf('text/css'), 'the page first, then its style');

    const many = await RawClient.connect(gateway.port);
    many.send(Array.from({ length: 101 }, () => `HEAD / HTTP/1.1\r\nHost: ${host}\r\n\r\n`).join(''));
    assert.equal(statuses(await many.waitClosed()).length, 100, 'the 101st request is not answered');

    const idle = await RawClient.connect(gateway.port);
    idle.send(get('/', host));
    await idle.waitFor('</html>');
    const answered = Date.now();
    await idle.waitClosed(15000);
    assert.ok(Date.now() - answered < 8000, `closed after ${Date.now() - answered} ms of idleness`);
  });

  test('a foreign Host gets neither the page nor a session; IP literals and allowed names do', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--allow-host', 'chat.example.org',
      '--allow-origin', 'https://other.example']);
    const { port } = gateway;
    const evil = `evil.example:${port}`;
    const refused = await fetchPage(port, { host: evil });
    assert.match(refused, /^HTTP\/1\.1 403/);
    assert.match(refused, /--allow-host/);
    const ws = await RawWebSocket.open(port, { host: evil, origin: `http://${evil}` });
    assert.equal(ws.status, 403, 'a rebound name cannot open a session');
    assert.match(await fetchPage(port, { host: 'evil.example' }), /^HTTP\/1\.1 403/);

    for (const host of [`127.0.0.1:${port}`, `[::1]:${port}`, `localhost:${port}`, `chat.example.org:${port}`,
      'CHAT.example.org.', 'other.example']) {
      assert.match(await fetchPage(port, { host }), /^HTTP\/1\.1 200/, host);
    }
    const allowed = await loggedInSocket(port, 'allowed', { host: `chat.example.org:${port}`, origin: `http://chat.example.org:${port}` });
    allowed.send({ type: 'send', text: 'from an allowed name' });
    await allowed.waitForEvent((e) => e.text === 'from an allowed name', 10000, 'the own echo');

    const noHost = await RawClient.connect(port);
    noHost.send('GET / HTTP/1.0\r\n\r\n');
    assert.deepEqual(statuses(await noHost.waitClosed()), [400]);
    assert.match(await fetchPage(port, { host: 'a b' }), /^HTTP\/1\.1 400/);
  });

  test('a Transfer-Encoding that does not end in chunked gets 400, headers past the limit 431, and a close', async () => {
    const server = await startServer();
    // On the wildcard address, the start line names the loopback one, which
    // startGateway reads.
    const gateway = await startGateway(server.port, ['--listen', '0']);
    const host = `127.0.0.1:${gateway.port}`;
    for (const coding of ['xchunked', 'chunked, xchunked', 'chunked;q=1, gzip']) {
      const c = await RawClient.connect(gateway.port);
      // What follows would be a second request to a parser that took no body.
      c.send(`POST / HTTP/1.1\r\nHost: ${host}\r\nTransfer-Encoding: ${coding}\r\n\r\n`, get('/', host));
      assert.deepEqual(statuses(await c.waitClosed()), [400], coding);
    }
    const big = await RawClient.connect(gateway.port);
    big.send(get('/', host, `X-Filler: ${'a'.repeat(9000)}\r\n`));
    const answer = (await big.waitClosed()).toString('latin1');
    assert.deepEqual(statuses(Buffer.from(answer, 'latin1')), [431]);
    assert.match(answer, /Connection: close/i);
  });
});

describe('places', () => {
  test('the 21st connection from one address is refused at once; others and a freed place get in', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const from = '127.0.0.5';
    const held = [];
    for (let i = 0; i < 15; i++) held.push(await RawClient.connect(gateway.port, { localAddress: from }));
    for (let i = 0; i < 5; i++) held.push((await RawWebSocket.open(gateway.port, { localAddress: from })).raw);
    // Connections are accepted in order: the next one is the 21st.
    const started = Date.now();
    const answer = await fetchPage(gateway.port, { localAddress: from });
    assert.match(answer, /^HTTP\/1\.1 503/);
    assert.match(answer, /Too many connections from your address/);
    assert.ok(Date.now() - started < 2000, 'refused at once');
    assert.match(await fetchPage(gateway.port, { localAddress: '127.0.0.6' }), /^HTTP\/1\.1 200/);

    held.shift().close();
    await until(async () => /^HTTP\/1\.1 200/.test(await fetchPage(gateway.port, { localAddress: from })), 5000,
      'a freed place');

    // A connection that was answered and only waits for another request
    // (a page keeps several after loading its files) makes room instead.
    const idle = await RawClient.connect(gateway.port, { localAddress: from });
    idle.send(get('/', `127.0.0.1:${gateway.port}`));
    await idle.waitFor('</html>');
    assert.match(await fetchPage(gateway.port, { localAddress: from }), /^HTTP\/1\.1 200/, 'the idle one made room');
    await idle.waitClosed(2000);
    for (const c of held) c.close();
  });

  test('behind a --trusted-proxy the client is the last X-Forwarded-For entry, with or without a port', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, ['--trusted-proxy', '127.0.0.8/30', '--max-per-address', '3']);
    const host = `127.0.0.1:${gateway.port}`;
    const viaProxy = async (client, from = '127.0.0.9') => {
      const c = await RawClient.connect(gateway.port, { localAddress: from });
      c.send(get('/', host, `X-Forwarded-For: 10.9.9.9, ${client}\r\n`));
      await until(() => statuses(c.received).length === 1 || c.closed, 5000, 'an answer');
      return c;
    };
    const kept = [];
    for (let i = 0; i < 3; i++) {
      kept.push(await viaProxy('203.0.113.7'));
      assert.deepEqual(statuses(kept.at(-1).received), [200]);
    }
    const fourth = await viaProxy('203.0.113.7:4711', '127.0.0.10');
    assert.deepEqual(statuses(fourth.received), [503], 'the client, not the proxy, has used its share (any proxy of the range)');
    assert.deepEqual(statuses((await viaProxy('203.0.113.8')).received), [200]);
    // IPv6 clients count by their /64: three of one /64, in the forms
    // proxies write, and the fourth is refused; another /64 is not.
    for (const client of ['[2001:db8:1:2::7]:4711', '2001:db8:1:2::8', '[2001:db8:1:2:ffff::9]']) {
      kept.push(await viaProxy(client));
      assert.deepEqual(statuses(kept.at(-1).received), [200], client);
    }
    assert.deepEqual(statuses((await viaProxy('2001:db8:1:2::10')).received), [503]);
    assert.deepEqual(statuses((await viaProxy('2001:db8:1:3::10')).received), [200]);
    // An entry that is no address is refused, and said once.
    for (const entry of ['unknown', '203.0.113.9:port']) {
      const c = await viaProxy(entry);
      assert.deepEqual(statuses(c.received), [400], entry);
    }
    assert.equal(gateway.stderr().match(/X-Forwarded-For entry that is no address/g)?.length, 1, gateway.stderr());
    assert.match(gateway.stderr(), /\('unknown'\)/);
    // From an address that is no trusted proxy, the header proves nothing.
    assert.match(await fetchPage(gateway.port, { localAddress: '127.0.0.12', extra: 'X-Forwarded-For: 203.0.113.7\r\n' }),
      /^HTTP\/1\.1 200/);
  });

  test('a sign-in proxy\'s header is the only name; a missing, repeated, unfit or untrusted one logs nobody in', async () => {
    const { gateway, raw } = await serverWithTaroBehind(['--trusted-proxy', '127.0.0.1', '--name-header', 'X-Remote-User',
      '--resume-seconds', '60']);
    const { port } = gateway;
    const signedIn = (name) => ({ headers: `X-Remote-User: ${name}\r\n` });
    const alice = await RawWebSocket.open(port, signedIn('花子'));
    assert.equal((await alice.waitForEvent((e) => e.type === 'hello')).name, '花子', 'the page learns the name first');
    alice.send({ type: 'login', name: 'mallory', colour: [1, 2, 3] });
    assert.equal((await alice.waitForEvent((e) => e.type === 'state')).name, '花子');
    await raw.waitFor(bytes(sjis('花子がログインしました')));
    assert.ok(!raw.received.includes('mallory'), 'the page\'s name never reaches the server');

    const refusals = [
      ['no header', {}, 'unverified'],
      ['an empty one', signedIn(''), 'unverified'],
      ['two', { headers: 'X-Remote-User: eve\r\nX-Remote-User: bob\r\n' }, 'unverified'],
      ['a joined repeat', signedIn('eve, bob'), 'unverified'],
      ['31 bytes', signedIn('firstname.lastname@example.org1'), 'unfit-name'],
      ['an untrusted address', { ...signedIn('eve'), localAddress: '127.0.0.2' }, 'proxy'],
    ];
    for (const [what, options, reason] of refusals) {
      const ws = await RawWebSocket.open(port, options);
      assert.equal(ws.status, 101, `a browser sees the reason, not a status (${what})`);
      const ended = await ws.waitForEvent((e) => e.type === 'ended', 10000, `ended (${what})`);
      assert.equal(ended.reason, reason, what);
      ws.send({ type: 'login', name: 'eve', colour: [1, 2, 3] });
      assert.equal(await ws.closeCode(), 1000, what);
      assert.ok(!ws.events().some((e) => e.type === 'state'), what);
    }

    // A resume needs the header of the session's own name.
    const { token } = await alice.waitForEvent((e) => e.type === 'hello' && e.token);
    alice.close();
    const bob = await RawWebSocket.open(port, signedIn('bob'));
    bob.send({ type: 'resume', token, after: 0 });
    assert.equal((await bob.waitForEvent((e) => e.type === 'ended')).reason, 'resume');
    const back = await RawWebSocket.open(port, signedIn('花子'));
    back.send({ type: 'resume', token, after: 0 });
    await back.waitForEvent((e) => e.resumed, 10000, 'taken up again under its own name');

    // Marks: what a verified session posted, in every session; a raw
    // client's record under the same name carries none.
    const carol = await RawWebSocket.open(port, signedIn('carol'));
    carol.send({ type: 'login', colour: 'auto' });
    await carol.waitForEvent((e) => e.type === 'state');
    back.send({ type: 'send', text: 'signed post' });
    raw.send('SEND unsigned post\r\n');
    for (const ws of [back, carol]) {
      const signed = await ws.waitForEvent((e) => e.text === 'signed post', 10000, 'the signed post');
      const unsigned = await ws.waitForEvent((e) => e.text === 'unsigned post', 10000, 'the raw post');
      assert.equal(signed.verified, true);
      assert.equal(unsigned.verified, undefined);
    }
    assert.ok(!carol.events().some((e) => e.type === 'record' && e.notice && e.verified), 'notices carry no mark');
  });

  test('of eight detached tabs of one address the five oldest end; another address still gets in', async () => {
    const { gateway, raw } = await serverWithTaroBehind(['--resume-seconds', '60']);
    const tabs = [];
    for (let i = 0; i < 8; i++) {
      const ws = await loggedInSocket(gateway.port, `tab${i}`, { localAddress: '127.0.0.5' });
      tabs.push({ ws, token: (await ws.waitForEvent((e) => e.type === 'hello' && e.token)).token });
    }
    for (const { ws } of tabs) ws.close();
    // Three may wait (the default cap): the five oldest are logged out.
    for (let i = 0; i < 5; i++) await raw.waitFor(bytes(`tab${i}`, sjis('がログアウトしました')));
    const other = await loggedInSocket(gateway.port, 'elsewhere', { localAddress: '127.0.0.2' });
    other.close();
    for (let i = 5; i < 8; i++) {
      assert.ok(!raw.received.includes(bytes(`tab${i}`, sjis('がログアウトしました'))), `tab${i} still waits`);
    }
    const resumed = await RawWebSocket.open(gateway.port, { localAddress: '127.0.0.5' });
    resumed.send({ type: 'resume', token: tabs[5].token, after: 0 });
    await resumed.waitForEvent((e) => e.resumed, 10000, 'the oldest of those kept taken up again');
    const gone = await RawWebSocket.open(gateway.port, { localAddress: '127.0.0.5' });
    gone.send({ type: 'resume', token: tabs[4].token, after: 0 });
    assert.equal((await gone.waitForEvent((e) => e.type === 'ended')).reason, 'resume');
  });

  test('one socket in two rooms: a session in each, detached ones capped per room, both taken up again', async () => {
    const rooms = [await startServer(), await startServer()];
    const gateway = await startGateway(null, ['--room', `main=127.0.0.1:${rooms[0].port}`,
      '--room', `lab=127.0.0.1:${rooms[1].port}`, '--resume-seconds', '60']);
    const raws = [];
    for (const room of rooms) {
      const raw = await RawClient.connect(room.port);
      await raw.login('001002003', 'taro');
      raws.push(raw);
    }
    const names = ['main', 'lab'];
    const tabs = [];
    for (let i = 0; i < 4; i++) {
      const ws = await RawWebSocket.open(gateway.port, { localAddress: '127.0.0.6' });
      for (const room of names) ws.send({ type: 'login', room, name: `tab${i}`, colour: [1, 2, 3] });
      const tokens = {};
      for (const room of names) {
        await ws.waitForEvent((e) => e.type === 'state' && e.room === room, 10000, `tab${i} in ${room}`);
        tokens[room] = (await ws.waitForEvent((e) => e.type === 'hello' && e.room === room && e.token)).token;
      }
      tabs.push({ ws, tokens });
    }
    // A post goes to its own room's server only.
    tabs[0].ws.send({ type: 'send', room: 'lab', id: 1, text: 'lab only' });
    await tabs[0].ws.waitForEvent((e) => e.type === 'record' && e.own && e.room === 'lab', 10000, 'the post back');
    await raws[1].waitFor(bytes('lab only'));
    // Eight sessions of one address wait, four in each room: the cap of
    // three counts per room, so each room logs out its oldest only.
    for (const { ws } of tabs) ws.close();
    for (const raw of raws) await raw.waitFor(bytes('tab0', sjis('がログアウトしました')));
    assert.ok(!raws[0].received.includes(bytes('lab only')), 'the post reached the other room');
    for (const raw of raws) {
      for (let i = 1; i < 4; i++) {
        assert.ok(!raw.received.includes(bytes(`tab${i}`, sjis('がログアウトしました'))), `tab${i} still waits`);
      }
    }
    // A new socket takes up both rooms at once, and a room it does not
    // have is refused as such.
    const back = await RawWebSocket.open(gateway.port, { localAddress: '127.0.0.6' });
    back.sendAll(names.map((room) => ({ type: 'resume', room, token: tabs[3].tokens[room], after: 0 })));
    for (const room of names) {
      await back.waitForEvent((e) => e.type === 'hello' && e.resumed && e.room === room, 10000, `${room} resumed`);
    }
    back.send({ type: 'send', room: 'attic', id: 7, text: 'x' });
    assert.equal((await back.waitForEvent((e) => e.type === 'gateway' && e.id === 7)).reason, 'room');
    back.send({ type: 'logout', room: 'lab' });
    await raws[1].waitFor(bytes('tab3', sjis('がログアウトしました')));
    assert.ok(!raws[0].received.includes(bytes('tab3', sjis('がログアウトしました'))), 'the logout reached main');
  });

  test('with 256 descriptors, 300 connections from other addresses do not keep a GET / waiting', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port, [], { descriptors: 256 });
    const host = `127.0.0.1:${gateway.port}`;
    const attackers = [];
    for (let i = 0; i < 300; i++) {
      const c = await RawClient.connect(gateway.port, { localAddress: `127.0.0.${3 + (i % 28)}` });
      // Half keep a connection alive after a request, half send half a request.
      c.send(i % 2 ? get('/', host) : `GET / HTTP/1.1\r\nHost: ${host}\r\n`);
      attackers.push(c);
    }
    const started = Date.now();
    const answer = await fetchPage(gateway.port, { localAddress: '127.0.0.2' });
    const took = Date.now() - started;
    assert.match(answer, /^HTTP\/1\.1 200/);
    assert.ok(took < 2000, `answered after ${took} ms`);
    for (const c of attackers) c.close();

    // A soft limit below the hard one is raised at start.
    const raised = await startGateway(server.port, [], { descriptors: '256:1024' });
    const limits = fs.readFileSync(`/proc/${raised.child.pid}/limits`, 'utf8');
    assert.match(limits, /Max open files\s+1024\s+1024/);
  });
});

describe('what reaches the wire', () => {
  test('binary frames close the session with 1003', async () => {
    const server = await startServer();
    const gateway = await startGateway(server.port);
    const ws = await loggedInSocket(gateway.port, 'binary');
    ws.frame(2, Buffer.from(JSON.stringify({ type: 'send', text: 'as bytes' })));
    assert.equal(await ws.closeCode(), 1003);
  });

  test('the rate limit is said as itself, not as a lost connection', async () => {
    const { gateway, raw } = await serverWithTaro();
    const ws = await loggedInSocket(gateway.port, 'hasty');
    for (let i = 0; i < 20; i++) ws.send({ type: 'reload' });
    assert.equal(await ws.closeCode(), 1008);
    const events = ws.events();
    assert.ok(events.some((e) => e.type === 'gateway' && e.reason === 'rate'));
    assert.deepEqual(events.filter((e) => e.type === 'ended'), [], 'no second, wrong reason');
    await raw.waitFor(bytes('hasty', sjis('がログアウトしました')));
  });

  test('a flood of long sends puts 20 posts on their way at most; a logout is answered at once, nothing after', async () => {
    // Above the rate, which alone lets no more than 19 posts out in 10 s;
    // and the gateway's lines held on their way, so that no record comes back.
    const server = await startServer();
    const proxy = await startProxy(server.port);
    const gateway = await startGateway(proxy.port, ['--rate-limit', '100']);
    const raw = await RawClient.connect(server.port);
    await raw.login('001002003', 'taro');
    const ws = await loggedInSocket(gateway.port, 'flood');
    proxy.hold();
    const long = 'word '.repeat(600);  // 3,000 bytes: 13 posts of 47 words (235 of the 237 bytes a post holds)
    for (const id of [1, 2, 3]) ws.send({ type: 'send', id, text: long });
    const held = await until(() => {
      const backlog = ws.events().filter((e) => e.type === 'gateway' && e.reason === 'backlog');
      return backlog.length === 2 && backlog;
    }, 10000, 'two sends held back');
    assert.deepEqual(held.map((e) => [e.id, e.count]), [[2, 20], [3, 20]], 'the page is told which');
    ws.send({ type: 'logout' });
    ws.send({ type: 'send', id: 4, text: 'after the logout' });
    await until(() => ws.events().some((e) => e.id === 4), 10000, 'the late send refused');
    proxy.release();
    const asked = Date.now();
    await ws.waitForEvent((e) => e.type === 'ended' && e.reason === 'logout', 5000, 'the logout answered');
    const answeredIn = Date.now() - asked;
    ws.send({ type: 'send', id: 5, text: 'after the end' });
    raw.send('SEND marker\r\n');
    await raw.waitFor('\ttaro\tmarker\r\n');
    const wire = raw.received.toString('latin1');
    assert.equal((wire.match(/\tflood\t/g) || []).length, 13, 'only the first send was posted');
    const logoutAt = wire.indexOf(bytes('flood', sjis('がログアウトしました')).toString('latin1'));
    assert.ok(logoutAt > wire.lastIndexOf('\tflood\t'), 'every post before the logout notice');
    assert.ok(answeredIn < 4000, `answered in ${answeredIn} ms`);
  });

  test('a detached session keeps its place among the pages and its address\'s until its page is back', async () => {
    const server = await startServer();
    for (const cap of ['--max-pages', '--max-per-address']) {
      const gateway = await startGateway(server.port, [cap, '2', '--resume-seconds', '60']);
      const first = await loggedInSocket(gateway.port, 'away');
      const { token } = await first.waitForEvent((e) => e.type === 'hello' && e.token);
      first.close();
      const other = await RawWebSocket.open(gateway.port);
      assert.equal(other.status, 101, cap);
      const refused = async () => {
        const ws = await RawWebSocket.open(gateway.port);
        if (ws.status !== 503) ws.close();  // not yet counted: let this one go again
        return ws.status === 503;
      };
      await until(refused, 5000, `the detached session counted (${cap})`);
      other.send({ type: 'resume', token, after: 0 });
      await other.waitForEvent((e) => e.resumed, 10000, 'taken up again');
      const third = await RawWebSocket.open(gateway.port);
      assert.equal(third.status, 101, `the session and its new page count once (${cap})`);
      for (const ws of [other, third]) ws.close();
    }
  });

  test('a line from the server that never ends is cut with one notice, and later records come', async () => {
    const server = await startServer();
    const proxy = await startProxy(server.port);
    const gateway = await startGateway(proxy.port);
    const raw = await RawClient.connect(server.port);
    await raw.login('001002003', 'taro');
    const ws = await loggedInSocket(gateway.port, 'endless');
    proxy.inject(bytes(Buffer.alloc(1 << 20, 'x'), '\r\n'));
    raw.send('SEND after the endless line\r\n');
    await ws.waitForEvent((e) => e.type === 'record' && e.text === 'after the endless line', 10000, 'the later record');
    const notices = ws.events().filter((e) => e.type === 'gateway');
    assert.deepEqual(notices.map((e) => [e.reason, e.count]), [['overlong', 64]]);
    assert.ok(!ws.events().some((e) => e.type === 'ended'), 'the session goes on');
  });

  test('a history that is no file is said at start and at each login, and the session goes on', async () => {
    const server = await startServer();
    const dir = `${server.dir}/not-a-file`;
    fs.mkdirSync(dir);
    const gateway = await startGateway(server.port, ['--history', dir]);
    await until(() => gateway.stderr().includes('cannot read the history'), 5000, 'the warning at start');
    const ws = await loggedInSocket(gateway.port, 'reader');
    assert.equal(ws.events().filter((e) => e.earlier).length, 0);
    const warnings = gateway.stderr().match(/cannot read the history .*not-a-file( yet)?: Is a directory/g) || [];
    assert.equal(warnings.length, 2, gateway.stderr());
  });
});
