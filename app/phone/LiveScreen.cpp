#include "app/phone/LiveScreen.hpp"

#include "app/phone/JsonString.hpp"
#include "app/tmux/ControlProtocol.hpp"
#include "common/Clock.hpp"

#include <algorithm>
#include <charconv>

namespace torvane {

using namespace std::chrono_literals;

namespace {

constexpr std::size_t keptShots = 3;

std::optional<std::size_t> number(std::string_view text) {
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? std::optional(value) : std::nullopt;
}

// "%3 120 2000 80 24 0 5 1 0": the pane and what ScreenDocument needs of it.
std::optional<ScreenDocument::Pane> parsePane(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    std::vector<std::string_view> f;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        f.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (f.size() != 9 || f[0].size() < 2 || f[0][0] != '%')
        return std::nullopt;
    std::size_t v[8];
    for (std::size_t i = 0; i < 8; ++i) {
        const auto n = number(f[i + 1]);
        if (!n)
            return std::nullopt;
        v[i] = *n;
    }
    ScreenDocument::Pane pane;
    pane.id = std::string(f[0]);
    pane.history = v[0];
    pane.historyLimit = v[1];
    pane.width = v[2];
    pane.height = v[3];
    pane.cursorX = v[4];
    pane.cursorY = v[5];
    pane.cursorShown = v[6] != 0;
    pane.alternate = v[7] != 0;
    if (pane.width == 0 || pane.height == 0)
        return std::nullopt;
    return pane;
}

// The state document with the seconds since the last output in whole minutes, as the page shows
// them: a page is not woken every second for the clock alone.
std::string stateKey(std::string_view json) {
    static constexpr std::string_view field = "\"activity\":";
    std::string key;
    for (std::size_t at = 0;;) {
        const std::size_t found = json.find(field, at);
        key.append(json.substr(at, found == std::string_view::npos ? found : found + field.size() - at));
        if (found == std::string_view::npos)
            return key;
        at = found + field.size();
        std::size_t seconds = 0;
        while (at < json.size() && json[at] >= '0' && json[at] <= '9')
            seconds =
                std::min<std::size_t>(seconds * 10 + static_cast<std::size_t>(json[at++] - '0'), 1u << 30);
        key += std::to_string(seconds / 60);
    }
}

std::string linesJSON(const std::vector<ScreenDocument::Line>& lines) {
    std::string json = "[";
    for (const auto& line : lines) {
        if (json.size() > 1)
            json += ',';
        json += jsonString(*line);
    }
    return json + "]";
}

} // namespace

LiveScreen::LiveScreen(Tmux& tmux, StateDocument& state, Options options)
    : tmux_(tmux), state_(state), options_(options),
      version_(static_cast<std::uint64_t>(std::max<long long>(
          1, std::chrono::duration_cast<std::chrono::milliseconds>(systemNow().time_since_epoch()).count()))),
      thread_([this] { loop(); }),
      attentionChanges_(
          state.attention().subscribe([this](const std::string&, Attention, Attention) { stateChanged(); })) {
}

void LiveScreen::stateChanged() {
    {
        const std::lock_guard lock(mutex_);
        stateDirty_ = true;
        poked_ = true;
    }
    wake_.notify_all();
}

void LiveScreen::answerWaiting() {
    {
        const std::lock_guard lock(mutex_);
        for (Waiter& waiter : waiters_)
            waiter.deadline = Clock::now();
        poked_ = true;
    }
    wake_.notify_all();
}

LiveScreen::~LiveScreen() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void LiveScreen::await(std::string session, std::uint64_t version, std::chrono::milliseconds wait,
                       Reply reply) {
    std::string answer;
    {
        const std::lock_guard lock(mutex_);
        Waiter waiter{std::move(session), version, Clock::now() + std::clamp(wait, {}, options_.maxWait),
                      std::move(reply)};
        const auto found = watches_.find(waiter.session);
        // A page asking afresh about a session that ended is answered after another try: a session of
        // that name may have been started since.
        const bool watched =
            waiter.session.empty() ||
            (found != watches_.end() &&
             !(waiter.version == 0 && !found->second->shots.empty() && !found->second->shots.back().look));
        // A state not looked at just now, or a session not watched yet, is looked at first. A page
        // starting afresh gets a state looked at after it asked: it may have had a newer one from the
        // old poll, and a session missing from an older one would read as ended.
        const bool fresh = Clock::now() - stateLooked_ < 500ms;
        stateDirty_ = stateDirty_ || waiter.version == 0;
        answer =
            watched && fresh && !silent_ ? answerFor(waiter, waiters_.size() >= options_.maxWaiting) : "";
        if (answer.empty()) {
            waiters_.push_back(std::move(waiter));
        } else {
            reply = std::move(waiter.reply);
        }
    }
    if (!answer.empty()) {
        reply(Response::json(answer));
        return;
    }
    poke();
}

pid_t LiveScreen::clientPid(const std::string& session) const {
    const std::lock_guard lock(mutex_);
    const auto found = watches_.find(session);
    return found != watches_.end() && found->second->control ? found->second->control->clientPid() : -1;
}

std::string LiveScreen::answerFor(const Waiter& waiter, bool always) const {
    const std::uint64_t v = waiter.version;
    if (v == 0 && stateLooked_ < waiter.asked && !always)
        return ""; // a page starting afresh waits for a state looked at after it asked
    const bool unknown = v == 0 || v > version_; // everything afresh
    std::string json;
    if (stateVersion_ != 0 && (unknown || stateVersion_ > v))
        json += ",\"state\":" + stateJson_;
    const auto found = watches_.find(waiter.session);
    if (!waiter.session.empty() && !always && (found == watches_.end() || found->second->shots.empty()))
        return ""; // the screen is on its way: both come together
    if (found != watches_.end() && !found->second->shots.empty()) {
        const auto& shots = found->second->shots;
        const Shot& now = shots.back();
        if (unknown || now.version > v) {
            json += ",\"screen\":{\"session\":" + jsonString(waiter.session);
            if (!now.look) {
                json += ",\"ended\":true}";
            } else {
                // The page has the lines of the last shot it was sent; none after an end.
                const Shot* base = nullptr;
                for (const Shot& shot : shots)
                    if (!unknown && shot.version <= v)
                        base = &shot;
                if (base && !base->look)
                    base = nullptr;
                static const std::vector<ScreenDocument::Line> none;
                const auto splice = spliceBetween(base ? base->look->lines : none, now.look->lines);
                const auto& look = *now.look;
                json += ",\"ended\":false,\"from\":" + std::to_string(base ? base->version : 0);
                json += ",\"trim\":" + std::to_string(splice.trim) + ",\"at\":" + std::to_string(splice.at);
                json +=
                    ",\"del\":" + std::to_string(splice.removed) + ",\"ins\":" + linesJSON(splice.inserted);
                json += ",\"lines\":" + std::to_string(look.lines.size()) +
                        ",\"top\":" + std::to_string(look.top);
                json += ",\"cursor\":";
                json += look.cursor ? "{\"line\":" + std::to_string(look.cursor->line) +
                                          ",\"col\":" + std::to_string(look.cursor->column) + "}"
                                    : std::string("null");
                json +=
                    ",\"width\":" + std::to_string(look.width) + ",\"height\":" + std::to_string(look.height);
                json += std::string(",\"alt\":") + (look.alternate ? "true" : "false") + "}";
            }
        }
    }
    if (json.empty() && !always)
        return "";
    return "{\"v\":" + std::to_string(version_) + json + "}";
}

void LiveScreen::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        // Sessions asked for: watched from now on; those nobody asked for lately: let go.
        for (const Waiter& waiter : waiters_) {
            if (waiter.session.empty())
                continue;
            auto& watch = watches_[waiter.session];
            if (!watch) {
                watch = std::make_unique<Watch>(waiter.session);
                watch->lost = false;
            }
            watch->wanted = now;
        }
        std::vector<Watch*> tended;
        for (auto it = watches_.begin(); it != watches_.end();) {
            if (now - it->second->wanted > options_.keep) {
                auto gone = std::move(it->second);
                it = watches_.erase(it);
                lock.unlock();
                gone.reset(); // ends its client
                lock.lock();
                continue;
            }
            tended.push_back(it->second.get());
            ++it;
        }
        lock.unlock();
        bool busy = false;
        for (Watch* watch : tended)
            busy = tend(*watch, now) || busy;
        refreshState(now);
        lock.lock();

        // Answer whoever has something newer, or has waited long enough.
        std::vector<std::pair<Reply, std::string>> replies;
        auto next = now + options_.stateInterval;
        for (const auto& [name, watch] : watches_)
            next = std::min(next, watch->wanted + options_.keep + 1ms); // when it is let go
        for (auto it = waiters_.begin(); it != waiters_.end();) {
            const bool due = it->deadline <= Clock::now();
            std::string answer = silent_ ? "" : answerFor(*it, due);
            if (silent_ || !answer.empty()) {
                replies.emplace_back(std::move(it->reply), std::move(answer));
                it = waiters_.erase(it);
                continue;
            }
            next = std::min(next, it->deadline);
            ++it;
        }
        if (busy)
            next = std::min(next, now + options_.minInterval);
        lock.unlock();
        for (auto& [reply, answer] : replies)
            reply(answer.empty() ? Response::tmuxNotAnswering() : Response::json(answer));
        replies.clear();
        lock.lock();
        if (waiters_.empty() && watches_.empty()) {
            wake_.wait(lock, [this] { return stopping_ || poked_; });
        } else {
            wake_.wait_until(lock, next, [this] { return stopping_ || poked_; });
        }
        poked_ = false;
    }
    // Unanswered: their connections close with the server, or the page gives up on them.
    waiters_.clear();
    auto watches = std::move(watches_);
    lock.unlock();
    watches.clear();
}

void LiveScreen::poke() {
    {
        const std::lock_guard lock(mutex_);
        poked_ = true;
    }
    wake_.notify_all();
}

bool LiveScreen::tend(Watch& watch, Clock::time_point now) {
    bool asked = false, afresh = false;
    {
        const std::lock_guard lock(mutex_);
        for (const Waiter& waiter : waiters_) {
            if (waiter.session == watch.name) {
                asked = true;
                afresh = afresh || waiter.version == 0 || waiter.version > version_;
            }
        }
    }
    if (watch.lost.exchange(false) && watch.control) {
        std::unique_ptr<TmuxControl> ended;
        {
            const std::lock_guard lock(mutex_);
            ended = std::move(watch.control);
        }
        ended.reset(); // not under the lock: its reader may be waiting for it
        watch.document.reset();
    }
    if (!watch.control) {
        const bool ended = !watch.shots.empty() && !watch.shots.back().look;
        if (!asked || (ended && !afresh))
            return false;
        watch.looked = now;
        auto control =
            std::make_unique<TmuxControl>(tmux_, [this, &watch](const TmuxControl::Change& change) {
                using Kind = TmuxControl::Kind;
                switch (change.kind) {
                case Kind::ended:
                case Kind::serverGone:
                case Kind::renamed:
                    watch.lost = true;
                    break;
                case Kind::session:
                    if (change.id != watch.name)
                        watch.lost = true;
                    break;
                case Kind::sessions:
                case Kind::otherWindows:
                    watch.sessions = true;
                    break;
                default:
                    watch.dirty = true;
                    break;
                }
                poke();
            });
        if (!control->watch(watch.name)) {
            record(watch, nullptr);
            return false;
        }
        {
            const std::lock_guard lock(mutex_);
            watch.control = std::move(control);
        }
        watch.dirty = true;
    }
    if (!asked || !watch.dirty)
        return false;
    // A look that fails (an answer too long to keep, a pane gone between two commands) is tried
    // again less and less often; a client that ended says so itself.
    const auto pause = std::min<std::chrono::milliseconds>(
        options_.minInterval * (1 << std::min(watch.failures, 6)), 2000ms);
    if (now - watch.looked < pause)
        return true;
    watch.looked = now;
    watch.dirty = false;
    if (look(watch)) {
        watch.failures = 0;
        watch.output = true; // a program that starts or ends mostly prints: the state may have moved
    } else {
        watch.dirty = true;
        ++watch.failures;
    }
    return watch.dirty;
}

bool LiveScreen::look(Watch& watch) {
    const auto target = control::quoteArgument("=" + watch.name + ":");
    if (!target)
        return false;
    const auto said = watch.control->command(
        "display-message -p -t " + *target +
        " '#{pane_id} #{history_size} #{history_limit} #{pane_width} #{pane_height} #{cursor_x} #{cursor_y} "
        "#{cursor_flag} #{alternate_on}'");
    const auto pane = said ? parsePane(*said) : std::nullopt;
    if (!pane)
        return false;
    auto& document = watch.document;
    // A screenful and a little history; when that cannot be placed (a burst scrolled by more), a few
    // screens more; the whole history only when even that cannot.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::size_t wanted = document.rowsToCapture(*pane);
        if (attempt == 1)
            wanted = std::max(wanted, 4 * (pane->height + 16));
        const bool whole = attempt == 2 || document.needsAll(*pane) || wanted >= pane->history;
        // Output goes on between the two commands: "-" takes the history from its start, however much
        // has come meanwhile.
        std::string rows = whole ? (pane->history > ScreenDocument::maxHistory
                                        ? "-" + std::to_string(ScreenDocument::maxHistory)
                                        : std::string("-"))
                                 : "-" + std::to_string(wanted);
        std::string command = "capture-pane -p -e -t " + pane->id;
        command += pane->alternate ? " -N" : " -J -S " + rows;
        const auto capture = watch.control->command(command);
        if (!capture)
            return false;
        if (document.merge(*pane, *capture, whole)) {
            record(watch, std::make_shared<const ScreenDocument::Look>(document.look()));
            return true;
        }
    }
    return false;
}

void LiveScreen::record(Watch& watch, std::shared_ptr<const ScreenDocument::Look> look) {
    const std::lock_guard lock(mutex_);
    if (!watch.shots.empty()) {
        const auto& last = watch.shots.back().look;
        const bool same = look && last && last->top == look->top && last->width == look->width &&
                          last->height == look->height && last->alternate == look->alternate &&
                          last->lines.size() == look->lines.size() &&
                          std::equal(last->lines.begin(), last->lines.end(), look->lines.begin(),
                                     [](const auto& a, const auto& b) { return a == b || *a == *b; }) &&
                          (last->cursor.has_value() == look->cursor.has_value()) &&
                          (!look->cursor || (last->cursor->line == look->cursor->line &&
                                             last->cursor->column == look->cursor->column));
        if (same || (!look && !last))
            return;
    }
    watch.shots.push_back(Shot{++version_, std::move(look)});
    if (watch.shots.size() > keptShots)
        watch.shots.pop_front();
}

void LiveScreen::refreshState(Clock::time_point now) {
    TmuxControl* control = nullptr;
    bool changed = false, asked = false;
    {
        const std::lock_guard lock(mutex_);
        asked = !waiters_.empty();
        changed = std::exchange(stateDirty_, false);
        for (const auto& [name, watch] : watches_) {
            changed = watch->sessions.exchange(false) || changed;
            changed = (watch->output.exchange(false) && now - stateLooked_ >= 3s) || changed;
            if (watch->control && !control)
                control = watch->control.get();
        }
    }
    // Without a client the listing costs a process: as often as the old poll did.
    const auto interval = control ? options_.stateInterval
                                  : std::min<std::chrono::milliseconds>(options_.stateInterval, 2000ms);
    if (!asked || (!changed && now - stateLooked_ < interval))
        return;
    std::optional<std::string> json;
    bool stuck = false;
    const auto began = Clock::now(); // what existed before this is in the listing
    if (control) {
        static const std::string list =
            "list-sessions -F " + *control::quoteArgument(Tmux::sessionListFormat());
        if (const auto listed = control->command(list))
            json = state_.json(Tmux::parseSessionList(*listed));
        // Its client still attached but no answer: the server is stuck, and a process would only
        // wait for it too.
        stuck = !json && control->isWatching();
    }
    if (!json && !stuck)
        json = state_.json();
    const std::lock_guard lock(mutex_);
    stateLooked_ = began;
    silent_ = !json; // a hung tmux is not a tmux without sessions: the waiting pages are told so
    if (!json)
        return;
    std::string key = stateKey(*json);
    if (key != stateKey_) {
        stateKey_ = std::move(key);
        stateVersion_ = ++version_;
    }
    stateJson_ = std::move(*json);
}

} // namespace torvane
