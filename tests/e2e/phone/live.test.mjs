// The live terminal against real programs: colours, a full-screen program with its cursor, a reader
// scrolled up who keeps the line and the selection, whole lines unwrapped, and the old poll as fallback.
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Fixture, screenshot, waitFor, waitForPage } from './harness.mjs';

let fixture;
before(async () => {
  fixture = await Fixture.create();
  fixture.tmux.newSession('colours');
  fixture.tmux.run('set-option', '-g', 'history-limit', '100'); // for the sessions made after it
});
afterEach(() => fixture.closePages());
after(() => fixture?.close());

async function watch(name) {
  const page = await fixture.openPage();
  await page.selectOption('#sessions', name);
  await waitForPage(page, 'the session chosen', (p) => p.selected === name && p.dot === 'dot on');
  return page;
}

// Colour, background and weight of the styled run with this text.
const styleOf = (page, text) => page.evaluate((text) => {
  const span = [...document.querySelectorAll('#screen span')].find((s) => s.textContent === text);
  const style = span && getComputedStyle(span);
  return span && [style.color, style.backgroundColor, style.fontWeight];
}, text);

test('colours of the palette, the 256 and 24-bit, bold and reverse, as the program printed them', async () => {
  fixture.tmux.type('colours', "printf '\\e[33mYel\\e[0m \\e[1;32mBold\\e[0m \\e[38;5;196mR256\\e[m \\e[38;2;10;200;30mRGB\\e[7mRev\\e[m \\e[7mRevDef\\e[m\\n'");
  const page = await watch('colours');
  await waitFor('the colours', () => styleOf(page, 'RevDef'));
  const none = 'rgba(0, 0, 0, 0)';
  assert.deepEqual(await Promise.all(['Yel', 'Bold', 'R256', 'RGB', 'Rev', 'RevDef'].map((t) => styleOf(page, t))), [
    ['rgb(229, 192, 123)', none, '400'], ['rgb(127, 211, 127)', none, '700'], ['rgb(255, 0, 0)', none, '400'],
    ['rgb(10, 200, 30)', none, '400'], ['rgb(10, 18, 25)', 'rgb(10, 200, 30)', '400'], ['rgb(10, 18, 25)', 'rgb(228, 237, 243)', '400']]);
  await screenshot(page, 'phone-colours.png');
  await page.setViewportSize({ width: 844, height: 390 });
  await screenshot(page, 'phone-landscape-colours.png');
});

test("vim's screen row for row, its ~ rows and its cursor on the character it is on", async () => {
  const file = path.join(fixture.tmux.dir, 'notes.txt');
  fs.writeFileSync(file, 'first\nab日本cd\n');
  fixture.tmux.newSession('vim', `env LANG=C.UTF-8 vim -u NONE -i NONE -N +2 ${file}`);
  const page = await watch('vim');
  fixture.tmux.run('send-keys', '-t', '=vim:', '4l');
  const screen = () => page.$eval('#screen', (e) => ({
    alt: e.classList.contains('alt'), rows: [...e.children].map((d) => d.textContent),
    cursor: [...e.children].findIndex((d) => d.querySelector('.cur')), under: e.querySelector('.cur')?.textContent,
    before: e.querySelector('.cur')?.parentNode.textContent.split(e.querySelector('.cur').textContent)[0],
  }));
  const shown = await waitFor('the cursor on c', async () => ((s) => s.under === 'c' && s)(await screen()));
  assert.deepEqual({ ...shown, rows: shown.rows.slice(0, 4).concat(shown.rows.length) },
    { alt: true, rows: ['first', 'ab日本cd', '~', '~', 24], cursor: 1, under: 'c', before: 'ab日本' });
  assert.ok(shown.rows.slice(2, 22).every((r) => r.trimEnd() === '~'), JSON.stringify(shown.rows));
  await screenshot(page, 'phone-vim.png');
});

test('a reader scrolled up keeps the line and the selection while output runs and history falls off', async () => {
  fixture.tmux.newSession('long');
  fixture.tmux.type('long', "seq -f 'line %g' 100");
  const page = await watch('long');
  await waitForPage(page, 'the lines', (p) => p.screen.includes('line 100\n$'));
  const reading = () => page.evaluate(() => {
    const screen = document.getElementById('screen');
    const line = [...screen.children].find((d) => d.offsetTop + d.offsetHeight > screen.scrollTop);
    return { top: line.textContent, at: line.getBoundingClientRect().top, chip: !document.getElementById('newer').hidden,
      selected: getSelection().toString(), bottom: screen.scrollHeight - screen.scrollTop - screen.clientHeight };
  });
  await page.evaluate(() => {
    const screen = document.getElementById('screen'), line = [...screen.children].find((d) => d.textContent === 'line 80');
    screen.scrollTop = line.offsetTop;
    getSelection().selectAllChildren([...screen.children].find((d) => d.textContent === 'line 85'));
  });
  const before = await reading();
  assert.deepEqual([before.top, before.chip, before.selected], ['line 80', false, 'line 85']);
  fixture.tmux.type('long', "seq -f 'more %g' 60");
  await waitForPage(page, 'the new lines', (p) => p.screen.includes('more 60\n$') && !p.screen.includes('line 10\n'));
  const after = await reading();
  assert.ok(Math.abs(after.at - before.at) < 1, `moved from ${before.at} to ${after.at}`);
  assert.deepEqual({ ...after, at: 0, bottom: after.bottom > 100 }, { ...before, at: 0, chip: true, bottom: true });
  await page.click('#newer');
  assert.deepEqual(await reading().then((r) => [r.chip, r.bottom < 2]), [false, true]);
});

test('unwrapped, a 190-character line is one whole row the screen scrolls along', async () => {
  fixture.tmux.newSession('wide');
  fixture.tmux.type('wide', "printf 'A%.0s' $(seq 189); echo Z");
  const page = await watch('wide');
  const text = `${'A'.repeat(189)}Z`;
  const row = () => page.evaluate((text) => {
    const screen = document.getElementById('screen'), line = [...screen.children].find((d) => d.textContent === text);
    const range = document.createRange();
    if (!line) return null;
    range.selectNodeContents(line);
    return { rows: Math.round(line.offsetHeight / parseFloat(getComputedStyle(line).minHeight)),
      reach: screen.scrollWidth >= range.getBoundingClientRect().width };
  }, text);
  assert.equal((await waitFor('the long line', row)).rows > 1, true, 'wrapped first');
  await page.click('#wrap');
  assert.deepEqual(await row(), { rows: 1, reach: true });
});

test('without the live call the page polls as before; while it fails, too, until it answers again', async () => {
  fixture.tmux.newSession('old');
  fixture.tmux.type('old', "printf '\\e[31m%s\\e[m\\n' polled");
  const page = await fixture.openPage();
  let live = 'missing';
  await page.route('**/api/sealed', (route) => {
    const inner = fixture.openRequest(route.request().postData());
    if (!inner?.target.startsWith('/api/live') || live === 'on') return route.continue();
    if (live === 'down') return route.abort();
    return route.continue({ postData: fixture.sealRequest({ ...inner, target: '/api/nothing-here' }) });
  });
  for (const how of ['missing', 'down']) {
    live = how;
    await page.reload();
    await page.selectOption('#sessions', 'old');
    await waitForPage(page, `the output polled, the live call ${how}`, (p) => p.screen.includes('\npolled'));
    assert.equal(await styleOf(page, 'polled'), undefined, 'as plain text');
  }
  live = 'on';
  assert.deepEqual(await waitFor('the live screen back', () => styleOf(page, 'polled'), { timeout: 20000 }),
    ['rgb(224, 112, 92)', 'rgba(0, 0, 0, 0)', '400']);
});
