#include "app/ui/StatusMenu.hpp"

#include "app/core/Config.hpp"
#include "app/core/HostWords.hpp"

#include <algorithm>
#include <functional>
#include <span>

namespace torvane::StatusMenu {

namespace {

constexpr std::string_view indent = "\u3000";

void addSessionBlock(Menu& menu, const StatusSnapshot& state) {
    using State = SessionBlock::State;
    switch (state.sessions.state) {
    case State::missing:
        menu.push_back(MenuItem::info(std::string(tmuxMissingText())));
        return;
    case State::pending:
        menu.push_back(MenuItem::info("監視中の作業: 確認中…"));
        return;
    case State::noAnswer:
        menu.push_back(MenuItem::info("監視中の作業: tmux が応答しません"));
        return;
    case State::listed:
        break;
    }
    if (state.sessions.rows.empty()) {
        menu.push_back(MenuItem::info("監視中の作業: なし"));
        return;
    }
    menu.push_back(MenuItem::info("監視中の作業"));
    // What needs the user first, ended last; tmux's order within each state.
    std::vector<SessionRow> rows = state.sessions.rows;
    std::stable_sort(rows.begin(), rows.end(), [](const SessionRow& a, const SessionRow& b) {
        return attentionRank(a.attention) < attentionRank(b.attention);
    });
    for (const SessionRow& s : rows) {
        std::string line(indent);
        line += attentionSymbol(s.attention);
        line += " " + s.name + " — " + s.statusText + "・" + s.elapsedText;
        menu.push_back(MenuItem::info(std::move(line)));
    }
}

// A row that opens a submenu of values, the current one ticked.
MenuItem choiceRow(std::string title, std::span<const int> choices, std::string_view unit, int current,
                   const std::function<void(int)>& choose) {
    MenuItem row;
    row.title = std::move(title);
    row.enabled = true; // no action of its own: it opens the submenu
    for (int value : choices) {
        MenuItem choice = MenuItem::command(std::to_string(value) + std::string(unit), [choose, value] {
            if (choose)
                choose(value);
        });
        choice.tag = value;
        choice.checked = value == current;
        row.submenu.push_back(std::move(choice));
    }
    return row;
}

} // namespace

std::string aboutText(int floor) {
    const std::string machine = hostWords.machine;
    return "Caps Lock をオンにしている間だけ、ふたを閉じても" + machine +
           "がスリープしなくなります。\n"
           "オフにすれば、いつもの" +
           machine +
           "に戻ります。\n"
           "\n"
           "\u26A0 ふたを閉じた" +
           machine +
           "は排熱できません。\n"
           "\u3000 密閉した鞄には入れないでください。\n"
           "\n"
           "\u26A0 電源に繋がっていないと、電池は普段よりずっと速く減ります。\n"
           "\u3000 残り " +
           std::to_string(floor) +
           "% を割ると自動的に解除します。\n"
           "\n"
           "アプリが予期せず終了した場合も、常駐ヘルパーが\n"
           "15秒以内に通常の電源設定へ戻します。";
}

std::string_view stateDetail(const StatusSnapshot& state) {
    if (state.active)
        return state.lidHeld ? "ふたを閉じても動き続けます" : "ふたを閉じるとスリープします";
    switch (state.reason) {
    case CarryReason::paused:
        return "一時停止中（Caps Lock を無視します）";
    case CarryReason::sessionInactive:
        return "ほかのログインセッションに切り替わっているため解除中";
    case CarryReason::batteryFloor:
        return "バッテリー下限を割ったため自動解除中";
    case CarryReason::heat:
        return "温度が上限に達したため自動解除中";
    case CarryReason::workDone:
        return "作業が終わったため自動解除中";
    case CarryReason::capsLockOff:
        return "Caps Lock をオンにすると有効になります";
    case CarryReason::on:
        break;
    }
    return "待機中"; // decided on, not carried out yet
}

Menu build(const StatusSnapshot& state, const StatusMenuActions& actions,
           const StatusMenuExtensions& extensions) {
    Menu menu;
    menu.push_back(MenuItem::info(state.active ? "● 持ち運びモード 有効" : "○ 持ち運びモード 無効"));
    menu.push_back(MenuItem::info(std::string(indent) + std::string(stateDetail(state))));
    menu.push_back(MenuItem::makeSeparator());

    menu.push_back(MenuItem::info(std::string("Caps Lock: ") + (state.capsLockOn ? "ON" : "OFF")));
    menu.push_back(MenuItem::info("電源: " + state.powerDescription));
    menu.push_back(
        MenuItem::info(state.temperatureDescription.empty() ? "温度: 不明" : state.temperatureDescription));
    menu.push_back(MenuItem::info(state.lidDescription));
    menu.push_back(MenuItem::info(state.helperDescription));
    menu.insert(menu.end(), extensions.helperRows.begin(), extensions.helperRows.end());
    menu.push_back(MenuItem::makeSeparator());

    addSessionBlock(menu, state);
    menu.push_back(MenuItem::makeSeparator());

    MenuItem pause = MenuItem::command("一時停止", actions.togglePause);
    pause.checked = state.paused;
    menu.push_back(std::move(pause));
    if (state.launchAtLogin) {
        MenuItem login = MenuItem::command("ログイン時に起動", actions.toggleLaunchAtLogin);
        login.checked = *state.launchAtLogin;
        menu.push_back(std::move(login));
    }
    menu.push_back(choiceRow("バッテリー下限: " + std::to_string(state.floor) + "%", floorChoices, "%",
                             state.floor, actions.setFloor));
    menu.push_back(choiceRow("温度の上限", heatLimitChoices, "°C", state.heatLimit, actions.setHeatLimit));
    MenuItem idle = MenuItem::command("作業が終わったら解除", actions.toggleReleaseWhenIdle);
    idle.checked = state.releaseWhenIdle;
    menu.push_back(std::move(idle));
    menu.push_back(MenuItem::makeSeparator());

    // The phone-link group brings its own separator only when it has rows, so an empty place never
    // shows as two separators in a row.
    if (!extensions.phoneLinkRows.empty()) {
        menu.insert(menu.end(), extensions.phoneLinkRows.begin(), extensions.phoneLinkRows.end());
        menu.push_back(MenuItem::makeSeparator());
    }

    menu.push_back(MenuItem::command("稼働ログを開く", actions.openLog));
    menu.push_back(MenuItem::command(std::string(Config::appName) + " について", actions.showAbout));
    menu.push_back(MenuItem::makeSeparator());

    MenuItem quit = MenuItem::command("終了", actions.quit);
    quit.keyEquivalent = "q";
    menu.push_back(std::move(quit));
    return menu;
}

} // namespace torvane::StatusMenu
