#include "tests/fakes/VirtualMainLoop.hpp"

#include <algorithm>

namespace torvane {

class VirtualMainLoop::Handle final : public Timer {
public:
    explicit Handle(std::weak_ptr<Entry> entry) : entry_(std::move(entry)) {}
    ~Handle() override {
        if (auto e = entry_.lock())
            e->cancelled = true;
    }

private:
    std::weak_ptr<Entry> entry_;
};

TimerHandle VirtualMainLoop::repeating(Seconds interval, std::function<void()> tick) {
    return schedule(interval, interval, std::move(tick));
}

TimerHandle VirtualMainLoop::once(Seconds delay, std::function<void()> fn) {
    return schedule(delay, Seconds{0}, std::move(fn));
}

TimerHandle VirtualMainLoop::schedule(Seconds delay, Seconds interval, std::function<void()> fn) {
    auto entry = std::make_shared<Entry>(Entry{now_ + delay, interval, nextOrder_++, std::move(fn)});
    entries_.push_back(entry);
    return std::make_unique<Handle>(entry);
}

void VirtualMainLoop::post(std::function<void()> fn) {
    const std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(fn));
}

void VirtualMainLoop::runPosted() {
    std::vector<std::function<void()>> batch;
    {
        const std::lock_guard lock(postedMutex_);
        batch.swap(posted_);
    }
    for (auto& fn : batch)
        fn();
}

void VirtualMainLoop::advance(Seconds by) {
    runPosted();
    const Seconds target = now_ + by;
    // Tolerance for sums of doubles such as 20 x 0.25.
    const Seconds epsilon{1e-9};
    for (;;) {
        std::erase_if(entries_, [](const auto& e) { return e->cancelled; });
        auto next = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a->due < b->due || (a->due == b->due && a->order < b->order);
        });
        if (next == entries_.end() || (*next)->due > target + epsilon)
            break;
        std::shared_ptr<Entry> entry = *next;
        now_ = std::max(now_, entry->due);
        if (entry->interval > Seconds{0}) {
            entry->due += entry->interval;
            entry->order = nextOrder_++;
        } else {
            entry->cancelled = true; // runs once
        }
        auto fn = entry->fn; // the callback may cancel or destroy its own handle
        fn();
    }
    now_ = std::max(now_, target);
}

std::size_t VirtualMainLoop::pendingCount() const {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return !e->cancelled; }));
}

} // namespace torvane
