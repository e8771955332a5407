// Shared pieces of the phone page's browser tests: the test server process, a private tmux server,
// headless Chromium in a phone-sized viewport, and bounded waits.
import { chromium } from 'playwright-core';
import { execFileSync, spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import readline from 'node:readline';

const chromiumFlags = [
  '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run',
  '--disable-component-update', '--disable-sync', '--disable-quic',
];
const phone = { viewport: { width: 360, height: 740 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true, locale: 'ja-JP' };

// The page's own sealing module over Debian's TweetNaCl, as the page has them built in.
const require = createRequire(import.meta.url);
export const nacl = require('/usr/share/nodejs/tweetnacl/nacl-fast.js');
export const seal = require('../../../app/phone/seal.js')(nacl);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// For the losing side of a race: it must not keep the test process alive once the race is decided.
const deadline = (ms) => new Promise((resolve) => setTimeout(resolve, ms).unref());

// Polls `condition` (sync or async) until it returns something truthy, which is handed back; fails
// with `what` and the last value seen once `timeout` has passed.
export async function waitFor(what, condition, { timeout = 10000, interval = 50 } = {}) {
  const deadline = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      last = await condition();
      if (last) return last;
    } catch (error) {
      last = error;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out after ${timeout} ms waiting for ${what}; last: ${
        last instanceof Error ? last.message : JSON.stringify(last)}`);
    }
    await sleep(interval);
  }
}

// Kept for the documentation when the run gives a place for them.
export function screenshot(page, name) {
  const dir = process.env.PHONE_TEST_SCREENSHOTS;
  return dir ? page.screenshot({ path: path.join(dir, name) }) : null;
}

// A tmux server of our own under a short private directory in /tmp (a socket path has about 100
// bytes, whatever the depth of the checkout), so neither the user's tmux nor another test file's is
// ever touched. The test server inherits the same TMUX_TMPDIR.
class Tmux {
  constructor(dir) {
    this.dir = dir;
    this.env = { ...process.env, TMUX_TMPDIR: dir };
    delete this.env.TMUX;
  }

  run(...args) {
    // -u: names and screens come back as UTF-8 whatever the locale says.
    return execFileSync('tmux', ['-u', '-f', '/dev/null', ...args], {
      env: this.env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], timeout: 10000,
    });
  }

  // A detached session running a plain bash with a short prompt (or `command` when given).
  newSession(name, command = "env PS1='$ ' bash --norc --noprofile") {
    this.run('new-session', '-d', '-s', name, '-x', '80', '-y', '24', command);
  }

  type(name, text) {
    this.run('send-keys', '-t', `=${name}:`, '-l', '--', text);
    this.run('send-keys', '-t', `=${name}:`, 'Enter');
  }

  capture(name) {
    return this.run('capture-pane', '-p', '-J', '-t', `=${name}:`);
  }

  currentCommand(name) {
    return this.run('display-message', '-p', '-t', `=${name}:`, '#{pane_current_command}').trim();
  }
}

// One per test file: a scratch directory, its tmux server, the real server and router in a process
// of their own (PhoneTestServer.cpp) with a token of its own, a browser, and the pages the tests
// open; close() ends them all.
export class Fixture {
  static async create({ battery = 76, tmuxLimitMs } = {}) {
    if (!process.env.PHONE_TEST_SERVER) throw new Error('PHONE_TEST_SERVER is not set; run these tests through ctest');
    const fixture = new Fixture(fs.mkdtempSync('/tmp/tv-'));
    try {
      await fixture.start(battery, tmuxLimitMs);
    } catch (error) {
      await fixture.close().catch(() => {});
      throw error;
    }
    return fixture;
  }

  async start(battery, tmuxLimitMs) {
    this.browser = await chromium.launch({
      executablePath: process.env.PHONE_TEST_CHROMIUM || '/usr/bin/chromium', headless: true, args: chromiumFlags,
    });
    const limit = tmuxLimitMs === undefined ? [] : [String(tmuxLimitMs)];
    const child = spawn(process.env.PHONE_TEST_SERVER, [this.token, String(battery), ...limit], {
      env: this.tmux.env, stdio: ['pipe', 'pipe', 'inherit'],
    });
    this.child = child;
    const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    // SIGTERM must end it cleanly; anything else is a fault of the server worth seeing.
    this.stopServer = async () => {
      child.kill('SIGTERM');
      const result = await Promise.race([exited, deadline(10000).then(() => null)]);
      if (result?.code === 0) return;
      child.kill('SIGKILL');
      throw new Error(result ? `test server ended with ${JSON.stringify(result)}` : 'test server outlived SIGTERM');
    };
    this.lines = readline.createInterface({ input: child.stdout });
    await Promise.race([
      new Promise((resolve) => this.lines.once('line', (line) => resolve(this.port = Number(line.slice(5))))),
      exited.then((how) => { throw new Error(`test server ended before listening: ${JSON.stringify(how)}`); }),
      deadline(15000).then(() => { throw new Error('test server did not report its port within 15 s'); }),
    ]);
  }

  constructor(root) {
    this.root = root;
    this.tmux = new Tmux(root);
    this.token = randomBytes(24).toString('base64url');
    this.contexts = [];
    this.keys = new Map(); // id → key, of the codes made and the phones paired
  }

  // Ends the pages opened so far: after each test, passed or not.
  closePages() {
    return Promise.all(this.contexts.splice(0).map((context) => context.close()));
  }

  // A line to the test server, as the menu or the command line would act, and the answer's text after
  // `answer` and a space.
  async command(line, answer) {
    const got = new Promise((resolve) => {
      const take = (text) => text.startsWith(`${answer} `) && (this.lines.off('line', take), resolve(text.slice(answer.length + 1)));
      this.lines.on('line', take);
    });
    this.child.stdin.write(`${line}\n`);
    return got;
  }

  // A fresh pairing code, "ID.KEY", as the pairing URL's "#p=" carries it.
  async pairingCode() {
    const code = await this.command('pair', 'code');
    this.keys.set(...code.split('.'));
    return code;
  }

  // The key of a sealed body, named by the id before its ".".
  keyOf(body) {
    const text = this.keys.get(body.slice(0, body.indexOf('.')));
    return text && seal.keyFromText(text);
  }

  // The inner request of a page's sealed body: { id, time, run, method, target, body }.
  openRequest(sealed) {
    const key = this.keyOf(sealed);
    const fields = key && seal.open(key, sealed.slice(sealed.indexOf('.') + 1))?.split('\n');
    return fields && { keyId: sealed.slice(0, sealed.indexOf('.')), id: fields[1], time: Number(fields[2]), run: fields[3],
      method: fields[4], target: fields[5], body: fields.slice(6).join('\n') };
  }

  // A body as the page makes it, for a test that stands in for someone holding the key.
  sealRequest({ keyId, id, time, run, method, target, body }) {
    return `${keyId}.${seal.seal(this.keyOf(`${keyId}.`), seal.request(id, time, run, method, target, body))}`;
  }

  // A fresh browser context (own storage, own clock) with one page on the server's page, paired from
  // a fresh pairing URL's "#p=" (or opened at `address` as given, unpaired). With `clock` the page's
  // timers run only when the test advances them, and its clock is months off the server's. `init`
  // runs in the page before its own scripts.
  async openPage({ address = null, clock = false, port = this.port, init = null } = {}) {
    const context = await this.browser.newContext(phone);
    this.contexts.push(context);
    const page = await context.newPage();
    page.errors = [];
    page.on('pageerror', (error) => page.errors.push(error));
    // Every call the page makes, recorded the moment it is made: a click's handler has run by the
    // time click() returns, so a test can tell at once that nothing was sent.
    await page.addInitScript(() => {
      const original = window.fetch;
      window.__testFetched = [];
      window.fetch = function (resource, init) {
        window.__testFetched.push({ path: new URL(String(resource), location.href).pathname, body: init?.body });
        return original.call(this, resource, init);
      };
    });
    // The bodies the page sent to /api/sealed, and how many calls went to `pathname` (a sealed one's
    // inner path).
    page.sealedBodies = async () =>
      (await page.evaluate(() => window.__testFetched)).filter((f) => f.path === '/api/sealed').map((f) => f.body);
    page.fetched = async (pathname) => (await page.evaluate(() => window.__testFetched)).filter((f) =>
      (f.path === '/api/sealed' ? this.openRequest(f.body)?.target.split('?')[0] : f.path) === pathname).length;
    if (init) await page.addInitScript(init);
    if (clock) {
      // Time stands still from the start: timers fire only when the test runs the clock.
      const start = Date.UTC(2026, 0, 1);
      await page.clock.install({ time: start });
      await page.clock.pauseAt(start + 1000);
    }
    if (address) {
      await page.goto(address);
      return page;
    }
    await page.goto(`http://127.0.0.1:${port}/#p=${await this.pairingCode()}`);
    page.phone = await waitFor('the key of its own', () =>
      page.evaluate(() => JSON.parse(localStorage.getItem('torvane.phone'))), { timeout: 15000 });
    this.keys.set(page.phone.id, page.phone.key);
    return page;
  }

  // openPage(options), watching `session`.
  async watch(session, options) {
    const page = await this.openPage(options);
    await page.selectOption('#sessions', session);
    await waitForPage(page, 'the session chosen', (p) => p.selected === session && p.dot === 'dot on');
    return page;
  }

  async close() {
    const results = await Promise.allSettled([this.browser?.close(), this.stopServer?.()]);
    try {
      this.tmux.run('kill-server');
    } catch {
      // no server running: nothing to end
    }
    fs.rmSync(this.root, { recursive: true, force: true });
    const failed = results.find((result) => result.status === 'rejected');
    if (failed) throw failed.reason;
  }
}

// A TCP proxy on 127.0.0.1 in front of `port` that keeps every byte going either way, and apart each
// way.
export async function recordingProxy(port) {
  const chunks = [];
  const sides = { up: [], down: [] };
  const sockets = new Set();
  const server = net.createServer((client) => {
    const upstream = net.connect(port, '127.0.0.1');
    for (const [from, to, side] of [[client, upstream, sides.up], [upstream, client, sides.down]]) {
      sockets.add(from);
      from.on('data', (chunk) => { chunks.push(chunk); side.push(chunk); to.write(chunk); });
      from.on('end', () => to.end());
      from.on('error', () => to.destroy());
      from.on('close', () => sockets.delete(from));
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    recorded: () => Buffer.concat(chunks),
    sent: () => Buffer.concat(sides.up), // by the browser
    answered: () => Buffer.concat(sides.down), // by the server
    close: () => {
      sockets.forEach((socket) => socket.destroy());
      return new Promise((resolve) => server.close(resolve));
    },
  };
}

// Every reading of `bytes` an onlooker might try: as it is, percent-decoded, and each run that looks
// like base64 (either alphabet) or hex decoded from each of its possible starts.
export function readings(bytes) {
  const raw = bytes.toString('latin1');
  const out = [bytes];
  out.push(Buffer.from(raw.replace(/\+/g, ' ').replace(/%([0-9a-fA-F]{2})/g, (m, h) => String.fromCharCode(parseInt(h, 16))), 'latin1'));
  for (const run of raw.match(/[A-Za-z0-9+/_-]{8,}=*/g) || []) {
    const plain = run.replace(/-/g, '+').replace(/_/g, '/').replace(/=+$/, '');
    for (let start = 0; start < 4; start++) out.push(Buffer.from(plain.slice(start), 'base64'));
  }
  for (const run of raw.match(/[0-9a-fA-F]{8,}/g) || []) {
    for (let start = 0; start < 2; start++) out.push(Buffer.from(run.slice(start, run.length - ((run.length - start) % 2)), 'hex'));
  }
  return out;
}

// Waits until what the page shows satisfies `condition`, and hands that reading back.
export function waitForPage(page, what, condition, options) {
  return waitFor(what, async () => {
    const shown = await readPage(page);
    return condition(shown) && shown;
  }, options);
}

// What the page shows, read in one go.
export function readPage(page) {
  return page.evaluate(() => {
    const el = (id) => document.getElementById(id);
    return {
      dot: el('dot').className,
      conn: el('conn').textContent,
      options: [...el('sessions').options].map((o) => o.textContent),
      selected: el('sessions').value,
      meta: el('meta').innerText.split('\n'),
      // Its lines as shown, without the blanks that pad them to the cursor.
      screen: [...el('screen').children].filter((d) => !d.hidden).map((d) => d.textContent.replace(/ +$/, '')).join('\n'),
      toast: el('toast').classList.contains('show') ? el('toast').textContent : null,
      input: el('input').value,
      controls: !document.querySelector('footer').hidden && !el('keys').hidden,
    };
  });
}
