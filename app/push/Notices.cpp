#include "app/push/Notices.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "common/Text.hpp"

#include <algorithm>
#include <climits>
#include <unistd.h>

namespace torvane::push {

namespace {

using Key = std::string_view;

MenuItem toggle(std::string title, bool checked, bool enabled, std::function<void()> action) {
    MenuItem row = MenuItem::command(std::move(title), std::move(action));
    row.checked = checked;
    row.enabled = enabled;
    return row;
}

} // namespace

std::string localHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !*name)
        return "このパソコン";
    return name;
}

std::string tagsFor(CarryReason reason) {
    switch (reason) {
    case CarryReason::batteryFloor:
        return "battery";
    case CarryReason::heat:
        return "thermometer";
    case CarryReason::workDone:
        return "white_check_mark";
    default:
        return "warning";
    }
}

Notices::Notices(Ports ports)
    : ports_(std::move(ports)), policy_(ports_.hostName.empty() ? localHostName() : ports_.hostName) {}

void Notices::sessionChanged(const std::string& session, State from, State to,
                             std::vector<std::string> screen) {
    if (!sender_)
        return;
    const Targets targets = reader_.read(ports_.settings);
    const auto keep = static_cast<std::ptrdiff_t>(targets.screenLines);
    if (static_cast<std::ptrdiff_t>(screen.size()) > keep)
        screen.erase(screen.begin(), screen.end() - keep);
    if (std::optional<Message> m = policy_.sessionChanged(session, from, to, ports_.clock(), screen))
        dispatch(*m, targets);
    schedule();
}

int Notices::screenLines() {
    return reader_.read(ports_.settings).screenLines;
}

bool Notices::sendsAnywhere() {
    const Targets t = reader_.read(ports_.settings);
    return t.sends() || (t.desktop && ports_.notifier);
}

void Notices::carryReleased(const std::string& reason, const std::string& tags) {
    if (!sender_)
        return;
    if (std::optional<Message> m = policy_.carryReleased(reason, tags, ports_.clock()))
        dispatch(*m, reader_.read(ports_.settings));
    schedule();
}

void Notices::dispatch(const Message& message, const Targets& targets) {
    if (message.kind == Message::Kind::input && targets.desktop && ports_.notifier)
        desktop_.submit([notifier = ports_.notifier, text = message.body.substr(0, message.body.find('\n'))] {
            notifier->notify(text);
            return std::function<void()>();
        });
    if (targets.sends())
        sender_->send({message, targets.endpoint, targets.command, {}});
}

void Notices::sendDue() {
    const std::vector<Message> due = policy_.due(ports_.clock());
    if (!due.empty()) {
        const Targets targets = reader_.read(ports_.settings); // read once: the settings hold for all
        for (const Message& m : due)
            dispatch(m, targets);
    }
    schedule();
}

void Notices::schedule() {
    const std::optional<BootSeconds> next = policy_.nextDue();
    if (!next) {
        dueTimer_.reset();
        return;
    }
    const BootSeconds wait = std::max(BootSeconds(0), *next - ports_.clock());
    dueTimer_ = ports_.loop.once(MainLoop::Seconds(wait.count()), [this] { sendDue(); });
}

std::vector<MenuItem> Notices::menuRows() {
    const Targets t = reader_.read(ports_.settings);
    const bool configured = t.endpoint || t.command;
    const std::string where = configured ? t.description() : "未設定";

    MenuItem group;
    group.title = "スマホへの通知: " + (!configured ? where : t.off ? "オフ" : where);
    group.enabled = true;
    auto& rows = group.submenu;
    rows.push_back(MenuItem::info("送り先: " + where));
    if (t.screenLines > 0)
        rows.push_back(MenuItem::info("画面の最後の " + std::to_string(t.screenLines) + " 行も送ります"));
    if (ports_.prompt)
        rows.push_back(MenuItem::command("送り先の URL を設定…", [this] { editURL(); }));
    rows.push_back(toggle("スマホへ通知する", configured && !t.off, configured, [this] { toggleOff(); }));
    MenuItem test =
        MenuItem::command(testUnderWay_ ? "テスト通知を送信中…" : "テスト通知を送る", [this] { sendTest(); });
    test.enabled = t.sends() && !testUnderWay_;
    rows.push_back(std::move(test));
    rows.push_back(MenuItem::makeSeparator());
    rows.push_back(toggle("入力待ちをデスクトップにも通知", t.desktop, ports_.notifier != nullptr,
                          [this] { toggleDesktop(); }));
    return {std::move(group)};
}

void Notices::sendTest() {
    const Targets targets = reader_.read(ports_.settings);
    if (!sender_ || testUnderWay_)
        return;
    if (!targets.sends()) {
        Log::write("テスト通知: 送り先がありません");
        ports_.alerts.run({AlertStyle::warning,
                           "テスト通知を送れません",
                           targets.off ? "スマホへの通知がオフになっています。"
                                       : "送り先の URL（または notifyCommand）が設定されていません。",
                           {"OK"},
                           std::nullopt});
        return;
    }
    testUnderWay_ = true;
    const std::string where = targets.description();
    Log::write("テスト通知を送ります（" + where + "）");
    sender_->send(
        {policy_.test(), targets.endpoint, targets.command,
         [this, alive = std::weak_ptr<bool>(alive_), where](const std::string& error) {
             ports_.loop.post([this, alive, where, error] {
                 if (alive.expired())
                     return;
                 testUnderWay_ = false;
                 Log::write(error.empty() ? "テスト通知を送りました（" + where + "）"
                                          : "WARN: テスト通知を送れませんでした: " + error);
                 Alert a;
                 a.style = error.empty() ? AlertStyle::informational : AlertStyle::warning;
                 a.message = error.empty() ? "テスト通知を送りました" : "テスト通知を送れませんでした";
                 a.informativeText =
                     error.empty() ? "送り先: " + where + "\nスマホに届いたか確かめてください。" : error;
                 ports_.alerts.run(a);
             });
         }});
}

void Notices::editURL() {
    if (!ports_.prompt)
        return;
    std::string text = ports_.settings.string(Config::Key::notifyURL).value_or("");
    for (;;) {
        const std::optional<std::string> answer = ports_.prompt->ask(
            "スマホへの通知",
            "ntfy のトピックの URL（例: https://ntfy.sh/推測されにくい名前）\n空にすると送り先を消します",
            text);
        if (!answer)
            return;
        text = std::string(text::trimWhitespaceAndNewlines(text::decodeUtf8Lossy(*answer)));
        const Parsed<Endpoint> parsed = parseEndpoint(text);
        if (!text.empty() && !parsed.value) {
            ports_.alerts.run(
                {AlertStyle::warning, "この URL は使えません", parsed.error, {"OK"}, std::nullopt});
            continue;
        }
        const bool saved = ports_.settings.setString(Config::Key::notifyURL, text) &&
                           (text.empty() || ports_.settings.setBoolean(Config::Key::notifyOff, false));
        Log::write(text.empty() ? "通知の送り先 URL を消しました"
                                : "通知の送り先を " + parsed.value->place + " にしました");
        if (!saved)
            Log::write("WARN: 通知の設定を保存できませんでした。この起動中だけ有効です");
        return;
    }
}

void Notices::toggleOff() {
    const bool off = !ports_.settings.boolean(Config::Key::notifyOff).value_or(false);
    ports_.settings.setBoolean(Config::Key::notifyOff, off);
    Log::write(off ? "スマホへの通知: オフ" : "スマホへの通知: オン");
}

void Notices::toggleDesktop() {
    const bool on = !ports_.settings.boolean(Config::Key::notifyDesktop).value_or(false);
    ports_.settings.setBoolean(Config::Key::notifyDesktop, on);
    Log::write(on ? "入力待ちのデスクトップ通知: オン" : "入力待ちのデスクトップ通知: オフ");
}

void Notices::shutdown() {
    dueTimer_.reset();
    sender_.reset();
    desktop_.stop();
}

} // namespace torvane::push
