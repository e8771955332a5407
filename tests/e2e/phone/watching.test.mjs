// Watching: the page lists the tmux sessions, shows the chosen pane and the Mac's state.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { Fixture, readPage, texts, waitFor } from './harness.mjs';

const token = 'Wt0-kN_3xQ9vLr7ZpA2sYc5DhE8uJb4M';
let fixture;
let server;

before(async () => {
  fixture = await Fixture.create('watching');
  server = await fixture.startServer({ token, battery: 76 });
});
after(() => fixture?.close());

function screenshot(page, name) {
  const dir = process.env.PHONE_TEST_SCREENSHOTS;
  return dir ? page.screenshot({ path: path.join(dir, name) }) : null;
}

test('with no session the help text shows and the connection is up', async () => {
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  const shown = await waitFor('the first state', async () => {
    const p = await readPage(page);
    return p.dot === 'dot on' && p;
  });
  assert.equal(shown.conn, texts.connected);
  assert.equal(shown.lead, texts.emptyLead);
  assert.ok(shown.emptyShown && !shown.screenShown);
  assert.deepEqual(shown.options, []);
  assert.deepEqual(shown.meta, ['76%', 'Caps OFF']);
  await screenshot(page, 'phone-empty.png');
  await page.context().close();
});

test('with the token it lists the sessions, shows the chosen pane and the state', async () => {
  fixture.tmux.newSession('alpha');
  fixture.tmux.type('alpha', "printf 'alpha:%s\\n' 準備完了");
  fixture.tmux.newSession('beta', "bash -c 'echo beta-screen; exec sleep 1000'");
  await waitFor('the shell in alpha to answer', () => fixture.tmux.capture('alpha').includes('alpha:準備完了'));

  const page = await fixture.openPage(server.url(`/?t=${token}`));
  const watching = await waitFor('alpha on screen', async () => {
    const p = await readPage(page);
    return p.screen.includes('alpha:準備完了') && p;
  });
  assert.deepEqual(watching.options, ['alpha', 'beta']);
  assert.equal(watching.selected, 'alpha');
  assert.deepEqual(watching.meta, ['待機中', '76%', 'Caps OFF']);
  assert.equal(watching.dot, 'dot on');
  assert.equal(watching.dotColour, 'rgb(127, 211, 127)');
  assert.equal(watching.conn, texts.connected);
  assert.ok(watching.screenShown && !watching.emptyShown);

  await page.fill('#input', '進捗を教えて');
  await screenshot(page, 'phone-watching.png');
  await page.fill('#input', '');

  await page.selectOption('#sessions', 'beta');
  const beta = await waitFor('beta on screen', async () => {
    const p = await readPage(page);
    return p.screen.includes('beta-screen') && p.meta[0] === '作業中（sleep）' && p;
  });
  assert.ok(!beta.screen.includes('alpha:準備完了'));
  assert.deepEqual(beta.meta, ['作業中（sleep）', '76%', 'Caps OFF']);

  // Self-contained: everything the page asked for went to the server that served it.
  const origins = new Set(page.requests.map((r) => new URL(r.url()).origin));
  assert.deepEqual([...origins], [server.url('').replace(/\/$/, '')]);
  assert.deepEqual(page.errors, []);
  await page.context().close();
});

test('the meta shows the battery only when known, the charger and Caps Lock on', async () => {
  const charging = await fixture.startServer({ token, battery: 40, onAC: true, capsLock: true });
  const noBattery = await fixture.startServer({ token });

  const first = await fixture.openPage(charging.url(`/?t=${token}`));
  await waitFor('meta with charger and Caps ON', async () => {
    const p = await readPage(first);
    return JSON.stringify(p.meta) === JSON.stringify(['待機中', '40% ⚡', 'Caps ON']);
  });
  const second = await fixture.openPage(noBattery.url(`/?t=${token}`));
  await waitFor('meta without battery', async () => {
    const p = await readPage(second);
    return JSON.stringify(p.meta) === JSON.stringify(['待機中', 'Caps OFF']);
  });
  await first.context().close();
  await second.context().close();
});

test('without tmux on the machine the help text says so', async () => {
  const noTmux = await fixture.startServer({ token, tmux: false });
  const page = await fixture.openPage(noTmux.url(`/?t=${token}`));
  const shown = await waitFor('the missing-tmux line', async () => {
    const p = await readPage(page);
    return p.lead === 'Mac に tmux が入っていません。' && p;
  });
  assert.ok(shown.emptyShown && !shown.screenShown);
  assert.deepEqual(shown.options, []);
  assert.equal(shown.conn, texts.connected);
  await page.context().close();
});
