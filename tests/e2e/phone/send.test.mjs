// Typing an instruction into the chosen session, and what the user sees when it cannot be sent.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Fixture, readPage, texts, waitFor } from './harness.mjs';

const token = 'Sd4-Tq_7wErYuI1oP9aSdF2gH6jK3lZx';
let fixture;
let server;

before(async () => {
  fixture = await Fixture.create('send');
  fixture.tmux.newSession('work');
  server = await fixture.startServer({ token });
});
after(() => fixture?.close());

async function watching(page) {
  await waitFor('the session on screen', async () => (await readPage(page)).screen.includes('$'));
}

test('送信 types the text into the session, presses Enter and confirms', async () => {
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  await watching(page);

  // Characters that a form body or a shell must not mangle: & = + % and a leading dash.
  const text = "printf '[%s]\\n' '-n 日本語 & a=b+c 100%'";
  await page.fill('#input', text);
  await page.click('#send');
  await waitFor('the toast', async () => (await readPage(page)).toast === texts.sent);
  assert.equal((await readPage(page)).input, '');

  // Enter was pressed: the shell ran the line and printed its argument back.
  await waitFor('the output in tmux', () => fixture.tmux.capture('work').includes('[-n 日本語 & a=b+c 100%]'));
  // ...and the page follows a moment later without waiting for the next poll.
  await waitFor('the output on the page', async () =>
    (await readPage(page)).screen.includes('[-n 日本語 & a=b+c 100%]'));
  await page.context().close();
});

test('the text area grows with its content up to its limit and shrinks after sending', async () => {
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  await watching(page);
  const height = () => page.$eval('#input', (e) => e.getBoundingClientRect().height);
  const oneLine = await height();
  await page.fill('#input', 'echo one\\\ntwo');
  const twoLines = await height();
  assert.ok(twoLines > oneLine + 10, `two lines ${twoLines} should be taller than one ${oneLine}`);
  await page.fill('#input', Array.from({ length: 12 }, (_, i) => `echo ${i} \\`).join('\n') + '\necho end');
  assert.equal(await height(), 128);
  await page.click('#send');
  await waitFor('the toast', async () => (await readPage(page)).toast === texts.sent);
  assert.equal(await height(), oneLine);
  await page.context().close();
});

test('an empty input sends nothing', async () => {
  const page = await fixture.openPage(server.url(`/?t=${token}`), { clock: true });
  await watching(page);
  const before = fixture.tmux.capture('work');
  await page.click('#send');
  assert.equal(await page.fetched('/api/send'), 0);
  assert.equal((await readPage(page)).toast, null);
  assert.equal(fixture.tmux.capture('work'), before);
  await page.context().close();
});

test('with the server gone the text stays and the failure shows', async () => {
  const own = await fixture.startServer({ token });
  const page = await fixture.openPage(own.url(`/?t=${token}`));
  await watching(page);
  await own.stop();

  await page.fill('#input', 'echo 残しておく');
  await page.click('#send');
  const shown = await waitFor('the failure toast', async () => {
    const p = await readPage(page);
    return p.toast === texts.sendFailed && p;
  });
  assert.equal(shown.input, 'echo 残しておく');
  assert.equal(shown.dot, 'dot off');
  assert.match(shown.conn, /^再接続中… \(\d+\)$/);
  assert.equal(await page.$eval('#send', (b) => b.disabled), false);
  assert.ok(!fixture.tmux.capture('work').includes('残しておく'));
  await page.context().close();
});
