#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace torvane {

// One thread of its own that runs the tasks given to it one at a time, in the order given. The thread
// starts with the first task. Thread-safe.
class SerialQueue {
public:
    using Task = std::function<void()>;

    SerialQueue() = default;
    ~SerialQueue(); // stop()
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Ignored once stopping.
    void post(Task task);
    // Blocks until every task posted before the call has run (or been dropped).
    void drain();
    // Drops the tasks not yet started, waits for the one under way; later tasks are ignored.
    void stop();
    // Runs every task already posted, then stops.
    void finish();

private:
    void run();
    void end(bool dropPending);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<Task> tasks_;
    std::uint64_t posted_ = 0;
    std::uint64_t finished_ = 0; // run or dropped
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace torvane
