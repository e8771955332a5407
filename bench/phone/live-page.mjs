// The live screen as a phone sees it: real server (phone_test_server), real tmux in a private
// directory, the real page in headless Chromium at 360×740.
//   - output printed in the pane → on the page: a program prints "mark N T" (T: the wall clock in ms
//     when printed) at random moments; the page notes when each mark shows up in its screen;
//   - CPU of the server and the tmux server (utime + stime from /proc) with one page watching an idle
//     pane, and a pane printing 20 lines/s; then with the page closed;
//   - the page's size, and the first screen after opening the address.
//
//   PHONE_TEST_SERVER=build/release/tests/e2e/phone/phone_test_server \
//     node bench/phone/live-page.mjs [SECONDS-PER-CPU-RUN=60] [MARKS=60]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import zlib from 'node:zlib';
import { Fixture, waitFor } from '../../tests/e2e/phone/harness.mjs';

const seconds = Number(process.argv[2] || 60);
const marks = Number(process.argv[3] || 60);
// CPU time in seconds: the threads' run time in ns (schedstat), finer than the clock ticks of stat;
// plus the ticks of threads that have ended.
const hz = Number(execFileSync('getconf', ['CLK_TCK']).toString());
const cpu = (pid) => {
  let ns = 0;
  for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
    try {
      ns += Number(fs.readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').split(' ')[0]);
    } catch {
      // ended meanwhile
    }
  }
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return ns / 1e9 + (Number(f[13]) + Number(f[14])) / hz; // cutime + cstime: children reaped
};
// The process and its children alive now (the app's tmux control clients among them).
const cpuTree = (pid) => {
  let total = cpu(pid);
  for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
    let children = '';
    try {
      children = fs.readFileSync(`/proc/${pid}/task/${task}/children`, 'utf8');
    } catch {
      // ended meanwhile
    }
    for (const child of children.split(' ').filter(Boolean)) {
      try {
        total += cpuTree(Number(child));
      } catch {
        // ended meanwhile
      }
    }
  }
  return total;
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const sorted = (values) => [...values].sort((a, b) => a - b);
const at = (values, q) => sorted(values)[Math.min(values.length - 1, Math.floor(values.length * q))];

const fixture = await Fixture.create();
try {
  const control = `${fixture.root}/mode`;
  fs.writeFileSync(control, 'idle');
  // The pane's program: quiet, 20 lines/s, or a mark now and then, as the control file says.
  const printer = `import time, random, os
n = 0
while True:
    mode = open(${JSON.stringify(control)}).read().strip()
    if mode == 'busy':
        n += 1; print(f'line {n} ' + 'x' * 60, flush=True); time.sleep(0.05)
    elif mode == 'marks':
        n += 1; print(f'mark {n} {int(time.time() * 1000)}', flush=True); time.sleep(random.uniform(0.3, 0.8))
    else:
        time.sleep(0.2)
`;
  fs.writeFileSync(`${fixture.root}/printer.py`, printer);
  fixture.tmux.newSession('work', `python3 ${fixture.root}/printer.py`);
  const serverPid = fixture.child.pid;
  const tmuxPid = Number(fixture.tmux.run('display-message', '-p', '#{pid}').trim());

  const page = await fixture.openPage();
  await page.selectOption('#sessions', 'work').catch(() => {});
  await waitFor('the page to watch the session', () => page.evaluate(() => !!document.getElementById('screen')), { timeout: 15000 });

  // Page size, as served.
  const raw = await (await fetch(`http://127.0.0.1:${fixture.port}/`)).arrayBuffer();
  const gz = zlib.gzipSync(Buffer.from(raw), { level: 9 }).length;
  console.log(`page: ${(raw.byteLength / 1024).toFixed(1)} KB raw, ${(gz / 1024).toFixed(1)} KB gzip (level 9; the server's own gzip may differ a little)`);

  // Latency: the page notes the moment each mark appears.
  await page.evaluate(() => {
    window.__marks = {};
    const screen = document.getElementById('screen');
    const look = () => {
      const now = Date.now();
      for (const m of screen.textContent.matchAll(/mark (\d+) (\d+)/g)) {
        if (!(m[1] in window.__marks)) window.__marks[m[1]] = now - Number(m[2]);
      }
    };
    new MutationObserver(look).observe(screen, { childList: true, subtree: true, characterData: true });
  });
  fs.writeFileSync(control, 'marks');
  const seen = await waitFor(`${marks} marks`, async () => {
    const got = await page.evaluate(() => window.__marks);
    return Object.keys(got).length >= marks + 2 && got;
  }, { timeout: marks * 2000 + 30000, interval: 500 });
  // The first two may predate the observer's first look.
  const delays = Object.entries(seen).sort((a, b) => a[0] - b[0]).slice(2).map(([, d]) => d);
  console.log(`printed → on the page: median ${at(delays, 0.5)} ms, p90 ${at(delays, 0.9)} ms, max ${Math.max(...delays)} ms (${delays.length} marks)`);

  const measure = async (label, mode) => {
    fs.writeFileSync(control, mode);
    await sleep(3000);
    const s0 = cpuTree(serverPid), t0 = cpu(tmuxPid), w0 = performance.now();
    await sleep(seconds * 1000);
    const wall = (performance.now() - w0) / 1000;
    const s = cpuTree(serverPid) - s0, t = cpu(tmuxPid) - t0;
    console.log(`${label}: server and its tmux clients ${(100 * s / wall).toFixed(3)} %, tmux ${(100 * t / wall).toFixed(3)} %, together ${(100 * (s + t) / wall).toFixed(3)} % of a core over ${wall.toFixed(0)} s`);
  };
  await measure('one page watching an idle pane', 'idle');
  await measure('one page watching 20 lines/s', 'busy');

  // First screen: a reload of a paired page until the pane's text shows.
  fs.writeFileSync(control, 'idle');
  const firsts = [];
  for (let i = 0; i < 10; i += 1) {
    const t0 = performance.now();
    await page.reload();
    await waitFor('the screen after a reload', () => page.evaluate(() => /line \d+|mark \d+/.test(document.getElementById('screen')?.textContent || '')), { timeout: 10000, interval: 5 });
    firsts.push(performance.now() - t0);
  }
  console.log(`first screen after opening: median ${at(firsts, 0.5).toFixed(0)} ms, max ${Math.max(...firsts).toFixed(0)} ms (10 reloads)`);

  await fixture.closePages();
  // The watched session is let go 30 s after the last ask, which a held long poll (15 s) renews.
  await sleep(50000);
  const clients = fixture.tmux.run('list-clients', '-F', '#{client_control_mode}').trim();
  console.log(`page closed: control clients left: ${clients === '' ? 'none' : clients.split('\n').length}`);
  await measure('no page', 'busy');
} finally {
  await fixture.close();
}
