#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace torvane {

// The ids of recent sends and key presses, so that a send retried after a lost answer is typed once.
// Thread-safe.
class RetryLedger {
public:
    // How long, and how many, ids are remembered: a phone that lost its answer may retry much later.
    static constexpr std::chrono::hours idMemory{24};
    static constexpr std::size_t idsRemembered = 4096;

    // repeated: the id's first try succeeded; tried: it failed or gave no answer in time, and may
    // still have typed something (a tmux killed at its time limit can carry out its command later).
    enum class Outcome { done, repeated, tried, failed };

    // Runs `action` unless `id` was tried before (within idMemory): an id counts from the moment its
    // first try starts, whatever the outcome. A repetition that arrives while the first is under way
    // waits for its outcome. No id: always runs.
    Outcome once(const std::string& id, const std::function<bool()>& action);

private:
    enum class Try { pending, done, failed };
    std::mutex mutex_;
    std::condition_variable settled_;
    std::map<std::string, Try> ids_; // guarded by mutex_
    // The same ids, oldest first, with the start of their first try; guarded by mutex_.
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> order_;
};

} // namespace torvane
