// Watching: the sessions, the chosen pane as text (never markup), the view on a phone; pairing,
// revoking and old bookmarks.
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { Fixture, readings, recordingProxy, screenshot, waitFor, waitForPage } from './harness.mjs';

let fixture;
before(async () => {
  fixture = await Fixture.create({ battery: 76, tmuxLimitMs: 3000 });
});
afterEach(() => fixture.closePages());
after(() => fixture?.close());

test('it lists the sessions and shows the chosen pane without its blank rows, prompt at the bottom', async () => {
  fixture.tmux.newSession('alpha');
  fixture.tmux.type('alpha', "printf 'alpha:%s\\n' 準備完了");
  const page = await fixture.openPage();
  // The session's first listing counts it as working until its pane has been looked at.
  const watching = await waitForPage(page, 'alpha at its prompt', (p) => p.screen.includes('alpha:準備完了') && p.meta[0] === '待機中');
  assert.deepEqual(watching.options, ['○ alpha']);
  assert.deepEqual(watching.meta, ['待機中', '76%', 'Caps ON']);
  assert.equal(watching.conn, '接続中');
  assert.match(watching.screen, /alpha:準備完了\n\$ ?$/, 'the 24-row pane ends at its prompt');
  const view = await page.$eval('#screen', (e) => e.scrollHeight - e.scrollTop - e.clientHeight);
  assert.ok(view < 2, `the view sits at the bottom (${view} px left)`);
  await screenshot(page, 'phone-watching.png');
  // Held sideways, or with the keyboard up, the terminal keeps most of the height.
  for (const [width, height, least] of [[844, 390, 0.6], [390, 480, 0.4]]) {
    await page.setViewportSize({ width, height });
    const share = await page.$eval('#screen', (e) => e.getBoundingClientRect().height / innerHeight);
    assert.ok(share >= least, `${width}×${height}: the terminal has ${share} of the height`);
  }
  await screenshot(page, 'phone-landscape.png');
});

test('a hung tmux keeps the last screen and says so until tmux answers again', async () => {
  const page = await fixture.openPage();
  await waitForPage(page, 'alpha on screen', (p) => p.screen.includes('alpha:準備完了'));
  const tmuxServer = Number(fixture.tmux.run('display-message', '-p', '#{pid}'));
  process.kill(tmuxServer, 'SIGSTOP');
  const silent = await waitForPage(page, 'the hung tmux told', (p) => p.conn === 'tmux が応答しません',
    { timeout: 15000 }).finally(() => process.kill(tmuxServer, 'SIGCONT'));
  assert.ok(silent.screen.includes('alpha:準備完了') && silent.options.includes('○ alpha'), silent.screen);
  assert.equal(await page.$eval('#empty', (e) => e.hidden), true);
  await waitForPage(page, 'tmux answering again', (p) => p.conn === '接続中', { timeout: 15000 });
});

test('the carry bar shows mode, battery and temperature, warns of the lid, and pauses only when confirmed', async () => {
  const page = await fixture.openPage();
  const bar = () => page.$eval('#carry', (e) => (e.hidden ? null : e.innerText.replace(/\s+/g, ' ').trim()));
  await waitFor('the bar', async () => (await bar())?.startsWith('持ち運び: 有効'));
  assert.equal(await bar(), '持ち運び: 有効 電池 76%・温度 62°C 一時停止 ふたを閉じるとスリープします');
  await waitForPage(page, 'a screen under the bar', (p) => p.screen.includes('準備完了'));
  await screenshot(page, 'phone-carry.png');
  page.once('dialog', (dialog) => dialog.dismiss());
  await page.click('#carry-toggle');
  assert.equal(await page.fetched('/api/carry'), 0);
  page.once('dialog', (dialog) => dialog.accept());
  await page.click('#carry-toggle');
  await waitFor('paused', async () => (await bar()) === '持ち運び: 一時停止中 電池 76%・温度 62°C 再開');
  await page.click('#carry-toggle'); // resuming asks nothing
  await waitFor('resumed', async () => (await bar())?.startsWith('持ち運び: 有効'));
  // The laptop stops answering: its carry mode is unknown, not the last one seen. The long poll under
  // way was let through and is held for up to 15 s first.
  await page.route('**/api/sealed', (route) => route.abort());
  await waitFor('unknown', async () => (await bar())?.startsWith('持ち運び: 接続なし'), { timeout: 25000 });
  assert.equal(await page.$eval('#carry-toggle', (b) => b.disabled), true);
  assert.deepEqual(page.errors, []);
});

test('unwrapped, a long line is one whole row that scrolls sideways; the choice and the font size stay on the phone', async () => {
  fixture.tmux.newSession('wide');
  await waitFor('the prompt', () => fixture.tmux.capture('wide').startsWith('$'));
  fixture.tmux.type('wide', `echo ${'long-line-'.repeat(18)}line---end`); // 190 characters: wider than the pane too
  const page = await fixture.openPage();
  await page.selectOption('#sessions', 'wide');
  await waitForPage(page, 'the long line', (p) => /line---end\n\$/.test(p.screen));
  // Unwrapped, the line is one row, and all of it can be scrolled to.
  const layout = () => page.$eval('#screen', (e) => {
    const line = [...e.children].find((d) => d.textContent.startsWith('long-line-')), range = document.createRange();
    range.selectNodeContents(line);
    return { sideways: e.scrollWidth > e.clientWidth, font: getComputedStyle(e).fontSize, whole: e.scrollWidth >= range.getBoundingClientRect().width,
      rows: Math.min(2, Math.round(line.offsetHeight / parseFloat(getComputedStyle(line).minHeight))) };
  });
  assert.deepEqual(await layout(), { sideways: false, font: '11.5px', whole: true, rows: 2 });
  await page.click('#wrap');
  await page.click('#larger');
  await page.click('#larger');
  await page.click('#smaller');
  assert.deepEqual(await layout(), { sideways: true, font: '12.5px', whole: true, rows: 1 });
  await screenshot(page, 'phone-unwrapped.png');
  await page.reload();
  await page.selectOption('#sessions', 'wide');
  await waitForPage(page, 'the long line again', (p) => /line---end\n\$/.test(p.screen));
  assert.deepEqual(await layout(), { sideways: true, font: '12.5px', whole: true, rows: 1 });
});

test('markup in a session name, its command name and its screen is shown literally', async () => {
  // tmux cuts a command name at its first space and turns dots in session names into "_".
  const command = '<img/src/onerror=window.__fromCommand=1>';
  const name = '<img src=x onerror=__fromName=1>';
  const screenLine = '<img src=x onerror=window.__fromScreen=1><b>not bold</b>';
  fixture.tmux.newSession(name, `bash -c 'printf "%s\\n" "${screenLine}"; exec -a "${command}" sleep 1000'`);
  await waitFor('the renamed command', () => fixture.tmux.currentCommand(name) === command);
  const page = await fixture.openPage();
  await page.selectOption('#sessions', name);
  // The first live answer may still carry a listing taken before the rename.
  await waitForPage(page, 'the session and its command', (p) => p.screen.includes(screenLine) && p.meta[0] === `作業中（${command}）`);
  const dom = await page.evaluate(() => ({
    images: document.querySelectorAll('img').length,
    screenMarkup: document.querySelectorAll('#screen img, #screen b').length,
    ran: [window.__fromCommand, window.__fromName, window.__fromScreen],
  }));
  assert.deepEqual(dom, { images: 0, screenMarkup: 0, ran: [undefined, undefined, undefined] });
});

const REVOKED = 'このスマホの接続は取り消されました。もう一度使うには、QRコードを読み直してください';
const OLD_BOOKMARK = 'このブックマークは使えなくなりました。メニューの「スマホから接続…」のQRコードを読み取って、登録し直してください';

test('two phones pair on keys of their own; a revoked one says so and hides its controls, the other goes on', async () => {
  const kept = await fixture.openPage();
  const gone = await fixture.openPage({ clock: true }); // months off the server's clock
  for (const page of [kept, gone]) await waitForPage(page, 'connected', (p) => p.dot === 'dot on' && p.controls);
  assert.equal(gone.url(), `http://127.0.0.1:${fixture.port}/`, 'no code left in the address bar or the history');
  assert.notEqual(await fixture.command(`revoke ${gone.phone.id}`, 'revoked'), '-');
  await gone.clock.runFor(2000);
  // Told at its next call: a long poll held by the server (15 s at most) ends first.
  assert.equal((await waitForPage(gone, 'the revocation', (p) => p.conn === REVOKED, { timeout: 20000 })).controls, false);
  // Refusals in the clear, which anyone on the way can send, do not end a page that still opens answers
  // (they meet the calls after the long poll under way, held for up to 15 s).
  await kept.route('**/api/sealed', (route) => route.fulfill({ status: 401, body: '合言葉が違います' }), { times: 2 });
  await waitForPage(kept, 'the refusals told', (p) => p.dot === 'dot off', { timeout: 25000 });
  await waitForPage(kept, 'the page back', (p) => p.dot === 'dot on' && p.controls, { timeout: 15000 });

  // Every envelope of the page under a nonce of its own.
  const bodies = [...await kept.sealedBodies(), ...await gone.sealedBodies()];
  const nonces = bodies.map((b) => Buffer.from(b.slice(b.indexOf('.') + 1), 'base64').subarray(0, 24).toString('hex'));
  assert.ok(nonces.length >= 8 && new Set(nonces).size === nonces.length, JSON.stringify(nonces));
  assert.deepEqual([...kept.errors, ...gone.errors], []);
});

test('old bookmarks ask to pair again and give out neither key nor token', async () => {
  const proxy = await recordingProxy(fixture.port);
  try {
    for (const address of [`/?t=${fixture.token}`, `/#k=${randomBytes(32).toString('base64url')}`]) {
      const page = await fixture.openPage({ address: `http://127.0.0.1:${proxy.port}${address}` });
      assert.equal((await waitForPage(page, 'the old-bookmark text', (p) => p.conn === OLD_BOOKMARK)).controls, false);
      assert.equal(page.url(), `http://127.0.0.1:${proxy.port}/`);
    }
    await fixture.closePages();
    const sent = proxy.sent().toString('latin1');
    assert.equal(sent.split(fixture.token).length, 2, `the bookmark's own request line only:\n${sent}`);
    for (const reading of readings(proxy.answered())) assert.ok(!reading.includes(fixture.token));
  } finally {
    await proxy.close();
  }
});
