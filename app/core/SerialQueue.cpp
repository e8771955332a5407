#include "app/core/SerialQueue.hpp"

namespace torvane {

SerialQueue::~SerialQueue() {
    stop();
}

void SerialQueue::post(Task task) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        tasks_.push_back(std::move(task));
        ++posted_;
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
            return;
        }
    }
    wake_.notify_one();
}

void SerialQueue::drain() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    done_.wait(lock, [&] { return finished_ >= target; });
}

void SerialQueue::stop() {
    end(true);
}

void SerialQueue::finish() {
    end(false);
}

void SerialQueue::end(bool dropPending) {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        if (dropPending) {
            finished_ += tasks_.size();
            tasks_.clear();
        }
    }
    wake_.notify_one();
    done_.notify_all();
    // Nothing starts the thread once stopping_ is set, so it is read here without the lock.
    if (thread_.joinable())
        thread_.join();
}

void SerialQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty())
            return; // stopping, nothing left to run
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr; // what the task holds goes before its completion is announced
        lock.lock();
        ++finished_;
        done_.notify_all();
    }
}

} // namespace torvane
