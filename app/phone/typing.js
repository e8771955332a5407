// The phone page's typing: the input with 送信, the "Enter" switch, the key bar and 停止. Each action
// goes through `page.post` (the sealed form call) into `page.session()`, the session being watched;
// a send or key press that got no answer keeps its id, so that trying again cannot type it twice.
// Built into the page.
window.makeTyping = function (page) {
  'use strict';
  function byId(id) { return document.getElementById(id); }
  var input = byId('input'), sendButton = byId('send'), enterButton = byId('enter');
  var stopButton = byId('stop'), keys = byId('keys');
  var TRIED_BEFORE = '前回の送信が届いたか分かりません。画面を確かめてから送り直してください';
  var UNKNOWN_ARRIVAL = '届いたか不明です。画面を確認してください';
  var unsent = null, unpressed = null; // { session, text or key, id }

  // Whether a send presses Enter after the text: per session, kept on the phone. Off for a program
  // that takes single keys (vim's "i", less's "q") where an Enter would act.
  function pressesEnter(session) { return page.store.get('torvane.noenter.' + session) !== '1'; }
  function showEnter() {
    var session = page.session(), on = session === null || pressesEnter(session);
    enterButton.setAttribute('aria-pressed', String(on));
    enterButton.textContent = on ? '⏎あり' : '⏎なし';
  }
  enterButton.addEventListener('click', function () {
    var session = page.session();
    if (session === null) return;
    if (pressesEnter(session)) page.store.set('torvane.noenter.' + session, '1');
    else page.store.drop('torvane.noenter.' + session);
    showEnter();
  });

  function resetInputHeight() { input.style.height = ''; }
  input.addEventListener('input', function () {
    input.style.height = 'auto';
    var border = input.offsetHeight - input.clientHeight;
    input.style.height = Math.min(input.scrollHeight + border, 128) + 'px';
  });

  // A tap on a button must not take the focus from the input, or the phone's keyboard would close.
  [sendButton, enterButton, keys].forEach(function (element) {
    element.addEventListener('mousedown', function (event) { event.preventDefault(); });
  });

  // Refused by the server (its status is sealed): nothing was typed. No answer, or none that opens:
  // it may have arrived, and the user has to look before trying again.
  function tellFailure(error) {
    if (page.ended()) return;
    if (error.status || error instanceof URIError) page.say('送れませんでした。もう一度お試しください');
    else page.say(UNKNOWN_ARRIVAL, 6000);
  }
  // 409: this id was tried before and may have been typed: a new press sends anew, after a look.
  function triedBefore(error) {
    if (error.status !== 409) return false;
    page.say(TRIED_BEFORE, 6000); // long enough to read before acting on it
    return true;
  }

  sendButton.addEventListener('click', function () {
    var text = input.value, session = page.session();
    if (text === '' || session === null) return;
    var submit = pressesEnter(session) ? '1' : '0';
    if (!unsent || unsent.session !== session || unsent.text !== text || unsent.submit !== submit) {
      unsent = { session: session, text: text, submit: submit, id: page.freshId() };
    }
    var attempt = unsent;
    sendButton.disabled = true;
    page.post('/api/send', { s: session, text: text, submit: submit, id: attempt.id }).then(function () {
      if (unsent === attempt) unsent = null;
      // Keep whatever was typed while the request was on its way.
      if (input.value === text) input.value = '';
      else if (input.value.indexOf(text) === 0) input.value = input.value.slice(text.length);
      resetInputHeight();
      page.say('送信しました');
      page.soon();
    }, function (error) {
      if (triedBefore(error)) {
        if (unsent === attempt) unsent = null;
        return;
      }
      tellFailure(error);
      if (!(error instanceof URIError)) page.failed(error); // nothing was sent: the link is fine
    }).then(function () {
      sendButton.disabled = page.session() === null;
    });
  });

  keys.addEventListener('click', function (event) {
    var button = event.target.closest('button'), session = page.session();
    if (!button || session === null) return;
    var key = button.dataset.key;
    if (!unpressed || unpressed.session !== session || unpressed.key !== key) {
      unpressed = { session: session, key: key, id: page.freshId() };
    }
    var attempt = unpressed;
    page.post('/api/keys', { s: session, k: key, id: attempt.id }).then(function () {
      if (unpressed === attempt) unpressed = null;
      page.say('送信しました');
      page.soon();
    }, function (error) {
      if (triedBefore(error)) {
        if (unpressed === attempt) unpressed = null;
        return;
      }
      tellFailure(error);
      page.failed(error);
    });
  });

  stopButton.addEventListener('click', function () {
    var session = page.session();
    if (session === null) return;
    if (!window.confirm('実行中の処理を中断します。よろしいですか？')) return;
    page.post('/api/interrupt', { s: session }).then(function () {
      page.say('中断しました');
      page.soon();
    }, function () {
      page.say('中断できませんでした');
    });
  });

  // Typing goes nowhere while no session is being watched (none yet, or the watched one ended).
  return function update() {
    var none = page.session() === null;
    [sendButton, enterButton, stopButton].forEach(function (b) { b.disabled = none; });
    Array.prototype.forEach.call(keys.querySelectorAll('button'), function (b) { b.disabled = none; });
    showEnter();
  };
};
