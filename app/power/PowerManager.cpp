#include "app/power/PowerManager.hpp"

#include "app/core/Config.hpp"
#include "app/core/HostWords.hpp"
#include "app/core/Log.hpp"

#include <string>

namespace torvane {

namespace {

using namespace std::string_literals;

const std::string idleAssertionName = std::string(Config::appName) + ": 持ち運びモード";
const std::string lidAssertionName = std::string(Config::appName) + ": ふたを閉じても動作を継続";

} // namespace

std::string_view PowerManager::description(LidMechanism mechanism) {
    switch (mechanism) {
    case LidMechanism::helper:
        return "ふた閉じ抑止: 有効（ヘルパー経由）";
    case LidMechanism::unconfirmed:
        return "ふた閉じ抑止: ⚠️ 未確認（ヘルパー未導入）";
    case LidMechanism::none:
        return "ふた閉じ抑止: 無効";
    }
    return "ふた閉じ抑止: 無効";
}

PowerManager::PowerManager(MainLoop& loop, PowerAssertions& assertions, RequestChannel channel,
                           bool locksOnWorker)
    : loop_(loop), assertions_(assertions), channel_(std::move(channel)),
      lockWorker_(locksOnWorker ? std::make_unique<Worker>(loop) : nullptr) {}

PowerManager::~PowerManager() {
    heartbeatTimer_.reset();
    lockWorker_.reset();
    releaseAssertions();
}

void PowerManager::apply(bool active) {
    if (active == active_)
        return;
    active_ = active;

    if (!active) {
        heartbeatTimer_.reset();
        ackGraceTimer_.reset();
        ackLookTimer_.reset();
        releaseRequest();
        releaseAssertions();
        lidMechanism_ = LidMechanism::none;
        Log::write("持ち運びモード OFF（通常の電源設定に戻す）");
        return;
    }

    takeAssertions();
    if (channel_.canWriteRequest()) {
        lidMechanism_ = LidMechanism::helper;
        heldReported_ = true;
        heldShown_ = false;
        lastWriteOk_ = false;
        ackGraceTimer_ = loop_.once(MainLoop::Seconds(ackGraceSeconds), [this] {
            ackGraceTimer_.reset();
            checkLidHold();
        });
        ackLookTimer_ = loop_.repeating(MainLoop::Seconds(protocol::ackLookSeconds), [this] {
            channel_.lookAtAck();
            checkLidHold();
        });
        writeWish();
        startHeartbeat();
    } else {
        lidMechanism_ = LidMechanism::unconfirmed;
        if (channel_.helperStatus() == HelperStatus::otherUser)
            Log::write("WARN: ヘルパーは別のユーザー用に導入されています。ふたを閉じるとスリープします");
        else
            Log::write("WARN: ヘルパーが未導入です。ふたを閉じるとスリープします。 "
                       "メニューの「ふた閉じ抑止を有効にする」から導入してください");
    }
    Log::write("持ち運びモード ON（" + std::string(description(lidMechanism_)) + "）");
}

void PowerManager::shutdown() {
    heartbeatTimer_.reset();
    ackGraceTimer_.reset();
    ackLookTimer_.reset();
    lockWorker_.reset(); // a lock granted from now on goes with the process
    takingAssertions_ = false;
    releaseRequest();
    releaseAssertions();
    lidMechanism_ = LidMechanism::none;
    active_ = false;
}

void PowerManager::releaseRequest() {
    // Without the shared directory (no helper) there is nothing to take back, and nothing to warn of
    // at every end: the launch has said so once.
    if (channel_.canWriteRequest())
        channel_.writeRequest(false);
}

void PowerManager::startHeartbeat() {
    heartbeatTimer_.reset();
    // The handle lives in this object, so the loop never calls a manager that is gone.
    heartbeatTimer_ = loop_.repeating(MainLoop::Seconds(Config::heartbeatInterval), [this] { heartbeat(); });
}

void PowerManager::heartbeat() {
    if (!active_)
        return;
    writeWish();
}

void PowerManager::settleRequest() {
    if (!active_ && channel_.canWriteRequest() && channel_.readRequest() != protocol::requestNotWanted)
        channel_.writeRequest(false);
}

bool PowerManager::lidHeld() const {
    return active_ && lidMechanism_ == LidMechanism::helper && lastWriteOk_ &&
           channel_.ackedSince(wishSince_, protocol::ackHeldSeconds);
}

void PowerManager::writeWish() {
    // An ack from before this "1" went in (a directory just mended, a "0" acknowledged) confirms nothing.
    const BootSeconds before = channel_.bootTime();
    const bool ok = channel_.writeRequest(true);
    if (ok && !lastWriteOk_)
        wishSince_ = before;
    lastWriteOk_ = ok;
    checkLidHold();
}

void PowerManager::checkLidHold() {
    const bool held = lidHeld();
    const bool turned = held != heldShown_;
    heldShown_ = held;
    // While the first ack may still come, only its coming is shown; its absence is told at the end.
    if (!ackGraceTimer_ && held != heldReported_) {
        heldReported_ = held;
        if (onLidHoldChanged)
            onLidHoldChanged(held);
    } else if (turned && onLidShownChanged) {
        onLidShownChanged();
    }
}

void PowerManager::takeAssertions() {
    if (takingAssertions_ || (hasAssertion_ && hasLidAssertion_))
        return;
    const auto take = [&assertions = assertions_, idle = !hasAssertion_, lid = !hasLidAssertion_] {
        Taken taken;
        if (idle)
            taken.idle = assertions.create(PowerAssertions::noIdleSleep, idleAssertionName);
        if (lid)
            taken.lid = assertions.create(PowerAssertions::preventSleep, lidAssertionName);
        return taken;
    };
    if (!lockWorker_) {
        assertionsTaken(take());
        return;
    }
    takingAssertions_ = true;
    lockWorker_->submit([this, take]() -> std::function<void()> {
        return [this, taken = take()] {
            takingAssertions_ = false;
            assertionsTaken(taken);
        };
    });
}

void PowerManager::assertionsTaken(const Taken& taken) {
    if (taken.idle) {
        if (!taken.idle->ok())
            Log::write("WARN: "s + hostWords.idleLock + "の取得に失敗しました (code " +
                       std::to_string(taken.idle->code) + ")");
        else if (!active_ || hasAssertion_) // carry mode ended while the answer was on its way
            assertions_.release(taken.idle->identifier);
        else {
            assertionID_ = taken.idle->identifier;
            hasAssertion_ = true;
        }
    }
    if (taken.lid) {
        if (!taken.lid->ok())
            // The lid is the daemon's job; this lock is a bonus where the platform grants it.
            Log::write("INFO: InternalPreventSleep を取得できませんでした (code " +
                       std::to_string(taken.lid->code) + ")");
        else if (!active_ || hasLidAssertion_)
            assertions_.release(taken.lid->identifier);
        else {
            lidAssertionID_ = taken.lid->identifier;
            hasLidAssertion_ = true;
        }
    }
}

void PowerManager::releaseAssertions() {
    if (hasLidAssertion_) {
        assertions_.release(lidAssertionID_);
        hasLidAssertion_ = false;
        lidAssertionID_ = 0;
    }
    if (hasAssertion_) {
        assertions_.release(assertionID_);
        hasAssertion_ = false;
        assertionID_ = 0;
    }
}

} // namespace torvane
