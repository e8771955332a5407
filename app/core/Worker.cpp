#include "app/core/Worker.hpp"

namespace torvane {

Worker::Worker(MainLoop& loop) : loop_(loop) {}

Worker::~Worker() {
    stop();
}

void Worker::stop() {
    *alive_ = false;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void Worker::submit(Job job) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        jobs_.push_back(std::move(job));
    }
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    else
        wake_.notify_one();
}

void Worker::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::function<void()> then = job();
        if (then)
            loop_.post([alive = alive_, then = std::move(then)] {
                if (*alive)
                    then();
            });
    }
}

} // namespace torvane
