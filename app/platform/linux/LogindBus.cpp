#include "app/platform/linux/LogindBus.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

namespace torvane {

namespace {

constexpr const char* service = "org.freedesktop.login1";
constexpr const char* objectPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

} // namespace

int errnoOfDbusError(const std::string& name) {
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return -ENOENT;
    const sd_bus_error error{name.c_str(), nullptr, 0};
    const int value = sd_bus_error_get_errno(&error);
    return value > 0 ? -value : -EIO;
}

LogindBus::LogindBus(std::chrono::milliseconds callTimeout) : callTimeout_(callTimeout) {}

LogindBus::~LogindBus() {
    const std::lock_guard lock(mutex_);
    dropLocked();
}

bool LogindBus::connectLocked() {
    if (proxy_)
        return true;
    try {
        connection_ = sdbus::createSystemBusConnection();
        connection_->setMethodCallTimeout(callTimeout_);
        proxy_ = sdbus::createProxy(*connection_, service, objectPath);
        return true;
    } catch (const sdbus::Error&) {
        dropLocked();
        return false;
    }
}

void LogindBus::dropLocked() {
    proxy_.reset(); // the proxy refers to the connection
    connection_.reset();
}

std::variant<UniqueFd, int> LogindBus::inhibit(const std::string& what, const std::string& who,
                                               const std::string& why, const std::string& mode) {
    const std::lock_guard lock(mutex_);
    sdbus::UnixFd received;
    // A connection kept from earlier may have outlived its bus; such a failure gets one retry on a
    // fresh connection.
    for (;;) {
        const bool fresh = !proxy_;
        if (!connectLocked())
            return -ENOENT;
        try {
            proxy_->callMethod("Inhibit")
                .onInterface(managerInterface)
                .withArguments(what, who, why, mode)
                .storeResultsTo(received);
            break;
        } catch (const sdbus::Error& error) {
            const int code = errnoOfDbusError(error.getName());
            if (code == -EACCES || code == -EPERM) // logind's own refusal
                return code;
            dropLocked();
            if (fresh)
                return code;
        }
    }
    // The library's copy of the fd is not close-on-exec; keep one that is, so a child process never
    // inherits the lock and keeps it alive.
    UniqueFd fd(::fcntl(received.get(), F_DUPFD_CLOEXEC, 3));
    if (!fd.valid())
        return -errno;
    return fd;
}

} // namespace torvane
