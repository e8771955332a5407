// Sessions coming and going under the page, and the reader's scroll position.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Fixture, readPage, texts, waitFor } from './harness.mjs';

const token = 'Ss1-Aa_2Bb3Cc4Dd5Ee6Ff7Gg8Hh9Ii0J';
let fixture;
let server;

before(async () => {
  fixture = await Fixture.create('sessions');
  server = await fixture.startServer({ token });
});
after(() => fixture?.close());

test('the chosen session ending moves to the first remaining one, the last one to the help text', async () => {
  for (const name of ['a1', 'b2', 'c3']) {
    fixture.tmux.newSession(name);
    fixture.tmux.type(name, `echo screen-of-${name}`);
  }
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  await waitFor('three sessions', async () => (await readPage(page)).options.length === 3);
  await page.selectOption('#sessions', 'b2');
  await waitFor('b2 on screen', async () => (await readPage(page)).screen.includes('screen-of-b2\n'));

  // Polls with the same names leave the picker alone (an open list would otherwise close).
  await page.$eval('#sessions', (s) => { s.options[1].dataset.mark = 'kept'; });
  const polls = await page.fetched('/api/state');
  await waitFor('two more polls', async () => (await page.fetched('/api/state')) >= polls + 2);
  assert.equal(await page.$eval('#sessions', (s) => s.options[1].dataset.mark), 'kept');

  fixture.tmux.kill('b2');
  const moved = await waitFor('a1 to become current', async () => {
    const p = await readPage(page);
    return p.options.length === 2 && p.screen.includes('screen-of-a1\n') && p;
  });
  assert.deepEqual(moved.options, ['a1', 'c3']);
  assert.equal(moved.selected, 'a1');
  assert.ok(!moved.screen.includes('screen-of-b2'));

  fixture.tmux.kill('a1');
  fixture.tmux.kill('c3');
  const none = await waitFor('the help text', async () => {
    const p = await readPage(page);
    return p.emptyShown && p;
  });
  assert.ok(!none.screenShown);
  assert.deepEqual(none.options, []);
  assert.equal(none.lead, texts.emptyLead);
  assert.equal(none.conn, texts.connected);
  assert.deepEqual(none.meta, ['Caps OFF']);

  // A session started later is picked up by itself.
  fixture.tmux.newSession('later');
  await waitFor('the new session', async () => {
    const p = await readPage(page);
    return p.selected === 'later' && p.screenShown && !p.emptyShown;
  });
  await page.context().close();
});

test('scrolled up, new text leaves the view alone; at the bottom the view follows', async () => {
  fixture.tmux.newSession('log');
  fixture.tmux.type('log', 'seq 1 150');
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  await page.selectOption('#sessions', 'log');
  const view = () => page.$eval('#screen', (s) => ({
    top: s.scrollTop, bottomGap: s.scrollHeight - s.clientHeight - s.scrollTop, text: s.textContent,
  }));
  await waitFor('the long output, scrolled to its end', async () => {
    const v = await view();
    return v.text.includes('\n150\n') && v.bottomGap < 2;
  });

  await page.$eval('#screen', (s) => { s.scrollTop = 300; });
  fixture.tmux.type('log', 'echo marker-one');
  await waitFor('marker-one', async () => (await view()).text.includes('\nmarker-one\n'));
  assert.equal((await view()).top, 300);

  await page.$eval('#screen', (s) => { s.scrollTop = s.scrollHeight; });
  fixture.tmux.type('log', 'echo marker-two');
  await waitFor('marker-two', async () => (await view()).text.includes('\nmarker-two\n'));
  assert.ok((await view()).bottomGap < 2, 'the view followed the new text');
  await page.context().close();
});
