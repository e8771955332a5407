#include "tests/fakes/RealLogind.hpp"

#include "common/UniqueFd.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sdbus-c++/sdbus-c++.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace torvane::test {

namespace {

constexpr const char* logindPath = "/lib/systemd/systemd-logind";

// A daemon that dies with this thread (through setpriv), its output dropped.
std::unique_ptr<ChildProcess> startDaemon(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL", "--"});
    return std::make_unique<ChildProcess>(std::move(args));
}

} // namespace

PrivateBus::PrivateBus(std::string variable) : variable_(std::move(variable)) {
    if (const char* previous = std::getenv(variable_.c_str()))
        previous_ = previous;
    dir_ = "/tmp/tvbus-XXXXXX";
    if (!::mkdtemp(dir_.data()) || ::chmod(dir_.c_str(), 0755) != 0)
        throw std::runtime_error("cannot make a directory for the bus");
    writeFile(dir_ + "/bus.conf", "<busconfig><type>system</type><listen>unix:path=" + dir_ +
                                      "/socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                      "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                      "<allow receive_sender=\"*\"/></policy></busconfig>\n");
    daemon_ = startDaemon(
        {"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + dir_ + "/bus.conf"});
    // Ready once it accepts: the socket file exists a moment before that.
    sockaddr_un socket{AF_UNIX, {}};
    std::snprintf(socket.sun_path, sizeof socket.sun_path, "%s/socket", dir_.c_str());
    const auto accepts = [&] {
        const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&socket), sizeof socket) == 0;
    };
    if (!waitFor(accepts, std::chrono::seconds(10))) {
        stop();
        throw std::runtime_error("dbus-daemon did not start");
    }
    address_ = "unix:path=" + dir_ + "/socket";
    ::setenv(variable_.c_str(), address_.c_str(), 1);
}

void PrivateBus::stop() {
    // Put back, never just unset: code that still retries must not reach the machine's own bus.
    if (!address_.empty() && previous_)
        ::setenv(variable_.c_str(), previous_->c_str(), 1);
    else if (!address_.empty())
        ::unsetenv(variable_.c_str());
    address_.clear();
    daemon_.reset();
    std::error_code ignored;
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
    daemon_ = startDaemon({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                           std::string("mount -t tmpfs tmpfs /run/systemd && exec ") + logindPath});
    std::string error;
    const auto up = [&] {
        try {
            inhibitors();
            return true;
        } catch (const std::exception& e) {
            error = e.what();
            return false;
        }
    };
    if (!waitFor(up, std::chrono::seconds(10))) {
        stop();
        throw std::runtime_error("systemd-logind did not come up: " + error);
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
    daemon_.reset();
    bus_.stop();
}

} // namespace torvane::test
