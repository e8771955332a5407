#include "app/ui/StatusMenu.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace torvane {
namespace {

// The row with this title, in the menu or one of its submenus.
const MenuItem* row(const Menu& menu, std::string_view title) {
    for (const MenuItem& m : menu) {
        const MenuItem* found = m.title == title ? &m : row(m.submenu, title);
        if (found)
            return found;
    }
    return nullptr;
}

std::ptrdiff_t place(const Menu& menu, std::string_view title) {
    return std::find_if(menu.begin(), menu.end(), [&](const MenuItem& m) { return m.title == title; }) -
           menu.begin();
}

TEST(StatusMenu, ReadsTheStateTicksTheCurrentChoicesAndEachRowDoesWhatItsTitleSays) {
    std::string done;
    const auto does = [&](std::string what) { return [&done, what] { done = what; }; };
    const auto number = [&](std::string unit) {
        return [&done, unit](int n) { done = std::to_string(n) + unit; };
    };
    const StatusMenuActions actions{does("pause"), does("login"), number("%"),   number("°C"),
                                    does("idle"),  does("log"),   does("about"), does("quit")};
    StatusSnapshot state;
    state.reason = CarryReason::paused;
    state.paused = state.capsLockOn = true;
    state.floor = 15;
    state.heatLimit = 85;
    state.launchAtLogin = false;
    state.powerDescription = "バッテリー駆動・85%";
    state.helperDescription = "ヘルパー: 未導入";
    state.sessions = {SessionBlock::State::listed,
                      {{"build & test", Attention::working, "作業中（make）", "1時間2分"}}};
    const StatusMenuExtensions ext{{MenuItem::command("\u3000ふた閉じ抑止を有効にする…", [] {})},
                                   {MenuItem::command("スマホ連携を開始", [] {})}};
    const Menu menu = StatusMenu::build(state, actions, ext);

    EXPECT_EQ(menu[0].title, "○ 持ち運びモード 無効");
    for (const char* line :
         {"\u3000一時停止中（Caps Lock を無視します）", "Caps Lock: ON", "電源: バッテリー駆動・85%",
          "温度: 不明", "\u3000● build & test — 作業中（make）・1時間2分"})
        EXPECT_TRUE(row(menu, line) && !row(menu, line)->enabled)
            << line << ": a line to read, not to choose";
    const auto& floors = row(menu, "バッテリー下限: 15%")->submenu;
    EXPECT_EQ(std::count_if(floors.begin(), floors.end(), [](auto& m) { return m.checked; }), 1);
    EXPECT_TRUE(row(menu, "15%")->checked && row(menu, "85°C")->checked && row(menu, "一時停止")->checked);
    EXPECT_FALSE(row(menu, "作業が終わったら解除")->checked);
    // clang-format off
    const char* const choices[][2] = {
        {"一時停止", "pause"}, {"ログイン時に起動", "login"}, {"10%", "10%"}, {"40%", "40%"}, {"75°C", "75°C"},
        {"95°C", "95°C"}, {"作業が終わったら解除", "idle"}, {"稼働ログを開く", "log"}, {"Torvane について", "about"},
        {"終了", "quit"}};
    // clang-format on
    for (const auto& [title, effect] : choices) {
        const MenuItem* m = row(menu, title);
        ASSERT_TRUE(m && m->enabled && m->action) << title;
        m->action();
        EXPECT_EQ(done, effect) << title;
    }
    EXPECT_EQ(row(menu, "終了")->keyEquivalent, "q");

    // Other modules' rows: the helper's right after its status, the phone link's in a group before the log.
    EXPECT_EQ(place(menu, "\u3000ふた閉じ抑止を有効にする…"), place(menu, "ヘルパー: 未導入") + 1);
    const auto phone = place(menu, "スマホ連携を開始");
    EXPECT_TRUE(menu[phone - 1].separator && menu[phone + 1].separator &&
                menu[phone + 2].title == "稼働ログを開く");

    state.sessions = {};         // tmux not installed
    state.launchAtLogin.reset(); // the start at login cannot be set here
    const Menu bare = StatusMenu::build(state, actions);
    EXPECT_TRUE(row(bare, "tmux 未導入（sudo apt install tmux）"));
    EXPECT_FALSE(row(bare, "ログイン時に起動"));
}

TEST(StatusMenu, SessionsThatNeedTheUserComeFirstAndEachStateHasItsSymbol) {
    StatusSnapshot state;
    state.sessions = {SessionBlock::State::listed,
                      {{"a", Attention::ended, "終了", "3分"},
                       {"b", Attention::shell, "待機中", "2分"},
                       {"c", Attention::working, "作業中（make）", "1分"},
                       {"d", Attention::input, "入力待ち", "0分"},
                       {"e", Attention::shell, "待機中", "0分"}}};
    const Menu menu = StatusMenu::build(state, {});
    std::vector<std::string> rows;
    for (auto it = std::find_if(menu.begin(), menu.end(), [](auto& m) { return m.title == "監視中の作業"; });
         ++it != menu.end() && it->title.starts_with("\u3000");)
        rows.push_back(it->title);
    EXPECT_EQ(rows, (std::vector<std::string>{"\u3000◆ d — 入力待ち・0分", "\u3000● c — 作業中（make）・1分",
                                              "\u3000○ b — 待機中・2分", "\u3000○ e — 待機中・0分",
                                              "\u3000× a — 終了・3分"}));
}

} // namespace
} // namespace torvane
