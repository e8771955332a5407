#include "app/phone/SessionLine.hpp"

namespace torvane {

SessionLine::SessionLine() : state_(std::make_shared<State>()) {}

std::unique_ptr<SessionLine::Place> SessionLine::join(const std::string& session) {
    const std::lock_guard lock(state_->mutex);
    return std::make_unique<Place>(state_, session, state_->queues[session].next++);
}

SessionLine::Place::Place(std::shared_ptr<State> state, std::string session, std::uint64_t number)
    : state_(std::move(state)), session_(std::move(session)), number_(number) {}

bool SessionLine::Place::waitTurn(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    const Queue& queue = state_->queues.at(session_);
    if (state_->turned.wait_for(lock, limit, [&] { return queue.serving == number_; }))
        return true;
    lock.unlock();
    leave();
    return false;
}

void SessionLine::Place::leave() {
    const std::lock_guard lock(state_->mutex);
    if (left_)
        return;
    left_ = true;
    const auto found = state_->queues.find(session_);
    Queue& queue = found->second;
    if (queue.serving != number_) {
        queue.gone.insert(number_);
        return;
    }
    ++queue.serving;
    while (queue.gone.erase(queue.serving) > 0)
        ++queue.serving;
    if (queue.serving == queue.next)
        state_->queues.erase(found);
    state_->turned.notify_all();
}

} // namespace torvane
