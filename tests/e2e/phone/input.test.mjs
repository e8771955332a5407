// Typing into the chosen session: send, its retry, multi-line paste, the key bar and 停止.
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Fixture, readPage, readings, recordingProxy, screenshot, waitFor, waitForPage } from './harness.mjs';

let fixture;
before(async () => {
  fixture = await Fixture.create();
  fixture.tmux.newSession('work');
});
afterEach(() => fixture.closePages());
after(() => fixture?.close());

const focused = (page) => page.evaluate(() => document.activeElement.id);

test('送信 types the text literally, presses Enter, and the page shows it at once; the keyboard stays', async () => {
  const page = await fixture.watch('work');
  // Characters that a form body or a shell must not mangle: & = + % and a leading dash.
  await page.focus('#input');
  await page.fill('#input', "printf '[%s]\\n' '-n 日本語 & a=b+c 100%'");
  await page.click('#send');
  const shown = await waitForPage(page, 'the output on the page',
    (p) => p.screen.includes('[-n 日本語 & a=b+c 100%]'), { timeout: 1500 });
  assert.equal(shown.toast, '送信しました');
  assert.equal(shown.input, '');
  assert.equal(await focused(page), 'input');
});

const UNKNOWN_ARRIVAL = '届いたか不明です。画面を確認してください';

// A session whose program writes every byte it gets to a file; the file.
async function recorder(name) {
  const dir = fixture.tmux.dir;
  fs.writeFileSync(path.join(dir, 'agent'), "printf '\\033[?2004h'; stty raw -echo; exec cat > \"$1\"\n");
  fixture.tmux.newSession(name, `sh ${dir}/agent ${dir}/${name}.got`);
  await waitFor('the program', () => fs.existsSync(path.join(dir, `${name}.got`)));
  return path.join(dir, `${name}.got`);
}

test('a retry types a text once: after a lost answer it is not typed again, after a failed try the page asks for a look first', async () => {
  const got = await recorder('paste');
  const page = await fixture.watch('paste');
  const ids = [];
  await page.route('**/api/sealed', async (route) => {
    const inner = fixture.openRequest(route.request().postData());
    if (inner.target !== '/api/send') return route.continue();
    const form = new URLSearchParams(inner.body);
    ids.push(form.get('id'));
    if (ids.length === 1) {
      await route.fetch(); // carried out by the server; the answer never reaches the page
      return route.abort();
    }
    if (ids.length !== 3) return route.continue();
    form.set('s', 'gone'); // the third fails on the server, which keeps its id
    return route.continue({ postData: fixture.sealRequest({ ...inner, body: form.toString() }) });
  });
  const sendAndSee = async (toast) => {
    await page.click('#send');
    await waitForPage(page, toast, (p) => p.toast === toast);
  };
  await page.fill('#input', '一行目\n二行目');
  await sendAndSee(UNKNOWN_ARRIVAL);
  assert.equal((await readPage(page)).input, '一行目\n二行目');
  await sendAndSee('送信しました');
  await page.fill('#input', 'deploy');
  await sendAndSee('送れませんでした。もう一度お試しください');
  await sendAndSee('前回の送信が届いたか分かりません。画面を確かめてから送り直してください');
  await sendAndSee('送信しました');
  const [lost, retry, failed, tried, anew] = ids;
  assert.ok(ids.length === 5 && lost === retry && failed === tried && anew !== tried, JSON.stringify(ids));
  fixture.tmux.run('send-keys', '-t', '=paste:', 'z'); // after anything the retries may have typed
  await waitFor('one paste, one deploy, then z', () => fs.readFileSync(got, 'latin1') ===
    Buffer.from('\x1b[200~一行目\r二行目\x1b[201~\rdeploy\rz').toString('latin1'));
});

test('a key press held on the way past the page\'s limit, pressed again and then let through, is typed once', async () => {
  const got = await recorder('held');
  const page = await fixture.watch('held', { clock: true });
  let held = null;
  await page.route('**/api/sealed', (route) => {
    if (held || fixture.openRequest(route.request().postData())?.target !== '/api/keys') return route.continue();
    held = route; // neither sent on nor answered
  });
  await page.tap('#keys [data-key=y]');
  await waitFor('the press held', () => held);
  await page.clock.runFor(25000);
  await waitForPage(page, 'the outcome unknown', (p) => p.toast === UNKNOWN_ARRIVAL);
  await page.tap('#keys [data-key=y]');
  await waitForPage(page, 'the retry answered', (p) => p.toast === '送信しました');
  assert.equal((await held.fetch()).status(), 200, 'the held press reaches the server after all');
  fixture.tmux.run('send-keys', '-t', '=held:', 'z');
  await waitFor('one y, then z', () => fs.readFileSync(got, 'latin1') === 'yz');
});

test('the key bar answers an agent\'s menu with ↓ and ⏎, one thumb wide, the keyboard staying up', async () => {
  fixture.tmux.newSession('agent', `bash -c 'echo "> 1. Yes"; echo "  2. No"; s=1
    while IFS= read -rsn1 k; do
      if [[ $k == $'"'"'\\e'"'"' ]]; then read -rsn2 k; [[ $k == "[B" ]] && s=2 && echo "on $s"
      elif [[ -z $k ]]; then echo "chosen $s"; break; fi
    done; exec sleep 1000'`);
  const page = await fixture.watch('agent');
  await page.focus('#input');
  const boxes = await page.$$eval('#keys button', (all) => all.map((b) => {
    const r = b.getBoundingClientRect();
    return { text: b.textContent, tall: r.height >= 44, inside: r.left >= 0 && r.right <= 360 };
  }));
  assert.deepEqual(boxes.map((b) => b.text), ['⏎', 'Esc', '↑', '↓', '←', '→', 'Tab', '⇧Tab', 'y', 'n', '^C', '^D',
    '1', '2', '3', 'q', 'PgUp', 'PgDn', 'Home', 'End', '␣', '⌫']);
  // Two rows, the first fourteen keys in view at once, the rest a sideways swipe away.
  assert.ok(boxes.every((b) => b.tall) && boxes.slice(0, 14).every((b) => b.inside), JSON.stringify(boxes));
  assert.ok(await page.$eval('#keys', (k) => k.scrollWidth > k.clientWidth && k.clientHeight < 110));
  await page.tap('#keys [data-key=Down]');
  await waitForPage(page, 'the move', (p) => p.screen.includes('on 2'), { timeout: 1500 });
  await screenshot(page, 'phone-keys.png');
  await page.tap('#keys [data-key=Enter]');
  const chosen = await waitForPage(page, 'the choice', (p) => p.screen.includes('chosen 2'), { timeout: 1500 });
  assert.equal(chosen.toast, '送信しました');
  assert.equal(await focused(page), 'input');
});

test('⏎なし types without Enter, per session; keys such as ^C and q go as they are; a session that ends keeps its screen and takes no typing', async () => {
  const got = await recorder('raw');
  const page = await fixture.watch('raw');
  await page.click('#enter');
  await page.reload();
  await page.selectOption('#sessions', 'raw');
  await waitForPage(page, 'the session chosen again', (p) => p.selected === 'raw' && p.dot === 'dot on');
  assert.equal(await page.textContent('#enter'), '⏎なし', 'kept on the phone');
  await page.fill('#input', 'i');
  await page.click('#send');
  await waitForPage(page, 'sent', (p) => p.toast === '送信しました');
  await page.tap('#keys [data-key=C-c]');
  await page.tap('#keys [data-key=q]');
  await waitFor('i, ^C, q and no Enter', () => fs.readFileSync(got, 'latin1') === 'i\x03q');
  await page.selectOption('#sessions', 'work');
  assert.equal(await page.textContent('#enter'), '⏎あり', 'another session presses Enter');

  fixture.tmux.newSession('brief');
  await page.selectOption('#sessions', 'brief');
  fixture.tmux.type('brief', 'echo last-words');
  await waitForPage(page, 'its output', (p) => p.screen.includes('\nlast-words'));
  fixture.tmux.run('kill-session', '-t', '=brief');
  const ended = await waitForPage(page, 'the end told', (p) => p.toast?.includes('終了しました'));
  assert.ok(ended.screen.includes('\nlast-words') && ended.options.at(-1) === 'brief（終了）' && ended.selected === '', JSON.stringify(ended));
  assert.equal(await page.$eval('#send', (b) => b.disabled), true);
  await page.selectOption('#sessions', 'work');
  await waitForPage(page, 'typing again', (p) => p.selected === 'work');
  assert.equal(await page.$eval('#send', (b) => b.disabled), false);
});

test('停止 asks first: declined it sends nothing, accepted it interrupts', async () => {
  fixture.tmux.type('work', 'sleep 1000');
  await waitFor('sleep running', () => fixture.tmux.currentCommand('work') === 'sleep');
  const page = await fixture.watch('work', { clock: true });
  page.once('dialog', (dialog) => dialog.dismiss());
  await page.click('#stop');
  assert.equal(await page.fetched('/api/interrupt'), 0);
  page.once('dialog', (dialog) => {
    assert.equal(dialog.message(), '実行中の処理を中断します。よろしいですか？');
    dialog.accept();
  });
  await page.click('#stop');
  await waitForPage(page, 'the toast', (p) => p.toast === '中断しました');
  await waitFor('the shell back', () => fixture.tmux.currentCommand('work') === 'bash');
});

test('on the wire there is nothing to read: no token, key, name, typed or screen text, however decoded', async () => {
  const name = 'wire-名前';
  fixture.tmux.newSession(name);
  const proxy = await recordingProxy(fixture.port);
  try {
    const page = await fixture.openPage({ port: proxy.port });
    await page.selectOption('#sessions', name);
    await page.fill('#input', 'echo "秘密$((6*7))" # typed');
    await page.click('#send');
    await waitForPage(page, 'the answer on the page', (p) => p.screen.includes('\n秘密42\n'));
    await page.context().close();
    const pane = fixture.tmux.capture(name);
    assert.equal(pane.split('# typed').length, 2, `typed once:\n${pane}`);
    assert.equal(pane.split('\n秘密42\n').length, 2, `run once:\n${pane}`);
    const recorded = proxy.recorded();
    assert.ok(recorded.includes('POST /api/sealed') && recorded.length > 20000, 'the proxy saw the traffic');
    const keys = [...fixture.keys.values()];
    const secrets = [fixture.token, ...keys, ...keys.map((k) => Buffer.from(k, 'base64url')), name, '秘密', '# typed', 'echo'];
    for (const reading of readings(recorded)) {
      for (const secret of secrets) assert.ok(!reading.includes(secret), `${secret} readable on the wire`);
    }
  } finally {
    await proxy.close();
  }
});
