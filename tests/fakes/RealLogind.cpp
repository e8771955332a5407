#include "tests/fakes/RealLogind.hpp"

#include "common/UniqueFd.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace torvane::test {

namespace {

constexpr const char* logindPath = "/lib/systemd/systemd-logind";

// Starts a daemon that dies with this thread (through setpriv), its standard output on `out`.
pid_t spawnDaemon(std::vector<std::string> args, int out) {
    args.insert(args.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL", "--"});
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[4]);
    return pid;
}

void stopDaemon(pid_t& pid) {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0)
        ::waitpid(pid, nullptr, 0);
    pid = -1;
}

} // namespace

PrivateSystemBus::PrivateSystemBus() {
    std::string templ = "/tmp/tvbus-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    ::chmod(dir_.c_str(), 0755);
    writeFile(dir_ + "/bus.conf", "<busconfig><type>system</type><listen>unix:path=" + dir_ +
                                      "/socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                      "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                      "<allow receive_sender=\"*\"/></policy></busconfig>\n");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    pid_ = spawnDaemon({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile",
                        "--config-file=" + dir_ + "/bus.conf", "--print-address=1"},
                       writeEnd.get());
    writeEnd.reset();
    // It prints its address once it listens.
    pollfd p{readEnd.get(), POLLIN, 0};
    char buf[512];
    const ssize_t got = ::poll(&p, 1, 10000) > 0 ? ::read(readEnd.get(), buf, sizeof buf) : -1;
    if (got <= 0) {
        stop();
        throw std::runtime_error("dbus-daemon did not start");
    }
    address_.assign(buf, static_cast<std::size_t>(got));
    address_.resize(address_.find('\n'));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

void PrivateSystemBus::stop() {
    if (!address_.empty())
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    address_.clear();
    stopDaemon(pid_);
    std::error_code ignored;
    if (!dir_.empty())
        std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
}

std::optional<std::string> RealLogind::unavailable() {
    if (::geteuid() != 0)
        return "the real systemd-logind needs root (it takes over /run/systemd and grants root's locks)";
    if (::access(logindPath, X_OK) != 0)
        return std::string(logindPath) + " is missing: install the systemd package (scripts/bootstrap)";
    return std::nullopt;
}

RealLogind::RealLogind() {
    // A private mount namespace with an empty /run/systemd: its seats, sessions and locks stay its own.
    UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    pid_ = spawnDaemon({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                        std::string("mount -t tmpfs tmpfs /run/systemd && exec ") + logindPath},
                       devNull.get());
    std::string lastError;
    bool up = false;
    bool died = false;
    waitFor(
        [&] {
            try {
                inhibitors();
                return up = true;
            } catch (const std::exception& e) {
                lastError = e.what();
            }
            return died = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
        },
        std::chrono::seconds(10));
    if (died)
        pid_ = -1;
    if (!up) {
        stop();
        throw std::runtime_error("systemd-logind did not come up: " + lastError);
    }
}

std::vector<Inhibitor> RealLogind::inhibitors() const {
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus_.address());
    auto manager = sdbus::createProxy(*connection, "org.freedesktop.login1", "/org/freedesktop/login1");
    std::vector<
        sdbus::Struct<std::string, std::string, std::string, std::string, std::uint32_t, std::uint32_t>>
        list;
    manager->callMethod("ListInhibitors").onInterface("org.freedesktop.login1.Manager").storeResultsTo(list);
    std::vector<Inhibitor> result;
    for (const auto& i : list)
        result.push_back({i.get<0>(), i.get<1>(), i.get<2>(), i.get<3>(), i.get<4>(), i.get<5>()});
    return result;
}

void RealLogind::stop() {
    stopDaemon(pid_);
    bus_.stop();
}

} // namespace torvane::test
