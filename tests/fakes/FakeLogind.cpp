#include "tests/fakes/FakeLogind.hpp"

#include "common/UniqueFd.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace torvane::test {

struct FakeLogind::State {
    struct Record {
        InhibitCall call;
        UniqueFd
            readEnd; // our end of the pipe; it reports a hang-up once every copy of the other end is gone
    };

    mutable std::mutex mutex;
    std::vector<Record> records;
    std::optional<std::pair<std::string, std::string>> refusal;
    std::atomic<bool> lidClosed{false};

    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;

    sdbus::UnixFd inhibit(const std::string& what, const std::string& who, const std::string& why,
                          const std::string& mode) {
        std::lock_guard lock(mutex);
        Record record{{what, who, why, mode, false}, {}};
        if (refusal) {
            records.push_back(std::move(record));
            throw sdbus::Error(refusal->first, refusal->second);
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            records.push_back(std::move(record));
            throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "pipe2 failed");
        }
        record.call.granted = true;
        record.readEnd.reset(fds[0]);
        records.push_back(std::move(record));
        // Adopted: ours closes once the reply (which carries its own copy) has been built.
        return sdbus::UnixFd(fds[1], sdbus::adopt_fd);
    }
};

FakeLogind::FakeLogind() : state_(std::make_unique<State>()) {
    try {
        state_->connection = sdbus::createSessionBusConnectionWithAddress(bus_.address());
        state_->connection->requestName(serviceName);
        state_->object = sdbus::createObject(*state_->connection, objectPath);
        State* state = state_.get();
        state_->object->registerMethod("Inhibit")
            .onInterface(managerInterface)
            .withInputParamNames("what", "who", "why", "mode")
            .withOutputParamNames("pipe_fd")
            .implementedAs([state](const std::string& what, const std::string& who, const std::string& why,
                                   const std::string& mode) { return state->inhibit(what, who, why, mode); });
        state_->object->registerProperty("LidClosed").onInterface(managerInterface).withGetter([state] {
            return state->lidClosed.load();
        });
        state_->object->finishRegistration();
        state_->connection->enterEventLoopAsync();
    } catch (const sdbus::Error& e) {
        throw std::runtime_error(std::string("fake logind could not start: ") + e.what());
    }
}

FakeLogind::~FakeLogind() {
    try {
        state_->connection->leaveEventLoop();
    } catch (const sdbus::Error&) {
    }
    state_->object.reset();
    state_->connection.reset();
}

std::vector<InhibitCall> FakeLogind::inhibitCalls() const {
    std::lock_guard lock(state_->mutex);
    std::vector<InhibitCall> calls;
    for (const auto& record : state_->records)
        calls.push_back(record.call);
    return calls;
}

bool FakeLogind::isHeld(std::size_t index) const {
    std::lock_guard lock(state_->mutex);
    if (index >= state_->records.size() || !state_->records[index].call.granted)
        return false;
    pollfd p{state_->records[index].readEnd.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return true; // cannot tell; the caller waits and asks again
    return (p.revents & (POLLHUP | POLLERR)) == 0;
}

std::size_t FakeLogind::heldCount() const {
    std::size_t size;
    {
        std::lock_guard lock(state_->mutex);
        size = state_->records.size();
    }
    std::size_t held = 0;
    for (std::size_t i = 0; i < size; ++i)
        held += isHeld(i) ? 1 : 0;
    return held;
}

bool FakeLogind::waitForRelease(std::size_t index, std::chrono::milliseconds limit) const {
    return waitFor([&] { return !isHeld(index); }, limit);
}

void FakeLogind::refuseInhibit(std::string errorName, std::string message) {
    std::lock_guard lock(state_->mutex);
    state_->refusal = std::make_pair(std::move(errorName), std::move(message));
}

void FakeLogind::grantInhibit() {
    std::lock_guard lock(state_->mutex);
    state_->refusal.reset();
}

void FakeLogind::setLidClosed(bool closed) {
    state_->lidClosed = closed;
    try {
        state_->object->emitPropertiesChangedSignal(managerInterface, {"LidClosed"});
    } catch (const sdbus::Error&) {
        // Nobody may be listening; readers that ask get the new value anyway.
    }
}

bool FakeLogind::lidClosed() const {
    return state_->lidClosed;
}

} // namespace torvane::test
