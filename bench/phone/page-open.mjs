// What sealing costs the phone page: opening the sealed answer to a 200-line capture (base64, the
// secretbox, UTF-8 and the answer's fields) and sealing a request, timed inside headless Chromium on
// the page the server serves.
//
//   PHONE_TEST_SERVER=build/test/tests/e2e/phone/phone_test_server node bench/phone/page-open.mjs [RUNS]
import { Fixture, waitFor, seal } from '../../tests/e2e/phone/harness.mjs';

const runs = Number(process.argv[2] || 200);
const fixture = await Fixture.create();
try {
  const page = await fixture.openPage();
  await waitFor('the page', () => page.evaluate(() => typeof window.makePhoneSeal === 'function'));
  let screen = '';
  for (let i = 0; i < 200; i++) screen += `line ${i}: ビルド中… src/module_${i}.cpp [ok] ${'-'.repeat(40)}\n`;
  const id = '0123456789abcdef0123456789abcdef';
  const envelope = seal.seal(seal.keyFromText(fixture.key), `A\n${id}\n200\n${Date.now()}\ntext/plain; charset=utf-8\n${screen}`);
  const figures = await page.evaluate(({ keyText, envelope, id, runs }) => {
    const s = window.makePhoneSeal(window.nacl);
    const key = s.keyFromText(keyText);
    // The browser's clock ticks in 0.1 ms, so each figure is one batch of 20 divided by 20.
    const time = (what) => {
      const all = [];
      for (let i = 0; i < runs; i++) {
        const started = performance.now();
        for (let j = 0; j < 20; j++) what();
        all.push((performance.now() - started) / 20);
      }
      all.sort((a, b) => a - b);
      return { median: all[Math.floor(runs / 2)], p90: all[Math.floor(runs * 0.9)] };
    };
    return {
      bytes: envelope.length,
      open: time(() => { if (s.answer(s.open(key, envelope), id).body.length < 1000) throw new Error('not opened'); }),
      seal: time(() => s.seal(key, s.request(id, Date.now(), 'POST', '/api/send', 's=work&text=%E3%81%82&id=1'))),
    };
  }, { keyText: fixture.key, envelope, id, runs });
  const ms = (f) => `median ${f.median.toFixed(3)} ms, p90 ${f.p90.toFixed(3)} ms`;
  console.log(`open a 200-line capture (${figures.bytes} bytes sealed): ${ms(figures.open)} (${runs} batches of 20)`);
  console.log(`seal a send request: ${ms(figures.seal)} (${runs} batches of 20)`);
} finally {
  await fixture.close();
}
