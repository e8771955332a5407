// The phone page's sealed calls: secretbox envelopes (a random nonce, then the box, in base64) under
// the phone's own key, or the pairing code's from the URL's fragment. Built into the page after
// TweetNaCl; node loads it as a module to check that it agrees with the server.
(function (root, make) {
  if (typeof module === 'object' && module.exports) module.exports = make;
  else root.makePhoneSeal = make;
})(this, function (nacl) {
  'use strict';
  var encoder = new TextEncoder(), decoder = new TextDecoder();
  var NONCE = nacl.secretbox.nonceLength;

  function fromBase64(text) {
    var binary = atob(text), bytes = new Uint8Array(binary.length);
    for (var i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }

  function toBase64(bytes) {
    var binary = '';
    for (var i = 0; i < bytes.length; i += 0x8000) {
      binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    }
    return btoa(binary);
  }

  // URL-safe base64 without padding, as in "#p=…"; null unless it is a whole key.
  function keyFromText(text) {
    var key;
    try {
      key = fromBase64(String(text).replace(/-/g, '+').replace(/_/g, '/') + '==='.slice((text.length + 3) % 4));
    } catch (e) {
      return null;
    }
    return key.length === nacl.secretbox.keyLength ? key : null;
  }

  // `nonce` only for known-answer checks: a nonce is never used twice under one key.
  function seal(key, text, nonce) {
    nonce = nonce || nacl.randomBytes(NONCE);
    var box = nacl.secretbox(encoder.encode(text), nonce, key);
    var envelope = new Uint8Array(NONCE + box.length);
    envelope.set(nonce);
    envelope.set(box, NONCE);
    return toBase64(envelope);
  }

  // The text inside, or null when the envelope is not one or does not open under `key`.
  function open(key, envelope) {
    var raw;
    try {
      raw = fromBase64(envelope);
    } catch (e) {
      return null;
    }
    if (raw.length < NONCE + nacl.secretbox.overheadLength) return null;
    var text = nacl.secretbox.open(raw.subarray(NONCE), raw.subarray(0, NONCE), key);
    return text ? decoder.decode(text) : null;
  }

  // "Q", id, time (ms), the app's run id as last heard (may be empty), method, target, then the form
  // body, one per line.
  function request(id, time, run, method, target, body) {
    return ['Q', id, String(Math.round(time)), run, method, target, body || ''].join('\n');
  }

  // The answer to request `id`: { status, time, run, type, body }; null for anything else.
  function answer(text, id) {
    var fields = [], at = 0;
    for (var i = 0; i < 6; i++) {
      var end = text.indexOf('\n', at);
      if (end < 0) return null;
      fields.push(text.slice(at, end));
      at = end + 1;
    }
    if (fields[0] !== 'A' || fields[1] !== id) return null;
    return { status: Number(fields[2]), time: Number(fields[3]), run: fields[4], type: fields[5], body: text.slice(at) };
  }

  return { keyFromText: keyFromText, seal: seal, open: open, request: request, answer: answer };
});
