// The live terminal against real programs: a full-screen program with its cursor, a reader scrolled
// up who keeps the line and the selection, colours, and the old poll as the fallback.
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Fixture, screenshot, waitFor, waitForPage } from './harness.mjs';

let fixture;
before(async () => {
  fixture = await Fixture.create();
  fixture.tmux.newSession('colours');
  fixture.tmux.type('colours', "printf '\\e[33mYel\\e[0m \\e[1;32mBold\\e[0m \\e[38;5;196mR256\\e[m \\e[38;2;10;200;30mRGB\\e[7mRev\\e[m \\e[7mRevDef\\e[m\\n'");
  fixture.tmux.run('set-option', '-g', 'history-limit', '100'); // for the sessions made after it
});
afterEach(() => fixture.closePages());
after(() => fixture?.close());

// Colour, background and weight of the styled run with this text.
const styleOf = (page, text) => page.evaluate((text) => {
  const span = [...document.querySelectorAll('#screen span')].find((s) => s.textContent === text);
  const style = span && getComputedStyle(span);
  return span && [style.color, style.backgroundColor, style.fontWeight];
}, text);

test("vim's screen row for row, its ~ rows kept, its cursor on the character it is on", async () => {
  const file = path.join(fixture.tmux.dir, 'notes.txt');
  fs.writeFileSync(file, 'first\nab日本cd\n');
  fixture.tmux.newSession('vim', `env LANG=C.UTF-8 vim -u NONE -i NONE -N +2 ${file}`);
  const page = await fixture.watch('vim');
  fixture.tmux.run('send-keys', '-t', '=vim:', '4l'); // onto the c: four characters in, six cells
  const shown = await waitFor('the cursor on c', () => page.$eval('#screen', (e) => {
    const cursor = e.querySelector('.cur');
    return cursor?.textContent === 'c' && { alt: e.classList.contains('alt'), line: [...e.children].indexOf(cursor.parentNode),
      rows: [...e.children].map((d) => (d.hidden ? null : d.textContent.trimEnd())) };
  }));
  assert.deepEqual([shown.alt, shown.line, shown.rows.length, shown.rows.slice(0, 2), shown.rows.slice(2, 22).filter((r) => r !== '~')],
    [true, 1, 24, ['first', 'ab日本cd'], []], JSON.stringify(shown.rows));
  await screenshot(page, 'phone-vim.png');
});

test('a reader scrolled up keeps the line and the selection while output runs and history falls off', async () => {
  fixture.tmux.newSession('long');
  fixture.tmux.type('long', "seq -f 'line %g' 100");
  const page = await fixture.watch('long');
  await waitForPage(page, 'the lines', (p) => p.screen.includes('line 100\n$'));
  // The line at the top of the view and where it is, the chip, the selection, how far from the bottom.
  const reading = (first) => page.evaluate((first) => {
    const screen = document.getElementById('screen'), lines = [...screen.children];
    if (first) screen.scrollTop = lines.find((d) => d.textContent === 'line 60').offsetTop;
    if (first) getSelection().selectAllChildren(lines.find((d) => d.textContent === 'line 65'));
    const line = lines.find((d) => d.offsetTop + d.offsetHeight > screen.scrollTop);
    return { top: line.textContent, at: line.getBoundingClientRect().top, chip: !document.getElementById('newer').hidden,
      selected: getSelection().toString(), bottom: screen.scrollHeight - screen.scrollTop - screen.clientHeight > 100 };
  }, first);
  const before = await reading(true);
  fixture.tmux.type('long', "seq -f 'more %g' 60");
  await waitForPage(page, 'the new lines', (p) => p.screen.includes('more 60\n$') && !p.screen.includes('line 10\n'));
  const after = await reading();
  assert.ok(Math.abs(after.at - before.at) < 1, `moved from ${before.at} to ${after.at}`);
  assert.deepEqual([before, { ...after, at: before.at }],
    [{ top: 'line 60', at: before.at, chip: false, selected: 'line 65', bottom: true }, { ...before, chip: true }]);
  await page.click('#newer');
  assert.deepEqual(await reading().then((r) => [r.chip, r.bottom]), [false, false]);
});

test('without the live call the old poll shows the text; the colours come with the live call, once it answers', async () => {
  const page = await fixture.openPage();
  let live = 'missing';
  await page.route('**/api/sealed', (route) => {
    const inner = fixture.openRequest(route.request().postData());
    if (!inner?.target.startsWith('/api/live') || live === 'on') return route.continue();
    return live === 'down' ? route.abort() : route.continue({ postData: fixture.sealRequest({ ...inner, target: '/api/nothing-here' }) });
  });
  for (const how of ['missing', 'down']) {
    live = how;
    await page.reload();
    await page.selectOption('#sessions', 'colours');
    await waitForPage(page, `the output polled, the live call ${how}`, (p) => p.screen.includes('\nYel Bold'));
    assert.equal(await styleOf(page, 'Yel'), undefined, 'as plain text');
  }
  live = 'on';
  await waitFor('the live screen back', () => styleOf(page, 'RevDef'), { timeout: 20000 });
  const none = 'rgba(0, 0, 0, 0)';
  assert.deepEqual(await Promise.all(['Yel', 'Bold', 'R256', 'RGB', 'Rev', 'RevDef'].map((t) => styleOf(page, t))), [
    ['rgb(229, 192, 123)', none, '400'], ['rgb(127, 211, 127)', none, '700'], ['rgb(255, 0, 0)', none, '400'],
    ['rgb(10, 200, 30)', none, '400'], ['rgb(10, 18, 25)', 'rgb(10, 200, 30)', '400'], ['rgb(10, 18, 25)', 'rgb(228, 237, 243)', '400']]);
  await screenshot(page, 'phone-colours.png');
});
