#include "common/linux/LogindInhibit.hpp"

#include "common/Text.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

namespace torvane::logind {

int errnoOfDbusError(const std::string& name) {
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return -ENOENT;
    const sd_bus_error error{name.c_str(), nullptr, 0};
    const int value = sd_bus_error_get_errno(&error);
    return value > 0 ? -value : -EIO;
}

std::variant<UniqueFd, InhibitFailure> inhibit(sdbus::IProxy& manager, const std::string& what,
                                               const std::string& who, const std::string& why,
                                               const std::string& mode) {
    sdbus::UnixFd received;
    try {
        manager.callMethod("Inhibit")
            .onInterface(managerInterface)
            .withArguments(what, who, why, mode)
            .storeResultsTo(received);
    } catch (const sdbus::Error& error) {
        return InhibitFailure{errnoOfDbusError(error.getName()), error.getMessage()};
    } catch (const std::exception& error) {
        return InhibitFailure{-EIO, error.what()};
    }
    if (!received.isValid())
        return InhibitFailure{-EBADF, "no file descriptor in the reply"};
    // The library's copy is not close-on-exec.
    UniqueFd fd(::fcntl(received.get(), F_DUPFD_CLOEXEC, 3));
    if (!fd.valid()) {
        const int error = errno;
        return InhibitFailure{-error, text::errorText(error)};
    }
    return fd;
}

} // namespace torvane::logind
