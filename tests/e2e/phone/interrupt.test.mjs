// 停止: confirmation, a real interrupt of a running command, and the failure notice.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Fixture, readPage, texts, waitFor } from './harness.mjs';

const token = 'In8-Rr_2bNmQwE5tY7uI0oPaSdFgHjKl';
let fixture;
let server;

before(async () => {
  fixture = await Fixture.create('interrupt');
  fixture.tmux.newSession('job');
  fixture.tmux.newSession('spare');
  server = await fixture.startServer({ token });
});
after(() => fixture?.close());

async function startSleep() {
  fixture.tmux.type('job', 'sleep 1000');
  await waitFor('sleep to run in the pane', () => fixture.tmux.currentCommand('job') === 'sleep');
}

test('停止 asks first and, declined, sends nothing', async () => {
  await startSleep();
  const page = await fixture.openPage(server.url(`/?t=${token}`), { clock: true });
  await waitFor('the job chosen', async () => (await readPage(page)).meta[0] === '作業中（sleep）');
  const asked = [];
  page.once('dialog', (dialog) => {
    asked.push([dialog.type(), dialog.message()]);
    dialog.dismiss();
  });
  await page.click('#stop');
  assert.deepEqual(asked, [['confirm', texts.confirmStop]]);
  assert.equal(await page.fetched('/api/interrupt'), 0);
  assert.equal(fixture.tmux.currentCommand('job'), 'sleep');
  await page.context().close();
});

test('停止, accepted, interrupts the running command', async () => {
  if (fixture.tmux.currentCommand('job') !== 'sleep') await startSleep();
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  await waitFor('the job chosen', async () => (await readPage(page)).meta[0] === '作業中（sleep）');
  page.once('dialog', (dialog) => dialog.accept());
  await page.click('#stop');
  await waitFor('the toast', async () => (await readPage(page)).toast === texts.stopped);
  await waitFor('the shell back in the pane', () => fixture.tmux.currentCommand('job') === 'bash');
  // The page catches up shortly after, without waiting for a poll.
  await waitFor('the status on the page', async () => (await readPage(page)).meta[0] === '待機中');
  await page.context().close();
});

test('an interrupt the server cannot carry out shows its failure', async () => {
  // The clock holds the polls back, so the page still offers the session after it is gone and the
  // server's tmux call really fails.
  fixture.tmux.newSession('doomed');
  const page = await fixture.openPage(server.url(`/?t=${token}`), { clock: true });
  await waitFor('the picker filled', async () => (await readPage(page)).options.includes('doomed'));
  await page.selectOption('#sessions', 'doomed');
  // Choosing clears the screen and refreshes; its prompt back on screen means that refresh is over,
  // so no answer listing the session as gone can arrive afterwards.
  await waitFor('doomed on screen', async () => (await readPage(page)).screen.includes('$'));
  fixture.tmux.kill('doomed');

  const answers = [];
  page.on('response', (r) => answers.push([new URL(r.url()).pathname, r.status()]));
  page.once('dialog', (dialog) => dialog.accept());
  await page.click('#stop');
  await waitFor('the failure toast', async () => (await readPage(page)).toast === texts.stopFailed);
  assert.deepEqual(answers.filter(([p]) => p === '/api/interrupt'), [['/api/interrupt', 500]]);
  await page.context().close();
});
