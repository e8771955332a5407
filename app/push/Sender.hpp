#pragma once

#include "app/push/Policy.hpp"
#include "app/push/Targets.hpp"
#include "common/Cancellation.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

typedef void CURLM;

namespace torvane::push {

struct Delivery {
    Message message;
    std::optional<Endpoint> endpoint;
    std::optional<Command> command;
    // Called on the sender's thread once the message went or failed: empty, or why not (each target's
    // error, one a line). Also called for a delivery dropped from a full queue.
    std::function<void(const std::string& error)> done;
};

// Sends messages on a thread of its own, one at a time in the order given, so that no service that
// is slow or gone holds up anything else. Each send has a time limit (connect and transfer together)
// and is never retried: a phone that missed one message gets the next. The queue is bounded; when it
// is full the oldest waiting message is dropped and counted. A failure is logged once per target and
// kind until that target works again; the log names the host, never the topic or the message.
class Sender {
public:
    struct Options {
        std::chrono::milliseconds timeLimit{10'000};
        std::size_t queueLimit = 16;
    };

    Sender() : Sender(Options{}) {}
    explicit Sender(Options options);
    // Ends the send under way at once (the connection closed, a command killed) and drops the rest.
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Any thread; never blocks.
    void send(Delivery delivery);
    std::uint64_t dropped() const { return dropped_.load(); }
    // Whether everything given so far has been sent or has failed within `limit`.
    bool waitIdle(std::chrono::milliseconds limit);

private:
    struct Failure {
        std::string kind; // one log line per target and kind
        std::string text; // for the user
    };

    void run();
    std::string deliver(const Delivery& delivery);
    std::optional<Failure> post(const Endpoint& endpoint, const Message& message);
    std::optional<Failure> execute(const Command& command, const Message& message);
    // Logs a failure the first time its kind is seen for `target`, and the recovery after one.
    void note(const std::string& target, const std::optional<Failure>& failure);

    const Options options_;
    CURLM* multi_ = nullptr;
    Cancellation cancel_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<Delivery> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::atomic<bool> stop_{false};
    std::uint64_t droppedUnlogged_ = 0;
    std::atomic<std::uint64_t> dropped_{0};
    std::map<std::string, std::set<std::string>> failing_; // sender thread only
    std::thread thread_;                                   // last: it uses everything above
};

} // namespace torvane::push
