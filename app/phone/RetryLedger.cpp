#include "app/phone/RetryLedger.hpp"

namespace torvane {

RetryLedger::Outcome RetryLedger::once(const std::string& id, const std::function<bool()>& action) {
    if (id.empty()) {
        return action() ? Outcome::done : Outcome::failed;
    }
    std::unique_lock lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = order_.begin();
         it != order_.end() && (now - it->first >= idMemory || order_.size() >= idsRemembered);) {
        // One still being tried stays: a retry meanwhile must wait for its outcome, not run it again.
        if (const auto entry = ids_.find(it->second); entry != ids_.end() && entry->second == Try::pending) {
            ++it;
            continue;
        }
        ids_.erase(it->second);
        it = order_.erase(it);
    }
    for (auto found = ids_.find(id); found != ids_.end(); found = ids_.find(id)) {
        if (found->second == Try::done) {
            return Outcome::repeated;
        }
        if (found->second == Try::failed) {
            return Outcome::tried;
        }
        settled_.wait(lock);
    }
    ids_.emplace(id, Try::pending);
    order_.emplace_back(now, id);
    lock.unlock();
    bool ok = false;
    const auto settle = [&] {
        lock.lock();
        if (const auto found = ids_.find(id); found != ids_.end()) {
            found->second = ok ? Try::done : Try::failed;
        }
        settled_.notify_all();
    };
    try {
        ok = action();
    } catch (...) {
        settle();
        throw;
    }
    settle();
    return ok ? Outcome::done : Outcome::failed;
}

} // namespace torvane
