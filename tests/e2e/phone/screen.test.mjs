// The terminal's colour parser: what each SGR form looks like on the page, and nothing it is given
// makes it throw or shows escape bytes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';

const { parseLine } = createRequire(import.meta.url)('../../../app/phone/screen.js');
const E = '\x1b[';
const looks = (line) => parseLine(line).map((r) => [r.text, r.cls, r.css]);

test('colours of the palette, the 256 and 24-bit; attributes on and off; reverse swaps the defaults too', () => {
  assert.deepEqual(looks(`a${E}33mb${E}1;92mc${E}22;39md`), [['a', '', ''], ['b', 'f3', ''], ['c', 'f10 b', ''], ['d', '', '']]);
  assert.deepEqual(looks(`${E}38;5;196;48;5;4mx${E}38;5;244my${E}38;5;9mz`),
    [['x', 'g4', 'color:#ff0000;'], ['y', 'g4', 'color:#808080;'], ['z', 'f9 g4', '']]);
  assert.deepEqual(looks(`${E}38;2;10;20;30mx${E}0;48:2::1:2:3my${E}38:2:255:0:128mz${E}49;105mw`),
    [['x', '', 'color:#0a141e;'], ['y', '', 'background:#010203;'], ['z', '', 'color:#ff0080;background:#010203;'], ['w', 'g13', 'color:#ff0080;']]);
  assert.deepEqual(looks(`${E}7mr${E}31mR${E}27;2;3;4:3;9mx${E}4:0my${E}23;29;8mh${E}28;4mu${E}24;5m日本語😀`),
    [['r', 'fr br', ''], ['R', 'fr g1', ''], ['x', 'f1 d i us', ''], ['y', 'f1 d i s', ''], ['h', 'f1 d h', ''],
      ['u', 'f1 d u', ''], ['日本語😀', 'f1 d', '']]);
});

test('malformed and foreign sequences are dropped without a trace', () => {
  const garbage = [`${E}38;5m`, `${E}38;2;1;2m`, `${E}38;2;300;0;0m`, `${E}9999;;1000m`, `${E}K`, `${E}?25l`, '\x1b(B', '\x1b7'];
  assert.deepEqual(looks(`a${garbage.join('b')}c\x1b`), [['abbbbbbbc', '', '']]);
  assert.deepEqual(looks(`${E}1m${E}`), []);
  assert.doesNotThrow(() => parseLine(`${E}38:5${E}48;5;${E}38:2m${E}4:${E};;;m\x1b[1;3`));
});
