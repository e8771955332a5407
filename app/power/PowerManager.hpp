#pragma once

#include "app/core/MainLoop.hpp"
#include "app/core/Worker.hpp"
#include "app/platform/PowerAssertions.hpp"
#include "app/power/RequestChannel.hpp"

#include <memory>
#include <optional>
#include <string_view>

namespace torvane {

// Carries out carry mode: the app's own two power assertions, the request to the daemon and its
// heartbeat, and the lid watch while active. Main thread only. The ports must outlive the manager.
class PowerManager {
public:
    using HelperStatus = torvane::HelperStatus;

    // How the lid-closed case is covered at present.
    enum class LidMechanism { helper, unconfirmed, none };

    // locksOnWorker: the two locks are asked for on a thread of their own, so that a bus that does not
    // answer never holds up the caller; they are held from when the answer comes back.
    PowerManager(MainLoop& loop, PowerAssertions& assertions, RequestChannel channel = RequestChannel(),
                 bool locksOnWorker = false);
    // Releases assertions still held; the request file is left as it is (shutdown() writes "0"). A lock
    // request still under way is waited for (the bus call's own time limit bounds it).
    ~PowerManager();
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // Brings the machine into the wished mode; does nothing at all when already in it.
    void apply(bool active);
    // Releases everything and leaves "0" in the request file, whatever the state; for orderly exits.
    void shutdown();

    bool isActive() const { return active_; }
    LidMechanism lidMechanism() const { return lidMechanism_; }
    // The lid is held for us: carry mode through the daemon, the last request write succeeded, and the
    // daemon has touched its ack since the "1" went in and within the last protocol::ackHeldSeconds (by
    // the boot clock, looked at every protocol::ackLookSeconds).
    bool lidHeld() const;

    bool canWriteRequest() const { return channel_.canWriteRequest(); }
    HelperStatus helperStatus() const { return channel_.helperStatus(); }
    const RequestChannel& requestChannel() const { return channel_; }

    // Called with false when the lid stops being held while carry mode through the daemon is on (also
    // when the first ack does not come in time), and with true when it is held again after that.
    std::function<void(bool held)> onLidHoldChanged;
    // Called whenever lidHeld() turns, announced or not (the first ack of carry mode is not): for what shows
    // it.
    std::function<void()> onLidShownChanged;

    // Writes "0" while inactive if the request says anything else (a crashed run's "1", or none yet
    // since the helper came): the daemon then acknowledges, and nothing asks for the lid by mistake.
    void settleRequest();

    // How long after carry mode starts the daemon may take to show its first ack before it is missed.
    static constexpr double ackGraceSeconds = 2.5 * protocol::pollSeconds;

    static std::string_view description(LidMechanism mechanism);

private:
    void startHeartbeat();
    void releaseRequest(); // "0", where there is a shared directory to write it in
    void heartbeat();
    struct Taken {
        std::optional<AssertionResult> idle, lid; // absent: not asked for
    };
    // Asks for whichever of the two locks is not held, unless a request is under way.
    void takeAssertions();
    void assertionsTaken(const Taken& taken);
    void releaseAssertions();
    // Writes "1"; then tells whether the lid is still held, when that changed.
    void writeWish();
    void checkLidHold();

    MainLoop& loop_;
    PowerAssertions& assertions_;
    RequestChannel channel_;

    AssertionID assertionID_ = 0;
    bool hasAssertion_ = false;
    AssertionID lidAssertionID_ = 0;
    bool hasLidAssertion_ = false;
    TimerHandle heartbeatTimer_;
    TimerHandle ackGraceTimer_; // set while the first ack may still be on its way
    TimerHandle ackLookTimer_;
    bool lastWriteOk_ = false;
    BootSeconds wishSince_{};   // when the "1" now in place began to be written
    bool heldShown_ = false;    // what lidHeld() said at the last check
    bool heldReported_ = false; // what onLidHoldChanged last said (true at the start of carry mode)
    bool active_ = false;
    LidMechanism lidMechanism_ = LidMechanism::none;
    bool takingAssertions_ = false;
    std::unique_ptr<Worker> lockWorker_;
};

inline std::string_view description(PowerManager::LidMechanism mechanism) {
    return PowerManager::description(mechanism);
}

} // namespace torvane
