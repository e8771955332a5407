#pragma once

#include "common/UniqueFd.hpp"

#include <atomic>

namespace torvane {

// A switch thrown once, from any thread, that a blocking wait can watch: from then on fd() is readable.
// runSubprocess watches it to end a child early; a thrown switch stays thrown.
class Cancellation {
public:
    Cancellation();
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    // -1 when no pipe could be made; isCancelled() still answers.
    int fd() const { return readEnd_.get(); }

private:
    UniqueFd readEnd_, writeEnd_;
    std::atomic<bool> cancelled_{false};
};

} // namespace torvane
