#include "app/phone/SessionQueues.hpp"

#include <algorithm>
#include <asio/post.hpp>

namespace torvane {

SessionQueues::SessionQueues(std::size_t threads) : pool_(std::max<std::size_t>(threads, 1)) {}

SessionQueues::~SessionQueues() {
    pool_.stop();
    pool_.join();
}

void SessionQueues::post(const std::string& session, std::function<void()> job) {
    if (session.empty()) {
        asio::post(pool_, std::move(job));
        return;
    }
    const std::lock_guard lock(mutex_);
    Line& line = lines_.try_emplace(session, Line{asio::make_strand(pool_)}).first->second;
    ++line.jobs;
    asio::post(line.strand, [this, session, job = std::move(job)] {
        job();
        const std::lock_guard lock(mutex_);
        if (const auto found = lines_.find(session); found != lines_.end() && --found->second.jobs == 0) {
            lines_.erase(found);
        }
    });
}

} // namespace torvane
