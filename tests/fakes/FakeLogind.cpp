#include "tests/fakes/FakeLogind.hpp"

#include "common/UniqueFd.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <stdexcept>
#include <unistd.h>

namespace torvane::test {

constexpr const char* manager = "org.freedesktop.login1.Manager";

struct FakeLogind::State {
    mutable std::mutex mutex;
    std::vector<std::pair<InhibitCall, UniqueFd>> calls; // our end of each lock's pipe (none if refused)
    bool refusing = false;
    std::atomic<bool> lidClosed{false};
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;

    bool held(std::size_t index) const {
        std::lock_guard lock(mutex);
        pollfd p{index < calls.size() ? calls[index].second.get() : -1, POLLIN, 0};
        // The pipe hangs up once every copy of the holder's end is closed.
        return p.fd >= 0 && ::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR)) == 0;
    }
};

FakeLogind::FakeLogind() : state_(std::make_unique<State>()) {
    State* state = state_.get();
    try {
        state->connection = sdbus::createSessionBusConnectionWithAddress(bus_.address());
        state->connection->requestName("org.freedesktop.login1");
        state->object = sdbus::createObject(*state->connection, "/org/freedesktop/login1");
        state->object->registerMethod("Inhibit").onInterface(manager).implementedAs(
            [state](const std::string& what, const std::string& who, const std::string& why,
                    const std::string& mode) {
                std::lock_guard lock(state->mutex);
                int fds[2] = {-1, -1};
                if (!state->refusing && ::pipe2(fds, O_CLOEXEC) != 0)
                    throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "pipe2 failed");
                state->calls.emplace_back(InhibitCall{what, who, why, mode}, UniqueFd(fds[0]));
                if (state->refusing)
                    throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied", "Access denied");
                return sdbus::UnixFd(fds[1], sdbus::adopt_fd);
            });
        state->object->registerProperty("LidClosed").onInterface(manager).withGetter([state] {
            return state->lidClosed.load();
        });
        state->object->finishRegistration();
        state->connection->enterEventLoopAsync();
    } catch (const sdbus::Error& e) {
        throw std::runtime_error(std::string("fake logind could not start: ") + e.what());
    }
}

FakeLogind::~FakeLogind() {
    state_->connection->leaveEventLoop();
    state_->object.reset();
}

std::vector<InhibitCall> FakeLogind::inhibitCalls() const {
    std::lock_guard lock(state_->mutex);
    std::vector<InhibitCall> calls;
    for (const auto& call : state_->calls)
        calls.push_back(call.first);
    return calls;
}

std::size_t FakeLogind::heldCount() const {
    std::size_t held = 0;
    for (std::size_t i = 0; i < inhibitCalls().size(); ++i)
        held += state_->held(i) ? 1 : 0;
    return held;
}

void FakeLogind::refuseInhibit() {
    std::lock_guard lock(state_->mutex);
    state_->refusing = true;
}

void FakeLogind::setLidClosed(bool closed) {
    state_->lidClosed = closed;
    state_->object->emitPropertiesChangedSignal(manager, {"LidClosed"});
}

} // namespace torvane::test
