#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace torvane {

// Requests that act on one session take turns in the order they joined, so that two long texts never
// arrive interleaved and a key never overtakes the text before it; other sessions' lines do not wait.
class SessionLine {
    struct State;

public:
    // One place in a session's line. Leaving it, or dropping it unserved, lets the next one go.
    class Place {
    public:
        Place(std::shared_ptr<State> state, std::string session, std::uint64_t number);
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;
        ~Place() { leave(); }

        // Waits until every earlier place has left. False when that took longer than `limit`; the place
        // is then given up.
        bool waitTurn(std::chrono::milliseconds limit);
        void leave();

    private:
        std::shared_ptr<State> state_;
        const std::string session_;
        const std::uint64_t number_;
        bool left_ = false; // guarded by state_->mutex
    };

    SessionLine();
    std::unique_ptr<Place> join(const std::string& session);

private:
    struct Queue {
        std::uint64_t next = 0;       // the number the next place gets
        std::uint64_t serving = 0;    // whose turn it is
        std::set<std::uint64_t> gone; // places given up before their turn
    };
    struct State {
        std::mutex mutex;
        std::condition_variable turned;
        std::map<std::string, Queue> queues; // only sessions with places in line
    };
    std::shared_ptr<State> state_;
};

} // namespace torvane
