// Shared pieces of the phone page's browser tests: the test server process, a private tmux server,
// headless Chromium in a phone-sized viewport, and bounded waits.
import { chromium } from 'playwright-core';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import readline from 'node:readline';

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set; run these tests through ctest`);
  return value;
}

const chromiumPath = process.env.PHONE_TEST_CHROMIUM || '/usr/bin/chromium';
const chromiumFlags = [
  '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run',
  '--disable-component-update', '--disable-sync', '--disable-quic',
];

export const phone = {
  viewport: { width: 360, height: 740 },
  deviceScaleFactor: 2,
  isMobile: true,
  hasTouch: true,
  locale: 'ja-JP',
};

export const texts = {
  connected: '接続中',
  sent: '送信しました',
  sendFailed: '送れませんでした。もう一度お試しください',
  confirmStop: '実行中の処理を中断します。よろしいですか？',
  stopped: '中断しました',
  lostToken: '合言葉が変わりました。QRコードを読み直してください',
};

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

// A tmux server of our own under a short private directory in /tmp (a socket path has about 100
// bytes, whatever the depth of the checkout), so neither the user's tmux nor another test file's is
// ever touched. The test server inherits the same TMUX_TMPDIR.
export class Tmux {
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
  newSession(name, command) {
    const shell = command ?? "env PS1='$ ' bash --norc --noprofile";
    this.run('new-session', '-d', '-s', name, '-x', '80', '-y', '24', shell);
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

  kill(name) {
    this.run('kill-session', '-t', `=${name}`);
  }

  killServer() {
    try {
      this.run('kill-server');
    } catch {
      // no server running: nothing to end
    }
  }
}

// The real server and router in a process of their own (tests/e2e/phone/PhoneTestServer.cpp).
export class TestServer {
  static async start(fixture, { token, battery = null }) {
    const args = battery === null ? [token] : [token, String(battery)];
    const child = spawn(required('PHONE_TEST_SERVER'), args, {
      env: fixture.tmux.env, stdio: ['ignore', 'pipe', 'inherit'],
    });
    const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    const lines = readline.createInterface({ input: child.stdout });
    const port = await Promise.race([
      new Promise((resolve) => lines.on('line', (line) => {
        const match = /^port (\d+)$/.exec(line);
        if (match) resolve(Number(match[1]));
      })),
      exited.then(({ code, signal }) => {
        throw new Error(`test server ended before listening (status ${code}, signal ${signal})`);
      }),
      deadline(15000).then(() => { throw new Error('test server did not report its port within 15 s'); }),
    ]);
    const server = new TestServer(child, port, exited);
    fixture.servers.push(server);
    return server;
  }

  constructor(child, port, exited) {
    this.child = child;
    this.port = port;
    this.exited = exited;
    this.running = true;
  }

  url(target = '/') {
    return `http://127.0.0.1:${this.port}${target}`;
  }

  // SIGTERM must end it cleanly; anything else is a fault of the server worth seeing.
  async stop() {
    if (!this.running) return;
    this.running = false;
    this.child.kill('SIGTERM');
    const result = await Promise.race([this.exited, deadline(10000).then(() => null)]);
    if (result === null) {
      this.child.kill('SIGKILL');
      throw new Error('test server did not end within 10 s of SIGTERM');
    }
    if (result.code !== 0) {
      throw new Error(`test server ended with status ${result.code}, signal ${result.signal}`);
    }
  }
}

// One per test file: a scratch directory, its tmux server, a browser, and whatever servers and
// pages the tests open; close() ends them all.
export class Fixture {
  static async create() {
    const fixture = new Fixture(fs.mkdtempSync('/tmp/tv-'));
    fixture.browser = await chromium.launch({
      executablePath: chromiumPath, headless: true, args: chromiumFlags,
    });
    return fixture;
  }

  constructor(root) {
    this.root = root;
    this.tmux = new Tmux(root);
    this.servers = [];
    this.browser = null;
  }

  startServer(options) {
    return TestServer.start(this, options);
  }

  // A fresh browser context (own storage, own clock) with one page. With `clock` the page's timers
  // run only when the test advances them.
  async openPage(url, { clock = false } = {}) {
    const context = await this.browser.newContext(phone);
    const page = await context.newPage();
    page.errors = [];
    page.on('pageerror', (error) => page.errors.push(error));
    // Every call the page makes to fetch, recorded the moment it is made: a click's handler has run
    // by the time click() returns, so a test can tell at once that nothing was sent.
    await page.addInitScript(() => {
      const fetched = [];
      const original = window.fetch;
      window.__testFetched = fetched;
      window.fetch = function (resource, init) {
        fetched.push(new URL(String(resource), location.href).pathname);
        return original.call(this, resource, init);
      };
    });
    page.fetched = async (pathname) =>
      (await page.evaluate(() => window.__testFetched)).filter((p) => p === pathname).length;
    if (clock) {
      // Time stands still from the start: timers fire only when the test runs the clock.
      const start = Date.UTC(2026, 0, 1);
      await page.clock.install({ time: start });
      await page.clock.pauseAt(start + 1000);
    }
    await page.goto(url);
    return page;
  }

  async close() {
    const errors = [];
    if (this.browser) await this.browser.close().catch((e) => errors.push(e));
    for (const server of this.servers) await server.stop().catch((e) => errors.push(e));
    this.tmux.killServer();
    fs.rmSync(this.root, { recursive: true, force: true });
    if (errors.length) throw errors[0];
  }
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
      screen: el('screen').textContent,
      toast: el('toast').classList.contains('show') ? el('toast').textContent : null,
      input: el('input').value,
    };
  });
}
