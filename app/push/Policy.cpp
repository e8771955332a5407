#include "app/push/Policy.hpp"

#include "app/core/Config.hpp"
#include "common/Text.hpp"

#include <algorithm>

namespace torvane::push {

namespace {

std::string titleFor(std::string_view subject) {
    return std::string(Config::appName) + ": " + std::string(subject);
}

std::size_t sequenceLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// The sentence, the laptop it is about, then as many of the screen's last lines as fit.
std::string compose(std::string_view sentence, const std::string& host,
                    const std::vector<std::string>& screen) {
    std::string head = std::string(sentence) + "（" + host + "）";
    std::vector<std::string> lines;
    std::size_t size = head.size() + 1;
    for (auto it = screen.rbegin(); it != screen.rend(); ++it) {
        std::string line = oneLine(*it, 300);
        if (size + line.size() + 1 > Policy::maxBody)
            break;
        size += line.size() + 1;
        lines.push_back(std::move(line));
    }
    if (lines.empty())
        return head;
    head += '\n';
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        head += '\n' + *it;
    return head;
}

} // namespace

std::optional<State> stateNamed(std::string_view name) {
    if (name == "input")
        return State::input;
    if (name == "working")
        return State::working;
    if (name == "shell")
        return State::shell;
    if (name == "ended")
        return State::ended;
    return std::nullopt;
}

std::string oneLine(std::string_view text, std::size_t maxCodePoints) {
    const std::string valid = text::decodeUtf8Lossy(text);
    std::string out;
    std::size_t count = 0;
    for (std::size_t i = 0; i < valid.size() && count < maxCodePoints; ++count) {
        const auto lead = static_cast<unsigned char>(valid[i]);
        const std::size_t n = std::min(sequenceLength(lead), valid.size() - i);
        const bool c1 = lead == 0xC2 && n == 2 && static_cast<unsigned char>(valid[i + 1]) < 0xA0;
        if (lead < 0x20 || lead == 0x7F || c1)
            out += ' ';
        else
            out.append(valid, i, n);
        i += n;
    }
    return out;
}

Policy::Policy(std::string hostName) : host_(oneLine(hostName, 64)) {}

std::optional<Message> Policy::sessionChanged(std::string_view session, State from, State to, BootSeconds now,
                                              const std::vector<std::string>& screen) {
    forgetEnded(now);
    auto it = sessions_.find(session);
    if (it == sessions_.end())
        it = sessions_.emplace(std::string(session), Slot{}).first;
    Slot& slot = it->second;
    if (slot.state == to) // told twice: one change, one message
        return std::nullopt;
    slot.state = to;

    const std::string name = oneLine(session, 60);
    Message m;
    m.session = std::string(session);
    m.title = titleFor(name);
    if (to == State::input && from != State::input) {
        m.kind = Message::Kind::input;
        m.body = compose(name + " は入力待ちです", host_, screen);
        m.priority = "high";
        m.tags = "bell";
    } else if (from == State::working && (to == State::shell || to == State::ended)) {
        m.kind = Message::Kind::finished;
        m.body =
            compose(name + (to == State::shell ? " の作業が終了しました" : " のセッションが終了しました"),
                    host_, screen);
        m.priority = "default";
        m.tags = "white_check_mark";
    } else {
        // Whatever was held is no longer true: the session no longer waits, or new work has begun.
        if (slot.held && (slot.held->kind == Message::Kind::input || to == State::working))
            slot.held.reset();
        return std::nullopt;
    }
    return offer(slot, std::move(m), now);
}

std::optional<Message> Policy::carryReleased(std::string_view reason, std::string_view tags,
                                             BootSeconds now) {
    Message m;
    m.kind = Message::Kind::carryReleased;
    m.title = titleFor("持ち運びモード解除");
    m.body = compose(text::decodeUtf8Lossy(reason), host_, {});
    m.priority = "high";
    m.tags = std::string(tags);
    return offer(carry_, std::move(m), now);
}

Message Policy::test() const {
    Message m;
    m.kind = Message::Kind::test;
    m.title = titleFor("テスト通知");
    m.body = compose("テスト通知です。これが届けば通知の設定は動いています", host_, {});
    m.priority = "default";
    m.tags = "bell";
    return m;
}

std::optional<Message> Policy::offer(Slot& slot, Message message, BootSeconds now) {
    if (slot.lastSent && now - *slot.lastSent < spacing) {
        slot.held = std::move(message);
        return std::nullopt;
    }
    slot.lastSent = now;
    slot.held.reset();
    return message;
}

std::vector<Message> Policy::due(BootSeconds now) {
    std::vector<Message> out;
    auto release = [&](Slot& slot) {
        if (slot.held && now - *slot.lastSent >= spacing) {
            out.push_back(std::move(*slot.held));
            slot.held.reset();
            slot.lastSent = now;
        }
    };
    release(carry_);
    for (auto& [name, slot] : sessions_)
        release(slot);
    forgetEnded(now);
    return out;
}

std::optional<BootSeconds> Policy::nextDue() const {
    std::optional<BootSeconds> next;
    auto consider = [&](const Slot& slot) {
        if (slot.held && (!next || *slot.lastSent + spacing < *next))
            next = *slot.lastSent + spacing;
    };
    consider(carry_);
    for (const auto& [name, slot] : sessions_)
        consider(slot);
    return next;
}

// A session that ended is forgotten once nothing of it is held and its spacing has passed, so that
// many short-lived sessions leave nothing behind.
void Policy::forgetEnded(BootSeconds now) {
    std::erase_if(sessions_, [now](const auto& entry) {
        const Slot& s = entry.second;
        return s.state == State::ended && !s.held && (!s.lastSent || now - *s.lastSent >= spacing);
    });
}

} // namespace torvane::push
