#include "app/tmux/AttentionTracker.hpp"

#include <set>
#include <utility>

namespace torvane {

AttentionTracker& AttentionTracker::shared() {
    static AttentionTracker instance;
    return instance;
}

AttentionTracker::AttentionTracker(std::unique_ptr<PaneReader> reader, std::chrono::milliseconds interval)
    : reader_(std::move(reader)), interval_(interval) {}

AttentionTracker::~AttentionTracker() {
    stop();
}

void AttentionTracker::stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable())
        thread.join();
}

bool AttentionTracker::isNews(const std::string& session, Attention to) const {
    std::lock_guard lock(mutex_);
    const auto it = panes_.find(session);
    if (it == panes_.end() || std::chrono::steady_clock::now() - it->second.followed >= settling)
        return true;
    return to == Attention::input && !it->second.atStart;
}

void AttentionTracker::follow(const std::vector<AgentSession>& sessions) {
    {
        std::lock_guard lock(mutex_);
        std::set<std::string> listed;
        for (const AgentSession& s : sessions) {
            if (s.panePid <= 0)
                continue; // nothing to look at: it counts as working, unfollowed
            listed.insert(s.name);
            auto [it, added] = panes_.try_emplace(s.name);
            Pane& pane = it->second;
            if (added || pane.pid != s.panePid || pane.tty != s.paneTty) {
                // Another pane under the same name is another session: judged afresh.
                const Attention before = pane.shown;
                pane = Pane{};
                pane.pid = s.panePid;
                pane.tty = s.paneTty;
                pane.atStart = firstListing_;
                if (const auto g = gone_.find(s.name); g != gone_.end() && g->second == s.panePid)
                    pane.shown = Attention::ended;
                if (!added && before != pane.shown)
                    untold_.push_back({s.name, before, pane.shown});
                lookSoon_ = true;
            }
        }
        for (auto it = panes_.begin(); it != panes_.end();) {
            if (listed.contains(it->first)) {
                ++it;
                continue;
            }
            if (it->second.shown != Attention::ended)
                untold_.push_back({it->first, it->second.shown, Attention::ended});
            if (gone_.size() >= 64)
                gone_.clear();
            gone_[it->first] = it->second.pid;
            it = panes_.erase(it);
        }
        if (!untold_.empty())
            lookSoon_ = true;
        firstListing_ = false;
        if (!thread_.joinable() && !stopping_ && !panes_.empty())
            thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
}

std::optional<Attention> AttentionTracker::attention(const std::string& session) const {
    std::lock_guard lock(mutex_);
    const auto it = panes_.find(session);
    if (it == panes_.end())
        return std::nullopt;
    return it->second.shown;
}

std::map<std::string, Attention> AttentionTracker::all() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, Attention> out;
    for (const auto& [name, pane] : panes_)
        out.emplace(name, pane.shown);
    return out;
}

void AttentionTracker::run() {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // No panes, no looks: the thread sleeps until a listing brings one.
            wake_.wait_until(lock, panes_.empty() ? std::chrono::steady_clock::time_point::max() : next,
                             [this] { return stopping_ || lookSoon_; });
            if (stopping_)
                return;
            lookSoon_ = false;
        }
        lookRound();
        next = std::chrono::steady_clock::now() + interval_;
    }
}

void AttentionTracker::lookRound() {
    struct Target {
        std::string name;
        int pid;
        std::string tty;
    };
    std::vector<Target> targets;
    std::vector<Change> changes;
    {
        std::lock_guard lock(mutex_);
        changes.swap(untold_);
        for (const auto& [name, pane] : panes_)
            if (pane.shown != Attention::ended)
                targets.push_back({name, pane.pid, pane.tty});
    }
    if (!targets.empty()) {
        reader_->beginRound();
        std::vector<PaneLook> looks;
        looks.reserve(targets.size());
        for (const Target& t : targets)
            looks.push_back(reader_->look(t.pid, t.tty));
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (!looks[i].present)
                continue;
            const auto mark = reader_->siblingsMark(targets[i].pid);
            if (mark && panesMark_ && *mark != *panesMark_) {
                std::lock_guard lock(listenersMutex_);
                for (const auto& [id, listener] : paneListeners_)
                    listener();
            }
            panesMark_ = mark ? mark : panesMark_;
            tellsOfPanes_ = mark.has_value();
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const auto it = panes_.find(targets[i].name);
            // Followed anew while it was looked at: that look was of the old pane.
            if (it == panes_.end() || it->second.pid != targets[i].pid)
                continue;
            Pane& pane = it->second;
            const Attention to = pane.judge.next(looks[i], now);
            if (to != pane.shown)
                changes.push_back({targets[i].name, pane.shown, to});
            pane.shown = to;
        }
    }
    tell(changes);
}

void AttentionTracker::tell(const std::vector<Change>& changes) {
    if (changes.empty())
        return;
    std::lock_guard lock(listenersMutex_);
    for (const Change& c : changes)
        for (const auto& [id, listener] : listeners_)
            listener(c.session, c.from, c.to);
}

AttentionTracker::Subscription AttentionTracker::subscribe(Listener listener) {
    std::lock_guard lock(listenersMutex_);
    const int id = nextId_++;
    listeners_.emplace(id, std::move(listener));
    return Subscription(this, id);
}

AttentionTracker::Subscription AttentionTracker::subscribePanes(std::function<void()> listener) {
    std::lock_guard lock(listenersMutex_);
    const int id = nextId_++;
    paneListeners_.emplace(id, std::move(listener));
    return Subscription(this, id);
}

void AttentionTracker::unsubscribe(int id) {
    std::lock_guard lock(listenersMutex_);
    listeners_.erase(id);
    paneListeners_.erase(id);
}

AttentionTracker::Subscription::Subscription(Subscription&& other) noexcept
    : tracker_(std::exchange(other.tracker_, nullptr)), id_(other.id_) {}

AttentionTracker::Subscription& AttentionTracker::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        if (tracker_)
            tracker_->unsubscribe(id_);
        tracker_ = std::exchange(other.tracker_, nullptr);
        id_ = other.id_;
    }
    return *this;
}

AttentionTracker::Subscription::~Subscription() {
    if (tracker_)
        tracker_->unsubscribe(id_);
}

} // namespace torvane
