// The phone page's link to the laptop: this phone's key (kept in the browser's storage) or the
// pairing code it trades for one, the app's run id and the laptop's clock as last learned, and the
// sealed call itself. Built into the page after seal.js.
window.makePhoneLink = function (seal, store, limitMs) {
  'use strict';
  var PHONE = 'torvane.phone';
  var runId = ''; // the app's run, from its last answer: a request of another run is refused
  var clock = null; // { rtt, offset } of the quickest exchange
  var link = { phone: credential(stored()), pairing: null, plainRefusals: 0 };

  function stored() {
    try { return JSON.parse(store.get(PHONE)); } catch (e) { return null; }
  }

  // { id, key, text } from "ID.KEY" or from what was stored; null unless whole.
  function credential(given) {
    if (!given) return null;
    var text = typeof given === 'string' ? given : given.id + '.' + given.key;
    var dot = text.indexOf('.');
    var key = dot > 0 ? seal.keyFromText(text.slice(dot + 1)) : null;
    return key ? { id: text.slice(0, dot), key: key, text: text.slice(dot + 1) } : null;
  }

  function freshId() {
    var bytes = new Uint8Array(16);
    crypto.getRandomValues(bytes);
    return Array.prototype.map.call(bytes, function (b) { return (b + 256).toString(16).slice(1); }).join('');
  }

  // The laptop's clock, from the quickest exchange under a second: a slow one (held up on the way,
  // perhaps on purpose) says little about when the answer was made. A 408 says the estimate is
  // wrong, so it starts afresh from that answer.
  function learnClock(serverTime, sent, received, wrong) {
    var rtt = received - sent;
    if (rtt >= 1000 && !wrong) return;
    if (wrong || !clock || rtt <= clock.rtt) clock = { rtt: rtt, offset: serverTime - (sent + received) / 2 };
  }

  // Every call goes sealed to one path, under the pairing code's key until it is traded, then under
  // this phone's own; the body names the key by its id. An error with `plain` is an answer in the
  // clear, which anyone on the way can send: a sign, never a verdict.
  // `signal`, when given, gives up on the call (a long poll for a session no longer watched).
  function call(method, target, body, retries, signal) {
    var who = link.pairing || link.phone;
    var id = freshId(), sent = Date.now();
    var envelope = seal.seal(who.key, seal.request(id, sent + (clock ? clock.offset : 0), runId, method, target, body));
    var abort = new AbortController();
    var timer = setTimeout(function () { abort.abort(); }, limitMs);
    if (signal) signal.addEventListener('abort', function () { abort.abort(); });
    return fetch('/api/sealed', { method: 'POST', body: who.id + '.' + envelope, signal: abort.signal, cache: 'no-store' }).then(function (response) {
      if (!response.ok) throw Object.assign(new Error('HTTP ' + response.status), { plain: response.status });
      return response.text();
    }).then(function (text) {
      var opened = seal.open(who.key, text);
      var answer = opened === null ? null : seal.answer(opened, id);
      if (!answer) throw new Error('not our answer');
      link.plainRefusals = 0;
      learnClock(answer.time, sent, Date.now(), answer.status === 408);
      runId = answer.run;
      // 412: another run of the app; 408: our clock is off (or the request waited too long). Nothing
      // was carried out, so it goes again under the run and the time just learned.
      if ((answer.status === 412 || answer.status === 408) && retries > 0) return call(method, target, body, retries - 1, signal);
      return new Response(answer.body, { status: answer.status, headers: { 'Content-Type': answer.type } });
    }).finally(function () { clearTimeout(timer); });
  }

  // A name for the laptop's list of phones; one given with `torvane --pair --name` wins.
  function deviceName() {
    var ua = navigator.userAgent;
    var model = /Android[^;)]*;\s*([^;)]+?)(?:\s+Build\/[^;)]*)?\)/.exec(ua);
    if (/iPhone|iPad/.test(ua)) return /iPad/.test(ua) ? 'iPad' : 'iPhone';
    if (model && model[1] !== 'K') return model[1];
    return /Android/.test(ua) ? 'Android' : /Mac OS X/.test(ua) ? 'Mac' : /Windows/.test(ua) ? 'Windows' : 'ブラウザ';
  }

  // The pairing code ("ID.KEY" from the address's "#p=") for a key of this phone's own, sealed both
  // ways under the code; the phone's name as the laptop keeps it.
  link.pair = function () {
    return call('POST', '/api/pair', 'name=' + encodeURIComponent(deviceName()), 2).then(function (response) {
      if (!response.ok) throw Object.assign(new Error('HTTP ' + response.status), { status: response.status });
      return response.json();
    }).then(function (got) {
      var mine = credential(String(got.phone) + '.' + String(got.key));
      if (!mine) throw new Error('no key');
      link.phone = mine;
      link.pairing = null;
      store.set(PHONE, JSON.stringify({ id: mine.id, key: mine.text }));
      return String(got.name);
    });
  };
  link.usePairingCode = function (text) { return (link.pairing = credential(text)); };
  link.forget = function () {
    link.phone = null;
    store.drop(PHONE);
  };
  link.freshId = freshId;
  link.call = call;
  return link;
};
