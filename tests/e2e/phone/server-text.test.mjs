// Names, command names and screen text come from whatever runs in tmux: the page must show them
// as they are, never run them, and address the right session whatever its name holds.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Fixture, readPage, texts, waitFor } from './harness.mjs';

const token = 'Xs7-Qq_1Ww2Ee3Rr4Tt5Yy6Uu7Ii8Oo9P';
let fixture;
let server;

before(async () => {
  fixture = await Fixture.create('server-text');
  server = await fixture.startServer({ token });
});
after(() => fixture?.close());

test('markup in a session name, its command name and its screen is shown literally', async () => {
  // tmux cuts a command name at its first space, so this one does without spaces; it is still
  // markup that runs its handler when parsed. tmux turns dots in session names into "_", hence no
  // "window." there (a handler's plain assignment makes a global all the same).
  const command = '<img/src/onerror=window.__fromCommand=1>';
  const name = '<img src=x onerror=__fromName=1>';
  const screenLine = '<img src=x onerror=window.__fromScreen=1><b>not bold</b>';
  fixture.tmux.newSession(name,
    `bash -c 'printf "%s\\n" "${screenLine}"; exec -a "${command}" sleep 1000'`);
  await waitFor('the renamed command', () => fixture.tmux.currentCommand(name) === command);

  const page = await fixture.openPage(server.url(`/?t=${token}`));
  const shown = await waitFor('the session on the page', async () => {
    const p = await readPage(page);
    return p.screen.includes(screenLine) && p;
  });
  assert.deepEqual(shown.options, [name]);
  assert.equal(shown.meta[0], `作業中（${command}）`);

  const dom = await page.evaluate(() => ({
    images: document.querySelectorAll('img').length,
    screenChildren: document.getElementById('screen').children.length,
    metaChildren: [...document.getElementById('meta').children].map((e) => e.tagName),
    optionChildren: document.querySelector('#sessions option').children.length,
    ran: [window.__fromCommand, window.__fromName, window.__fromScreen],
  }));
  assert.deepEqual(dom, {
    images: 0, screenChildren: 0, metaChildren: ['BR'], optionChildren: 0, ran: [undefined, undefined, undefined],
  });
  assert.deepEqual(page.errors, []);
  fixture.tmux.kill(name);
  await page.context().close();
});

test('a name with URL-significant characters reaches its own session', async () => {
  const name = 'a&s=b+c 100%#x';
  fixture.tmux.newSession('a');
  fixture.tmux.newSession(name);
  fixture.tmux.type(name, 'echo this-is-the-odd-one');
  const page = await fixture.openPage(server.url(`/?t=${token}`));
  await waitFor('both sessions', async () => (await readPage(page)).options.includes(name));
  await page.selectOption('#sessions', name);
  await waitFor('its screen', async () => (await readPage(page)).screen.includes('this-is-the-odd-one\n'));

  await page.fill('#input', 'echo typed-into-the-odd-one');
  await page.click('#send');
  await waitFor('the toast', async () => (await readPage(page)).toast === texts.sent);
  await waitFor('the text in that session', () =>
    fixture.tmux.capture(name).includes('\ntyped-into-the-odd-one\n'));
  assert.ok(!fixture.tmux.capture('a').includes('typed-into'));
  await page.context().close();
});
