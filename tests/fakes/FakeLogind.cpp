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

namespace {

constexpr const char* addressVariable = "DBUS_SYSTEM_BUS_ADDRESS";

std::string findDbusDaemon() {
    for (const char* candidate : {"/usr/bin/dbus-daemon", "/bin/dbus-daemon"}) {
        if (::access(candidate, X_OK) == 0)
            return candidate;
    }
    if (const char* path = std::getenv("PATH")) {
        std::string dirs = path;
        std::size_t start = 0;
        while (start <= dirs.size()) {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            const std::string candidate = dirs.substr(start, end - start) + "/dbus-daemon";
            if (end > start && ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
            start = end + 1;
        }
    }
    throw std::runtime_error("dbus-daemon not found (scripts/bootstrap installs it)");
}

std::string busConfig(const std::string& socketPath) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=)" +
           socketPath + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)";
}

void stopProcess(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

PrivateSystemBus::PrivateSystemBus() {
    const std::string daemon = findDbusDaemon();
    const std::string config = (dir_ / "bus.conf").string();
    writeFile(config, busConfig((dir_ / "system_bus_socket").string()));

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    // Its complaints (it cannot raise its fd limit in a sandbox, for one) go to a file, shown if it fails.
    const std::string logPath = (dir_ / "dbus-daemon.log").string();
    const std::string configArg = "--config-file=" + config;
    const char* argv[] = {daemon.c_str(),    "--nofork",          "--nopidfile",
                          configArg.c_str(), "--print-address=3", nullptr};
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            ::dup2(devNull, STDIN_FILENO);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        if (writeEnd.get() == 3)
            ::fcntl(3, F_SETFD, 0);
        else
            ::dup2(writeEnd.get(), 3);
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    pid_ = pid;
    writeEnd.reset();

    // dbus-daemon prints its address once it listens; that line is the sign it is ready.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{readEnd.get(), POLLIN, 0};
        const int n = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        char buf[512];
        const ssize_t got = n > 0 ? ::read(readEnd.get(), buf, sizeof buf) : -1;
        if (got <= 0) {
            stopProcess(pid_);
            throw std::runtime_error("dbus-daemon did not start (" + daemon + "): " + readFile(logPath));
        }
        line.append(buf, static_cast<std::size_t>(got));
    }
    address_ = line.substr(0, line.find('\n'));

    if (const char* previous = std::getenv(addressVariable))
        previousAddress_ = previous;
    ::setenv(addressVariable, address_.c_str(), 1);
}

PrivateSystemBus::~PrivateSystemBus() {
    if (previousAddress_)
        ::setenv(addressVariable, previousAddress_->c_str(), 1);
    else
        ::unsetenv(addressVariable);
    stopProcess(pid_);
}

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
