#include "app/core/Worker.hpp"

namespace torvane {

Worker::Worker(MainLoop& loop) : loop_(loop) {}

Worker::~Worker() {
    stop();
}

void Worker::stop() {
    *alive_ = false;
    queue_.stop();
}

void Worker::submit(Job job) {
    queue_.post([this, job = std::move(job)] {
        std::function<void()> then = job();
        if (then)
            loop_.post([alive = alive_, then = std::move(then)] {
                if (*alive)
                    then();
            });
    });
}

} // namespace torvane
