// Time from tapping ⏎ on the phone page to the pane's new text on the page's screen, against the
// same change made in tmux directly, which the page only sees at its next 2 s poll. Real server
// (phone_test_server), real tmux in a private directory, headless Chromium at 360×740.
//
//   PHONE_TEST_SERVER=build/test/tests/e2e/phone/phone_test_server \
//     node bench/phone/key-latency.mjs [ROUNDS]        (20 by default)
import { Fixture, readPage, waitFor } from '../../tests/e2e/phone/harness.mjs';

const rounds = Number(process.argv[2] || 20);
const fixture = await Fixture.create();
try {
  // Each Enter prints the next numbered line, like a program answering a confirmation.
  fixture.tmux.newSession('agent', "bash -c 'n=0; while read -r; do n=$((n+1)); echo \"line $n\"; done'");
  const page = await fixture.openPage();
  await page.selectOption('#sessions', 'agent');
  await waitFor('the page', async () => (await readPage(page)).dot === 'dot on');
  let n = 0;
  const timeTo = async (press) => {
    n += 1;
    const wanted = `line ${n}`;
    const started = performance.now();
    await press();
    await waitFor(wanted, async () => (await readPage(page)).screen.split('\n').includes(wanted), { interval: 5, timeout: 10000 });
    return performance.now() - started;
  };
  const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const page2 = [];
  const poll = [];
  for (let i = 0; i < rounds; i += 1) {
    page2.push(await timeTo(() => page.tap('#keys [data-key=Enter]')));
    // A random point in the poll's period, as a user's tap would fall.
    await new Promise((resolve) => setTimeout(resolve, Math.random() * 2000));
    poll.push(await timeTo(() => fixture.tmux.run('send-keys', '-t', '=agent:', 'Enter')));
  }
  const show = (label, values) => console.log(`${label}: median ${median(values).toFixed(0)} ms, ` +
    `min ${Math.min(...values).toFixed(0)} ms, max ${Math.max(...values).toFixed(0)} ms (${values.length} rounds)`);
  show('⏎ on the page', page2);
  show('2 s poll alone', poll);
} finally {
  await fixture.close();
}
