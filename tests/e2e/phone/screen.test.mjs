// The terminal's colour parser on what a browser test cannot get through tmux: the colon forms, each
// attribute's off, and broken or foreign sequences, which are dropped and never throw.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';

const { parseLine } = createRequire(import.meta.url)('../../../app/phone/screen.js');
const E = '\x1b[';
const looks = (line) => parseLine(line).map((r) => [r.text, r.cls, r.css]);

test('colon forms, attributes on and off, reverse of the defaults; broken sequences dropped', () => {
  assert.deepEqual(looks(`${E}0;48:2::1:2:3my${E}38:5:9;7mz${E}27;38:2:255:0:128;49;105mw`),
    [['y', '', 'background:#010203;'], ['z', 'g9', 'color:#010203;'], ['w', 'g13', 'color:#ff0080;']]);
  assert.deepEqual(looks(`${E}7mr${E}1;2;3;4:3;9mx${E}4:0;22my${E}23;29;8mh${E}28;4;27mu${E}24;5m日本語😀`),
    [['r', 'fr br', ''], ['x', 'fr br b d i us', ''], ['y', 'fr br i s', ''], ['h', 'fr br h', ''], ['u', 'u', ''], ['日本語😀', '', '']]);
  const garbage = [`${E}38;5m`, `${E}38;2;1;2m`, `${E}38;2;300;0;0m`, `${E}9999;;1000m`, `${E}K`, `${E}?25l`, '\x1b(B', '\x1b7'];
  assert.deepEqual(looks(`a${garbage.join('b')}c\x1b`), [['abbbbbbbc', '', '']]);
  assert.doesNotThrow(() => parseLine(`${E}38:5${E}48;5;${E}38:2m${E}4:${E};;;m\x1b[1;3`));
});
