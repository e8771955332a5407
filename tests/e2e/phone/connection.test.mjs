// The connection look: a missing or wrong token, a server that stops answering, and polling that
// pauses while the page is hidden.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Fixture, readPage, texts, waitFor } from './harness.mjs';

const token = 'Cn5-Pl_9mKjHgFdSaQwErTyUiOp1Zx2C';
let fixture;
let server;

before(async () => {
  fixture = await Fixture.create('connection');
  fixture.tmux.newSession('work');
  server = await fixture.startServer({ token, battery: 55 });
});
after(() => fixture?.close());

test('without a token the page keeps retrying, counting, over the help text', async () => {
  const page = await fixture.openPage(server.url('/'));
  for (const n of [1, 2, 3]) {
    await waitFor(`attempt ${n}`, async () => (await readPage(page)).conn === `再接続中… (${n})`);
  }
  const shown = await readPage(page);
  assert.equal(shown.dot, 'dot off');
  assert.equal(shown.dotColour, 'rgb(224, 112, 92)');
  assert.ok(shown.emptyShown && !shown.screenShown);
  assert.equal(shown.lead, texts.emptyLead);
  assert.deepEqual(shown.options, []);
  const sent = page.requests.filter((r) => r.url().endsWith('/api/state')).map((r) => r.headers()['x-token']);
  assert.ok(sent.length >= 3 && sent.every((value) => value === ''), JSON.stringify(sent));
  await page.context().close();
});

test('a wrong token reads as a lost connection, and the right one recovers', async () => {
  const wrong = await fixture.openPage(server.url('/?t=not-the-token'));
  await waitFor('attempt 2', async () => (await readPage(wrong)).conn === '再接続中… (2)');
  assert.ok(wrong.requests.some((r) => r.url().endsWith('/api/state') && r.headers()['x-token'] === 'not-the-token'));
  await wrong.context().close();

  const right = await fixture.openPage(server.url(`/?t=${token}&from=qr`));
  const shown = await waitFor('connected', async () => {
    const p = await readPage(right);
    return p.dot === 'dot on' && p.options.length && p;
  });
  assert.equal(shown.conn, texts.connected);
  await right.context().close();
});

test('a server that stops answering is noticed, and its return too', async () => {
  const page = await fixture.openPage(server.url(`/?t=${token}`), { clock: true });
  // The whole first refresh (state, then screen) must be over before the server stops answering.
  await waitFor('the first refresh', async () => (await readPage(page)).screen.includes('$'));
  const statesBefore = await page.fetched('/api/state');

  server.freeze();
  try {
    // Polls keep coming while the first unanswered one hangs: none of them may start another.
    for (let i = 0; i < 5; i++) await page.clock.runFor(2000);
    assert.equal(await page.fetched('/api/state'), statesBefore + 1);
    assert.equal((await readPage(page)).conn, texts.connected);
    // The hung request (made 8 s ago) is given up after 15 s and shows as a lost connection.
    await page.clock.runFor(4000);
    assert.equal((await readPage(page)).conn, texts.connected);
    await page.clock.runFor(3000);
    await waitFor('the lost connection', async () => (await readPage(page)).conn === '再接続中… (1)');
  } finally {
    server.thaw();
  }
  await page.clock.runFor(2000);
  await waitFor('connected again', async () => (await readPage(page)).conn === texts.connected);
  await page.context().close();
});

test('a hidden page fetches nothing and refreshes at once when shown again', async () => {
  const page = await fixture.openPage(server.url(`/?t=${token}`), { clock: true, visibility: true });
  await waitFor('connected', async () => (await readPage(page)).screen.includes('$'));
  await page.clock.runFor(2000);
  const afterOnePoll = await page.fetched('/api/state');
  assert.equal(afterOnePoll, 2, 'one poll every 2 s while visible');
  await waitFor('that poll to finish', async () => (await page.fetched('/api/capture')) === 2);

  await page.evaluate(() => window.__testSetHidden(true));
  await page.clock.runFor(20000);
  assert.equal(await page.fetched('/api/state'), afterOnePoll);
  assert.equal(await page.fetched('/api/capture'), afterOnePoll);

  await page.evaluate(() => window.__testSetHidden(false));
  assert.equal(await page.fetched('/api/state'), afterOnePoll + 1);
  await waitFor('the refresh to finish', async () => (await page.fetched('/api/capture')) === afterOnePoll + 1);
  await page.context().close();
});
