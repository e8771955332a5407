#include "app/ui/StatusMenu.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

// Separators show as "—" so that a whole menu compares as one list.
std::vector<std::string> titles(const Menu& menu) {
    std::vector<std::string> out;
    for (const MenuItem& item : menu)
        out.push_back(item.separator ? "—" : item.title);
    return out;
}

const MenuItem& row(const Menu& menu, std::string_view title) {
    for (const MenuItem& item : menu)
        if (item.title == title)
            return item;
    ADD_FAILURE() << "no row " << title;
    static const MenuItem none;
    return none;
}

StatusSnapshot idleState() {
    StatusSnapshot s;
    s.floor = 20;
    s.powerDescription = "バッテリー駆動・85%";
    s.lidDescription = "ふた閉じ抑止: 無効";
    s.helperDescription = "ヘルパー: 未導入";
    s.sessions = std::vector<SessionRow>{};
    return s;
}

struct Recorder {
    std::vector<std::string> calls;
    StatusMenuActions actions() {
        return {
            .togglePause = [this] { calls.push_back("pause"); },
            .setFloor = [this](int p) { calls.push_back("floor " + std::to_string(p)); },
            .openLog = [this] { calls.push_back("log"); },
            .showAbout = [this] { calls.push_back("about"); },
            .quit = [this] { calls.push_back("quit"); },
        };
    }
};

TEST(StatusMenu, ListsEveryRowInOrderWhenIdle) {
    Recorder r;
    const Menu menu = StatusMenu::build(idleState(), r.actions());
    EXPECT_EQ(titles(menu), (std::vector<std::string>{
                                "○ 持ち運びモード 無効",
                                "\u3000Caps Lock をオンにすると有効になります",
                                "—",
                                "Caps Lock: OFF",
                                "電源: バッテリー駆動・85%",
                                "ふた閉じ抑止: 無効",
                                "ヘルパー: 未導入",
                                "—",
                                "監視中の作業: なし",
                                "—",
                                "一時停止",
                                "バッテリー下限: 20%",
                                "—",
                                "稼働ログを開く",
                                "Torvane について",
                                "—",
                                "終了",
                            }));
}

TEST(StatusMenu, InformationLinesAreDisabledAndCommandsEnabled) {
    Recorder r;
    const Menu menu = StatusMenu::build(idleState(), r.actions());
    for (const MenuItem& item : menu) {
        if (item.separator)
            continue;
        if (!item.submenu.empty()) {
            EXPECT_TRUE(item.enabled) << item.title;
            EXPECT_FALSE(item.action) << "the floor row only opens its submenu";
            continue;
        }
        EXPECT_EQ(item.enabled, static_cast<bool>(item.action)) << item.title;
        EXPECT_EQ(item.keyEquivalent, item.title == "終了" ? "q" : "") << item.title;
    }
}

TEST(StatusMenu, ActiveModeShowsFilledHeadlineAndWinsOverEveryOtherCondition) {
    StatusSnapshot s = idleState();
    s.active = true;
    s.paused = true;
    s.batteryBlocked = true;
    s.capsLockOn = true;
    s.lidDescription = "ふた閉じ抑止: 有効（ヘルパー経由）";
    const Menu menu = StatusMenu::build(s, Recorder().actions());
    EXPECT_EQ(menu[0].title, "● 持ち運びモード 有効");
    EXPECT_EQ(menu[1].title, "\u3000ふたを閉じても動き続けます");
    EXPECT_EQ(menu[3].title, "Caps Lock: ON");
    EXPECT_EQ(menu[5].title, "ふた閉じ抑止: 有効（ヘルパー経由）");
}

TEST(StatusMenu, SecondRowTakesTheFirstConditionThatApplies) {
    StatusSnapshot s = idleState();
    s.capsLockOn = true;
    EXPECT_EQ(StatusMenu::stateDetail(s), "待機中");
    s.batteryBlocked = true;
    EXPECT_EQ(StatusMenu::stateDetail(s), "バッテリー下限を割ったため自動解除中");
    s.paused = true;
    EXPECT_EQ(StatusMenu::stateDetail(s), "一時停止中（Caps Lock を無視します）");

    // Paused with Caps Lock on: the pause row is ticked.
    const Menu menu = StatusMenu::build(s, Recorder().actions());
    EXPECT_EQ(menu[0].title, "○ 持ち運びモード 無効");
    EXPECT_EQ(menu[1].title, "\u3000一時停止中（Caps Lock を無視します）");
    EXPECT_TRUE(row(menu, "一時停止").checked);
    EXPECT_FALSE(row(StatusMenu::build(idleState(), Recorder().actions()), "一時停止").checked);
}

TEST(StatusMenu, SessionBlockVariants) {
    StatusSnapshot s = idleState();

    s.sessions.reset();
    Menu menu = StatusMenu::build(s, Recorder().actions());
    EXPECT_EQ(menu[8].title, "tmux 未導入（sudo apt install tmux）");
    EXPECT_FALSE(menu[8].enabled);
    EXPECT_TRUE(menu[9].separator);

    s.sessions = std::vector<SessionRow>{
        {"build & test", true, "作業中（make）", "1時間2分"},
        {"メモ", false, "待機中", "5分"},
    };
    menu = StatusMenu::build(s, Recorder().actions());
    ASSERT_TRUE(menu[11].separator);
    const std::vector<std::string> t = titles(menu);
    EXPECT_EQ(std::vector<std::string>(t.begin() + 8, t.begin() + 11),
              (std::vector<std::string>{
                  "監視中の作業",
                  "\u3000● build & test — 作業中（make）・1時間2分",
                  "\u3000○ メモ — 待機中・5分",
              }));
    for (int i = 8; i < 11; ++i) {
        EXPECT_FALSE(menu[i].enabled);
        EXPECT_FALSE(menu[i].action);
    }
}

TEST(StatusMenu, FloorSubmenuTicksTheCurrentFloorOnly) {
    StatusSnapshot s = idleState();
    Menu menu = StatusMenu::build(s, Recorder().actions());
    const MenuItem& floor = row(menu, "バッテリー下限: 20%");
    ASSERT_EQ(floor.submenu.size(), 5u);
    std::vector<std::string> names;
    for (const MenuItem& choice : floor.submenu) {
        names.push_back(choice.title);
        EXPECT_EQ(choice.checked, choice.tag == 20) << choice.title;
        EXPECT_TRUE(choice.enabled);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"10%", "15%", "20%", "30%", "40%"}));
    EXPECT_EQ(floor.submenu[0].tag, 10);
    EXPECT_EQ(floor.submenu[4].tag, 40);

    // A floor stored by other means: the row shows it, no choice is ticked.
    s.floor = 25;
    menu = StatusMenu::build(s, Recorder().actions());
    const MenuItem& odd = row(menu, "バッテリー下限: 25%");
    for (const MenuItem& choice : odd.submenu)
        EXPECT_FALSE(choice.checked) << choice.title;
}

TEST(StatusMenu, OtherModulesRowsGoToTheirPlaces) {
    StatusMenuExtensions ext;
    ext.helperRows.push_back(MenuItem::command("\u3000ふた閉じ抑止を有効にする…", [] {}));
    ext.phoneLinkRows.push_back(MenuItem::command("スマホから接続…", [] {}));
    ext.phoneLinkRows.push_back(MenuItem::command("スマホ連携を停止", [] {}));
    const Menu menu = StatusMenu::build(idleState(), Recorder().actions(), ext);
    const std::vector<std::string> t = titles(menu);
    EXPECT_EQ(std::vector<std::string>(t.begin() + 6, t.begin() + 9),
              (std::vector<std::string>{"ヘルパー: 未導入", "\u3000ふた閉じ抑止を有効にする…", "—"}));
    EXPECT_EQ(std::vector<std::string>(t.begin() + 12, t.begin() + 18),
              (std::vector<std::string>{"バッテリー下限: 20%", "—", "スマホから接続…", "スマホ連携を停止",
                                        "—", "稼働ログを開く"}));

    // Without phone-link rows there is one separator between the floor and the log rows, not two.
    const Menu plain = StatusMenu::build(idleState(), Recorder().actions());
    for (std::size_t i = 1; i < plain.size(); ++i)
        EXPECT_FALSE(plain[i].separator && plain[i - 1].separator) << "two separators at " << i;
}

} // namespace
} // namespace torvane
