#include "app/ui/StatusMenu.hpp"

#include "app/core/Config.hpp"

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
    for (const SessionRow& s : state.sessions.rows) {
        std::string line(indent);
        line += s.working ? "●" : "○";
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

std::string_view stateDetail(const StatusSnapshot& state) {
    if (state.active)
        return state.lidHeld ? "ふたを閉じても動き続けます" : "ふたを閉じるとスリープします";
    if (state.paused)
        return "一時停止中（Caps Lock を無視します）";
    if (state.sessionInactive)
        return "ほかのログインセッションに切り替わっているため解除中";
    if (state.batteryBlocked)
        return "バッテリー下限を割ったため自動解除中";
    if (state.heatBlocked)
        return "温度が上限に達したため自動解除中";
    if (state.workDone)
        return "作業が終わったため自動解除中";
    if (state.capsLockOn)
        return "待機中";
    return "Caps Lock をオンにすると有効になります";
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
