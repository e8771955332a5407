#include "app/ui/StatusMenu.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

// One line per row: "-" for a separator, else E(nabled)/D(isabled), a tick or not, the title;
// submenu rows follow their parent, indented.
void flatten(const Menu& menu, std::vector<std::string>& out, const std::string& indent = "") {
    for (const MenuItem& m : menu) {
        out.push_back(m.separator ? indent + "-"
                                  : indent + (m.enabled ? "E" : "D") + (m.checked ? "✓ " : "  ") + m.title);
        flatten(m.submenu, out, indent + "  ");
    }
}

TEST(StatusMenu, RowsInOrderWithTheirStateAndTheOtherModulesRowsInTheirPlaces) {
    StatusSnapshot s;
    s.reason = CarryReason::paused;
    s.paused = true;
    s.capsLockOn = true;
    s.floor = 15;
    s.launchAtLogin = true;
    s.heatLimit = 85;
    s.releaseWhenIdle = true;
    s.powerDescription = "バッテリー駆動・85%";
    s.temperatureDescription = "温度: 62°C";
    s.lidDescription = "ふた閉じ抑止: 無効";
    s.helperDescription = "ヘルパー: 未導入";
    s.sessions = {SessionBlock::State::listed,
                  {{"build & test", true, "作業中（make）", "1時間2分"}, {"メモ", false, "待機中", "5分"}}};
    std::vector<std::string> calls;
    StatusMenuActions actions{.togglePause = [&] { calls.push_back("pause"); },
                              .toggleLaunchAtLogin = [&] { calls.push_back("login"); },
                              .setFloor = [&](int p) { calls.push_back(std::to_string(p)); },
                              .setHeatLimit = [&](int c) { calls.push_back(std::to_string(c) + "°C"); },
                              .toggleReleaseWhenIdle = [&] { calls.push_back("idle"); },
                              .openLog = {},
                              .showAbout = {},
                              .quit = [&] { calls.push_back("quit"); }};
    StatusMenuExtensions ext;
    ext.helperRows.push_back(MenuItem::command("\u3000ふた閉じ抑止を有効にする…", [] {}));
    ext.phoneLinkRows.push_back(MenuItem::command("スマホ連携を開始", [] {}));
    const Menu menu = StatusMenu::build(s, actions, ext);
    std::vector<std::string> rows;
    flatten(menu, rows);
    // clang-format off
    EXPECT_EQ(rows, (std::vector<std::string>{
        "D  ○ 持ち運びモード 無効", "D  \u3000一時停止中（Caps Lock を無視します）", "-",
        "D  Caps Lock: ON", "D  電源: バッテリー駆動・85%", "D  温度: 62°C", "D  ふた閉じ抑止: 無効", "D  ヘルパー: 未導入",
        "E  \u3000ふた閉じ抑止を有効にする…", "-",
        "D  監視中の作業", "D  \u3000● build & test — 作業中（make）・1時間2分", "D  \u3000○ メモ — 待機中・5分", "-",
        "E✓ 一時停止", "E✓ ログイン時に起動", "E  バッテリー下限: 15%",
        "  E  10%", "  E✓ 15%", "  E  20%", "  E  30%", "  E  40%",
        "E  温度の上限", "  E  75°C", "  E  80°C", "  E✓ 85°C", "  E  90°C", "  E  95°C", "E✓ 作業が終わったら解除", "-",
        "E  スマホ連携を開始", "-",
        "E  稼働ログを開く", "E  Torvane について", "-",
        "E  終了"}));
    // clang-format on
    EXPECT_EQ(menu.back().keyEquivalent, "q");
    for (int i : {14, 15})
        menu[i].action();
    menu[16].submenu[4].action();
    menu[17].submenu[4].action();
    menu[18].action();
    menu.back().action();
    EXPECT_EQ(calls, (std::vector<std::string>{"pause", "login", "40", "95°C", "idle", "quit"}));

    // Without tmux, one line says so (the rows while active are the delegate's tests).
    s.sessions = {};
    EXPECT_EQ(StatusMenu::build(s, actions)[9].title, "tmux 未導入（sudo apt install tmux）");
}

} // namespace
} // namespace torvane
