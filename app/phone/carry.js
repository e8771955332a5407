// The phone page's bar over everything: carry mode (or "接続なし" while the laptop does not answer),
// battery, temperature, and the pause, which goes
// through `post` (the page's sealed form call); `say` shows the outcome. Built into the page.
window.makeCarryBar = function (post, say) {
  'use strict';
  function byId(id) { return document.getElementById(id); }
  var carryBar = byId('carry'), carryToggle = byId('carry-toggle');
  var carryPaused = null;
  function showCarry(state) {
    var c = state.carry;
    carryBar.hidden = !c;
    if (!c) return;
    carryToggle.disabled = false;
    carryPaused = c.paused === true;
    var mode = carryPaused ? '一時停止中' : (c.active ? '有効' : '無効');
    byId('carry-mode').textContent = '持ち運び: ' + mode;
    byId('carry-mode').className = c.active ? 'on' : '';
    byId('carry-mode').title = String(c.reason || '');
    var figures = [];
    if (state.battery !== null && state.battery !== undefined) figures.push('電池 ' + state.battery + '%' + (state.onAC ? ' ⚡' : ''));
    figures.push('温度 ' + (c.temperature === null || c.temperature === undefined ? '不明' : c.temperature + '°C'));
    byId('carry-figures').textContent = figures.join('・');
    byId('carry-warning').hidden = !(c.active && c.lidHeld === false);
    carryToggle.textContent = carryPaused ? '再開' : '一時停止';
  }

  carryToggle.addEventListener('click', function () {
    if (carryPaused === null) return;
    var pausing = !carryPaused;
    if (pausing && !window.confirm('持ち運びモードを一時停止します。よろしいですか？')) return;
    post('/api/carry', { paused: pausing ? '1' : '0' }).then(function (response) {
      return response.json();
    }).then(function (state) {
      showCarry(state);
      say(pausing ? '一時停止しました' : '再開しました');
    }, function () {
      say('切り替えられませんでした');
    });
  });
  // No answer from the laptop: what carry mode does there is unknown, and the pause cannot be asked.
  function lost() {
    carryPaused = null;
    byId('carry-mode').textContent = '持ち運び: 接続なし';
    byId('carry-mode').className = '';
    byId('carry-warning').hidden = true;
    carryToggle.disabled = true;
  }
  return { show: showCarry, lost: lost };
};
