#pragma once

#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace torvane {

// The workers that carry out the phone link's tmux work: a pool of threads, with one strand per
// session, so that the jobs for one session run one at a time in the order they were posted, and a
// hung tmux call for one session holds up that session's line and one thread, nothing else.
class SessionQueues {
public:
    explicit SessionQueues(std::size_t threads);
    // Jobs not yet begun are dropped; waits for the running ones, so that none outlives what it uses
    // (the log among them).
    ~SessionQueues();
    SessionQueues(const SessionQueues&) = delete;
    SessionQueues& operator=(const SessionQueues&) = delete;

    // Runs `job` on a worker: after every earlier job of `session`, or with an empty session, as soon
    // as a thread is free. A job must not throw.
    void post(const std::string& session, std::function<void()> job);

private:
    using Strand = asio::strand<asio::thread_pool::executor_type>;
    struct Line {
        Strand strand;
        std::size_t jobs = 0; // posted and not yet finished: the line goes with the last
    };

    asio::thread_pool pool_;
    std::mutex mutex_;
    std::map<std::string, Line> lines_; // guarded by mutex_; only sessions with jobs
};

} // namespace torvane
