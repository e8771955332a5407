// The phone page's terminal: a div per line, spans for coloured runs, changed by splices only (a
// selection in unchanged lines survives). Built into the page; node loads it for the colour parser.
(function (root) {
  'use strict';
  var CUBE = [0, 95, 135, 175, 215, 255];

  function hex(r, g, b) {
    return '#' + ((1 << 24) | (r << 16) | (g << 8) | b).toString(16).slice(1);
  }

  // Of the 256, the first 16 are the page's palette (classes); then the cube and the greys.
  function indexed(n) {
    if (n < 16) return n;
    if (n < 232) return hex(CUBE[Math.floor((n - 16) / 36)], CUBE[Math.floor((n - 16) / 6) % 6], CUBE[(n - 16) % 6]);
    var grey = 8 + 10 * (n - 232);
    return hex(grey, grey, grey);
  }

  function byte(text) {
    var n = Number(text === '' ? 0 : text);
    return n >= 0 && n <= 255 && n === Math.floor(n) ? n : null;
  }

  // 38/48 and ";5;n", ";2;r;g;b" or a colon form: [the colour or undefined, the ";" parameters taken].
  function extended(subs, params, i) {
    var colon = subs.length > 1, list = colon ? subs.slice(1) : params.slice(i + 1, i + 5), kind = list[0];
    var skip = colon && subs.length > 5 ? 2 : 1; // "38:2::r:g:b": a colour space first
    var parts = list.slice(skip, kind === '5' ? 2 : skip + 3).map(byte);
    var used = colon ? 0 : kind === '5' ? 2 : kind === '2' ? 4 : 0;
    if (!(kind === '5' || kind === '2') || parts.length !== (kind === '5' ? 1 : 3) || parts.indexOf(null) >= 0) return [undefined, used];
    return [kind === '5' ? indexed(parts[0]) : hex(parts[0], parts[1], parts[2]), used];
  }

  function sgr(a, text) {
    var params = text.split(';');
    for (var i = 0; i < params.length; i++) {
      var subs = params[i].split(':'), code = Number(subs[0] || 0);
      if (code === 38 || code === 48) {
        var got = extended(subs, params, i);
        i += got[1];
        if (got[0] !== undefined) a[code === 38 ? 'fg' : 'bg'] = got[0];
      } else if (code === 0) reset(a);
      else if (code === 4) a.u = subs[1] !== '0';
      else if (code >= 30 && code <= 37) a.fg = code - 30;
      else if (code >= 90 && code <= 97) a.fg = code - 82;
      else if (code >= 40 && code <= 47) a.bg = code - 40;
      else if (code >= 100 && code <= 107) a.bg = code - 92;
      else if (code === 39 || code === 49) a[code === 39 ? 'fg' : 'bg'] = null;
      else if (FLAGS[code]) a[FLAGS[code]] = true;
      else if (code === 22) a.b = a.d = false;
      else if (code === 21 || code === 24) a.u = false;
      else if (code > 22 && code < 30 && FLAGS[code - 20]) a[FLAGS[code - 20]] = false;
    }
  }
  var FLAGS = { 1: 'b', 2: 'd', 3: 'i', 7: 'r', 8: 'h', 9: 's' };

  function reset(a) {
    a.fg = a.bg = null;
    a.b = a.d = a.i = a.u = a.r = a.h = a.s = false;
  }

  // Classes for the palette and attributes, inline style for other colours. Reversed, the defaults
  // swap too ("fr", "br").
  function look(a) {
    var fg = a.r ? a.bg : a.fg, bg = a.r ? a.fg : a.bg, cls = [], css = '';
    if (typeof fg === 'number') cls.push('f' + fg);
    else if (fg) css += 'color:' + fg + ';';
    else if (a.r) cls.push('fr');
    if (typeof bg === 'number') cls.push('g' + bg);
    else if (bg) css += 'background:' + bg + ';';
    else if (a.r) cls.push('br');
    ['b', 'd', 'i', 'h'].forEach(function (k) { if (a[k]) cls.push(k); });
    if (a.u || a.s) cls.push((a.u ? 'u' : '') + (a.s ? 's' : ''));
    return { cls: cls.join(' '), css: css };
  }

  // A line's runs, [{ text, cls, css }]. Other escape sequences, and broken ones, are dropped.
  function parseLine(line) {
    var runs = [], a = {}, re = /\x1b(?:\[([0-?]*)[ -/]*([@-~])?|[ -/]*[0-~]?)/g, last = 0, m;
    reset(a);
    var style = look(a);
    function add(text) {
      if (text === '') return;
      var prev = runs[runs.length - 1];
      if (prev && prev.cls === style.cls && prev.css === style.css) prev.text += text;
      else runs.push({ text: text, cls: style.cls, css: style.css });
    }
    line = String(line);
    while ((m = re.exec(line)) !== null) {
      add(line.slice(last, m.index));
      last = re.lastIndex;
      if (m[2] === 'm') {
        sgr(a, m[1]);
        style = look(a);
      }
    }
    add(line.slice(last));
    return runs;
  }

  function plain(line) {
    return String(line).replace(/\x1b(?:\[[0-?]*[ -/]*[@-~]?|[ -/]*[0-~]?)/g, '');
  }

  // The cell at `col` (code points into the text) split off as the cursor; padded when past the end.
  function withCursor(runs, col) {
    var out = [], left = col, done = false;
    runs.forEach(function (run) {
      var chars = Array.from(run.text);
      if (done || left >= chars.length) {
        left -= done ? 0 : chars.length;
        out.push(run);
        return;
      }
      if (left > 0) out.push({ text: chars.slice(0, left).join(''), cls: run.cls, css: run.css });
      out.push({ text: chars[left], cls: (run.cls + ' cur').trim(), css: run.css });
      if (left + 1 < chars.length) out.push({ text: chars.slice(left + 1).join(''), cls: run.cls, css: run.css });
      done = true;
    });
    if (!done) {
      if (left > 0) out.push({ text: new Array(left + 1).join(' '), cls: '', css: '' });
      out.push({ text: ' ', cls: 'cur', css: '' });
    }
    return out;
  }

  function lineNode(line, col) {
    var div = document.createElement('div'), runs = parseLine(line);
    if (col !== null) runs = withCursor(runs, col);
    runs.forEach(function (run) {
      if (!run.cls && !run.css) return div.appendChild(document.createTextNode(run.text));
      var span = div.appendChild(document.createElement('span'));
      if (run.cls) span.className = run.cls;
      if (run.css) span.style.cssText = run.css;
      span.textContent = run.text;
    });
    return div;
  }

  // From `from` to `to`: lines gone from the top, then what differs between the ends.
  function between(from, to) {
    var trim = 0, head = 0, tail = 0;
    for (var t = 0; to.length && t < from.length; t++) {
      var k = 0;
      while (k < 8 && t + k < from.length && k < to.length && from[t + k] === to[k]) k++;
      if (k === 8 || k === to.length || (k > 0 && t + k === from.length)) { trim = t; break; }
    }
    var left = from.length - trim;
    while (head < left && head < to.length && from[trim + head] === to[head]) head++;
    while (tail < left - head && tail < to.length - head && from[from.length - 1 - tail] === to[to.length - 1 - tail]) tail++;
    return { trim: trim, at: head, del: left - head - tail, ins: to.slice(head, to.length - tail) };
  }

  // `element` holds the lines; `chip` is shown while new output waits below a reader scrolled up.
  function makeScreen(element, chip) {
    var lines = [], cursor = null, top = 0, alt = false;

    function nodes() { return element.children; }
    function atBottom() { return element.scrollTop + element.clientHeight >= element.scrollHeight - 40; }
    function toBottom() {
      element.scrollTop = element.scrollHeight;
      chip.hidden = true;
    }
    chip.addEventListener('click', toBottom);
    element.addEventListener('scroll', function () { if (!chip.hidden && atBottom()) chip.hidden = true; });

    // The first line in view (hidden rows are at the end).
    function firstInView() {
      var list = nodes(), lo = 0, hi = list.length - 1;
      while (hi > 0 && list[hi].hidden) hi--;
      while (lo < hi) {
        var mid = (lo + hi) >> 1, node = list[mid];
        if (node.offsetTop + node.offsetHeight > element.scrollTop) hi = mid;
        else lo = mid + 1;
      }
      return lo;
    }

    // Blank rows below the cursor would push it off a small screen; a full-screen program keeps all.
    function hideBlankTail() {
      var list = nodes(), from = list.length;
      if (!alt) {
        var keep = Math.max(top, cursor ? cursor.line + 1 : 0);
        while (from > keep && plain(lines[from - 1]).trim() === '') from--;
      }
      for (var i = 0; i < list.length; i++) {
        if (list[i].hidden !== (i >= from)) list[i].hidden = i >= from;
      }
    }

    function cursorRow() { return alt && cursor ? nodes()[cursor.line] : null; }
    function inView(row) {
      return row && row.offsetTop >= element.scrollTop && row.offsetTop + row.offsetHeight <= element.scrollTop + element.clientHeight;
    }

    function redraw(i) {
      var list = nodes();
      if (i < 0 || i >= list.length) return;
      element.replaceChild(lineNode(lines[i], cursor && cursor.line === i ? cursor.col : null), list[i]);
    }

    // `trim` lines off the top, then lines.splice(at, del, ...ins).
    function splice(trim, at, del, ins, next) {
      // A full-screen program taller than the view: its cursor is followed, not its bottom.
      var list = nodes(), following = atBottom() || inView(cursorRow()), anchor = null, offset = 0;
      if (!following && list.length) {
        // The reader's line (or the nearest one that stays) keeps its place on the screen.
        var a = firstInView() - trim, count = list.length - trim;
        if (a < 0) a = 0;
        if (a >= at && a < at + del) a = at + del < count ? at + del : at - 1;
        if (a >= 0 && a < count) {
          anchor = list[a + trim];
          offset = anchor.offsetTop - element.scrollTop;
        }
      }
      var old = cursor ? cursor.line - trim : -1, oldCol = cursor ? cursor.col : -1;
      for (var t = 0; t < trim && list.length; t++) element.removeChild(list[0]);
      lines.splice(0, trim);
      lines.splice.apply(lines, [at, del].concat(ins));
      for (var d = 0; d < del && at < list.length; d++) element.removeChild(list[at]);
      var before = list[at] || null, fragment = document.createDocumentFragment();
      cursor = next.cursor;
      top = next.top;
      alt = next.alt;
      element.classList.toggle('alt', alt);
      ins.forEach(function (line, k) {
        fragment.appendChild(lineNode(line, cursor && cursor.line === at + k ? cursor.col : null));
      });
      element.insertBefore(fragment, before);
      // The old cursor's line moved with the splice, or went with it.
      if (old >= at + del) old += ins.length - del;
      else if (old >= at) old = -1;
      var kept = function (i) { return i < at || i >= at + ins.length; };
      if (old >= 0 && kept(old) && !(cursor && cursor.line === old && cursor.col === oldCol)) redraw(old);
      if (cursor && cursor.line !== old && kept(cursor.line)) redraw(cursor.line);
      hideBlankTail();
      if (following) {
        toBottom();
        var row = cursorRow();
        if (row && !inView(row)) element.scrollTop = row.offsetTop - element.clientHeight / 3;
        return;
      }
      if (anchor && anchor.parentNode === element) element.scrollTop = anchor.offsetTop - offset;
      if (trim || del || ins.length) chip.hidden = false;
    }

    return {
      reset: function () {
        lines = [];
        cursor = null;
        alt = false;
        element.textContent = '';
        element.classList.remove('alt');
        chip.hidden = true;
      },
      // A live answer's screen, for a page at version `v`; false when out of step.
      apply: function (part, v) {
        if (part.from !== 0 && part.from !== v) return false;
        var cur = part.cursor && typeof part.cursor.line === 'number' ? part.cursor : null;
        var next = { cursor: cur && { line: cur.line, col: Math.max(0, Number(cur.col) || 0) }, top: Number(part.top) || 0, alt: part.alt === true };
        var ins = Array.isArray(part.ins) ? part.ins : [];
        // All anew (an old version, say) still leaves unchanged lines alone.
        var d = part.from === 0 ? between(lines, ins) : { trim: Math.max(0, Number(part.trim) || 0), at: Number(part.at) || 0, del: Number(part.del) || 0, ins: ins };
        splice(d.trim, d.at, d.del, d.ins, next);
        return lines.length === part.lines;
      },
      // Plain text (the old capture).
      text: function (text) {
        var d = between(lines, text === '' ? [] : text.split('\n'));
        splice(d.trim, d.at, d.del, d.ins, { cursor: null, top: 0, alt: false });
      },
      plainText: function () { return lines.map(plain).join('\n'); }
    };
  }

  if (typeof module === 'object' && module.exports) module.exports = { parseLine: parseLine };
  else root.makeScreen = makeScreen;
})(this);
