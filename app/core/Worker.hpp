#pragma once

#include "app/core/MainLoop.hpp"
#include "app/core/SerialQueue.hpp"

#include <functional>
#include <memory>

namespace torvane {

// A thread of its own for calls that may block (tmux, the password prompt, the notification service),
// so that the main thread never waits on them. Jobs run one at a time in the order given; what a job
// hands back runs on the main thread through the loop, and never once the worker is gone.
// Main thread only; the thread starts with the first job.
class Worker {
public:
    // Runs on the worker's thread; returns what the main thread then does (may be empty).
    using Job = std::function<std::function<void()>()>;

    explicit Worker(MainLoop& loop);
    // Drops the jobs not yet started and waits for the one under way: whoever owns a job that may
    // block must end it first (see Cancellation).
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void submit(Job job);
    // What the destructor does, for an end that runs no destructors (exit()); later jobs are dropped.
    void stop();

private:
    MainLoop& loop_;
    const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // read and cleared on the main thread
    SerialQueue queue_;
};

} // namespace torvane
