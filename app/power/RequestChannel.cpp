#include "app/power/RequestChannel.hpp"

#include "app/core/Log.hpp"
#include "common/Text.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace torvane {

std::string_view description(HelperStatus status) {
    switch (status) {
    case HelperStatus::ok:
        return "ヘルパー: 稼働中";
    case HelperStatus::notInstalled:
        return "ヘルパー: 未導入";
    case HelperStatus::notResponding:
        return "ヘルパー: 応答なし";
    case HelperStatus::otherUser:
        return "ヘルパーは別のユーザー用に導入されています";
    }
    return "ヘルパー: 応答なし";
}

RequestChannel::RequestChannel(std::filesystem::path supportDir, WallClock clock, BootClock boot)
    : supportDir_(std::move(supportDir)), clock_(std::move(clock)), boot_(std::move(boot)) {}

std::filesystem::path RequestChannel::requestPath() const {
    return supportDir_ / protocol::requestFileName;
}
std::filesystem::path RequestChannel::ackPath() const {
    return supportDir_ / protocol::ackFileName;
}

bool RequestChannel::writeRequest(bool wanted) const {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path target = requestPath();
    const std::filesystem::path temp =
        supportDir_ / (".request." + std::to_string(::getpid()) + "." + std::to_string(counter++));
    const std::string_view byte = wanted ? protocol::requestWanted : protocol::requestNotWanted;

    int error = 0;
    // 0666 so that the process umask gives the default mode of a new file.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
    } else {
        if (::write(fd, byte.data(), byte.size()) != static_cast<ssize_t>(byte.size()))
            error = errno ? errno : EIO;
        if (::close(fd) != 0 && error == 0)
            error = errno;
        // rename() replaces the target in one step: the daemon sees the old byte or the new one.
        if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
            error = errno;
        if (error != 0)
            ::unlink(temp.c_str());
    }
    if (error != 0)
        Log::write("WARN: 要求ファイルを書けません: " + target.string() + ": " + text::errorText(error));
    return error == 0;
}

std::optional<std::string> RequestChannel::readRequest() const {
    const int fd = ::open(requestPath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    return std::string(text::trimWhitespaceAndNewlines(std::string_view(buf, static_cast<std::size_t>(n))));
}

bool RequestChannel::canWriteRequest() const {
    return ::access(supportDir_.c_str(), W_OK) == 0;
}

void RequestChannel::lookAtAck() const {
    struct stat st {};
    const bool there = ::stat(ackPath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const double wallAge = there ? secondsBetween(modificationTime(st), clock_()) : 0;
    ack_.look(there ? std::optional(FileVersion::of(st)) : std::nullopt, wallAge, boot_());
}

bool RequestChannel::ackedSince(BootSeconds since, double within) const {
    const auto changed = ack_.changedAt();
    return changed && *changed >= since && ack_.changedWithin(within, boot_());
}

HelperStatus RequestChannel::helperStatus() const {
    struct stat st {};
    if (::stat(supportDir_.c_str(), &st) != 0)
        return HelperStatus::notInstalled;
    // Installed for whoever owns the directory: a user who may not write there cannot use it.
    if (st.st_uid != ::geteuid() && st.st_uid != 0 && !canWriteRequest())
        return HelperStatus::otherUser;
    lookAtAck();
    const auto changed = ack_.changedAt();
    return changed && (boot_() - *changed).count() < protocol::ackAgeLimitSeconds
               ? HelperStatus::ok
               : HelperStatus::notResponding;
}

} // namespace torvane
