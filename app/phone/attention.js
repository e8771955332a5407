// The phone page's side of "a session needs you": the picker's order and marks, a banner for a
// session that waits for input, the count in the title, and a beep and a buzz when one begins to
// wait. `api` is the page's sealed call, `store` its storage; `watched()` names the session on
// screen, `screenLines()` gives its text, `open(name)` watches another. Built into the page.
window.makeAttention = function (api, store, watched, screenLines, open) {
  'use strict';
  function byId(id) { return document.getElementById(id); }
  var RANK = { input: 0, working: 1, shell: 2, ended: 3 };
  var SYMBOL = { input: '◆', working: '●', shell: '○', ended: '×' };
  var banner = byId('alert'), title = document.title;
  var seen = null; // name → attention in the last state; null until the first one
  var waiting = []; // sessions in input, the latest to begin first
  var dismissed = {}, lines = {};
  var unlocked = false, audio = null;

  // An app before attention sends none: the page then marks sessions as it used to.
  function known(s) { return RANK.hasOwnProperty(s.attention); }

  function order(sessions) {
    return sessions.map(function (s, n) { return { s: s, n: n }; }).sort(function (a, b) {
      return (known(a.s) ? RANK[a.s.attention] : 1) - (known(b.s) ? RANK[b.s.attention] : 1) || a.n - b.n;
    }).map(function (e) { return e.s; });
  }

  function mark(s) {
    if (!known(s)) return s.quiet === true ? '● ' : '';
    return SYMBOL[s.attention] + ' ';
  }

  // As the tray says it.
  function text(s) {
    return { input: '入力待ち', working: '作業中（' + s.command + '）', shell: '待機中', ended: '終了' }[s.attention];
  }

  // The last few lines with something on them.
  function tail(all) {
    return String(all).split('\n').filter(function (l) { return /\S/.test(l); }).slice(-3).join('\n');
  }

  function showBanner() {
    var name = null;
    for (var i = 0; i < waiting.length && name === null; i++) if (!dismissed[waiting[i]]) name = waiting[i];
    banner.hidden = name === null;
    if (name === null) return;
    var mine = name === watched();
    if (mine) lines[name] = tail(screenLines());
    if (lines[name] === undefined) {
      lines[name] = '';
      api('/api/capture?s=' + encodeURIComponent(name)).then(function (response) {
        return response.text();
      }).then(function (got) {
        if (waiting.indexOf(name) < 0) return; // no longer waiting: the next wait reads afresh
        lines[name] = tail(got);
        showBanner();
      }, function () { delete lines[name]; });
    }
    byId('alert-name').textContent = name + ' が入力を待っています';
    byId('alert-lines').textContent = lines[name];
    byId('alert-open').hidden = mine;
    byId('alert-open').dataset.name = name;
  }

  // A two-tone beep, from an audio context made under the user's first tap (browsers allow no
  // sound before one).
  function beep() {
    if (!audio || store.get('torvane.sound') === 'off') return;
    if (audio.state === 'suspended') audio.resume();
    var t = audio.currentTime, tone = audio.createOscillator(), gain = audio.createGain();
    tone.frequency.setValueAtTime(880, t);
    tone.frequency.setValueAtTime(660, t + 0.12);
    gain.gain.setValueAtTime(0.2, t);
    gain.gain.exponentialRampToValueAtTime(0.001, t + 0.3);
    tone.connect(gain);
    gain.connect(audio.destination);
    tone.start(t);
    tone.stop(t + 0.3);
  }

  function announce() {
    if (!unlocked) return;
    beep();
    if (navigator.vibrate && store.get('torvane.vibrate') !== 'off') navigator.vibrate([150, 80, 150]);
  }

  // A state's sessions: what changed since the last one. Only a wait seen beginning is announced,
  // not one already there when the page opened.
  function follow(sessions) {
    var now = {}, began = false;
    sessions.forEach(function (s) {
      if (!known(s)) return;
      now[s.name] = s.attention;
      if (s.attention === 'input' && waiting.indexOf(s.name) < 0) {
        waiting.unshift(s.name);
        began = began || (seen !== null && seen[s.name] !== 'input');
      }
    });
    waiting = waiting.filter(function (name) {
      if (now[name] === 'input') return true;
      delete dismissed[name];
      delete lines[name];
      return false;
    });
    seen = now;
    document.title = waiting.length ? '(' + waiting.length + ') ' + title : title;
    showBanner();
    if (began) announce();
  }

  function unlock() {
    unlocked = true;
    var Context = window.AudioContext || window.webkitAudioContext;
    if (!audio && Context) audio = new Context();
    // Some browsers start it only at the end of a tap.
    if (audio && audio.state === 'suspended') audio.resume();
  }
  ['pointerdown', 'touchend', 'keydown'].forEach(function (e) { document.addEventListener(e, unlock, true); });

  byId('alert-open').addEventListener('click', function () {
    dismissed[this.dataset.name] = true;
    open(this.dataset.name);
    showBanner();
  });
  byId('alert-close').addEventListener('click', function () {
    dismissed[byId('alert-open').dataset.name] = true;
    showBanner();
  });

  // The two switches, on unless turned off on this phone.
  [['sound', 'torvane.sound', '🔔', '🔕'], ['buzz', 'torvane.vibrate', '📳', '📴']].forEach(function (s) {
    var button = byId(s[0]);
    function show() {
      var on = store.get(s[1]) !== 'off';
      button.setAttribute('aria-pressed', String(on));
      button.textContent = on ? s[2] : s[3];
    }
    button.hidden = s[0] === 'buzz' && !navigator.vibrate;
    button.addEventListener('click', function () {
      store.set(s[1], store.get(s[1]) === 'off' ? 'on' : 'off');
      show();
    });
    show();
  });

  return { order: order, mark: mark, text: text, known: known, follow: follow, show: showBanner };
};
