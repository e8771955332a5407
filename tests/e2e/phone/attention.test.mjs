// Sessions that need the user, against real programs: the picker's order and marks, the banner, the
// count in the title, and one beep and one buzz for a wait that begins, even with the page hidden.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Fixture, screenshot, waitFor, waitForPage } from './harness.mjs';

const ASK = `bash -c 'read -p "Continue? [y/N] " a'`;
let fixture;
before(async () => {
  fixture = await Fixture.create();
  for (const [name, command] of [['ask'], ['idle'], ['ticker', "bash -c 'while :; do date; sleep 1; done'"]]) fixture.tmux.newSession(name, command);
});
after(() => fixture?.close());

// Beeps and buzzes counted instead of made.
function counting() {
  const told = (window.__told = [0, 0]), param = { setValueAtTime() {}, exponentialRampToValueAtTime() {} };
  navigator.vibrate = () => ++told[1];
  const node = { frequency: param, gain: param, connect() {}, stop() {}, start: () => told[0]++ };
  window.AudioContext = class { createOscillator = () => node; createGain = () => node; };
}

test('a wait begun, even hidden: first in the picker, a banner with its last line, the count, one beep and buzz unless turned off', async () => {
  const page = await fixture.watch('ticker', { init: counting });
  // Beeps, buzzes, the title, and the banner's last line while it shows.
  const told = () => page.evaluate(() => [...window.__told, document.title,
    !document.getElementById('alert').hidden && document.getElementById('alert-lines').textContent.trimEnd().split('\n').pop()]);
  const asked = () => waitFor('the wait told', async () => (await told())[3] === 'Continue? [y/N]' && told(), { timeout: 15000 });
  const setHidden = (hidden) => page.evaluate((hidden) => Object.defineProperty(document, 'hidden', { value: hidden, configurable: true })
    .dispatchEvent(new Event('visibilitychange')), hidden);
  await page.click('#conn'); // browsers allow no sound before a tap
  await waitForPage(page, 'the marks', (p) => p.options.join() === '● ticker,○ ask,○ idle', { timeout: 15000 });
  await setHidden(true);
  fixture.tmux.type('ask', ASK);
  assert.deepEqual(await asked(), [1, 1, '(1) Torvane', 'Continue? [y/N]']);
  await setHidden(false);
  // Sorted, never switched.
  await waitForPage(page, 'ask first, ticker watched', (p) => p.options.join() === '◆ ask,● ticker,○ idle' && p.selected === 'ticker');
  await screenshot(page, 'phone-waiting.png');
  fixture.tmux.type('ask', 'y');
  await waitForPage(page, 'the wait over', (p) => p.options.join() === '● ticker,○ ask,○ idle', { timeout: 15000 });
  assert.deepEqual(await told(), [1, 1, 'Torvane', false]);

  // Both turned off, which the phone remembers: the next wait only shows, and 開く watches it.
  for (const button of ['#sound', '#buzz', null, '#conn']) await (button ? page.click(button) : page.reload());
  fixture.tmux.type('ask', ASK);
  assert.deepEqual(await asked(), [0, 0, '(1) Torvane', 'Continue? [y/N]']);
  await page.click('#alert-open');
  await waitForPage(page, 'ask watched', (p) => p.selected === 'ask' && p.screen.includes('Continue? [y/N]'));
  assert.equal(await page.$eval('#alert', (e) => e.hidden), true);
  fixture.tmux.type('ask', 'y');
  await waitFor('the count gone', async () => (await told())[2] === 'Torvane', { timeout: 15000 });
  assert.deepEqual(page.errors, []);
});
