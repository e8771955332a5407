// The page's sealing module against known answers: it opens what libsodium sealed and seals byte for
// byte what it must, and no answer passes for another request's.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { seal } from './harness.mjs';

const vectors = Object.fromEntries(fs.readFileSync(new URL('./seal-vectors.txt', import.meta.url), 'utf8')
  .split('\n').filter((line) => line && !line.startsWith('#'))
  .map((line) => [line.slice(0, line.indexOf('=')), line.slice(line.indexOf('=') + 1).replaceAll('\\n', '\n')]));

test('the page opens what the server sealed and seals what the server opens, under one key', () => {
  const key = seal.keyFromText(vectors.key);
  assert.equal(seal.open(key, vectors.sealed), vectors.plain);
  const inner = vectors.plainByPage.split('\n');
  const made = seal.request(inner[1], Number(inner[2]), inner[3], inner[4], inner[5], inner.slice(6).join('\n'));
  assert.equal(made, vectors.plainByPage);
  assert.equal(seal.seal(key, made, Buffer.from(vectors.nonceByPage, 'hex')), vectors.sealedByPage);
  assert.deepEqual(seal.answer(vectors.plain, '0123456789abcdef0123456789abcdef'),
    { status: 200, time: 1765000000000, run: 'run-0123456789abcdef', type: 'text/plain; charset=utf-8', body: '画面の文字 ✓ <b>100%</b>\n$' });
  assert.equal(seal.answer(vectors.plain, 'another-request-id'), null, 'an answer to another request');
  const altered = Buffer.from(vectors.sealed, 'base64');
  altered[40] ^= 1;
  assert.equal(seal.open(key, altered.toString('base64')), null);
  assert.equal(seal.keyFromText(vectors.key.slice(1)), null);
});
