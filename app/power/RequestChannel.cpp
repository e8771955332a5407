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
    }
    return "ヘルパー: 応答なし";
}

RequestChannel::RequestChannel(std::filesystem::path supportDir, WallClock clock)
    : supportDir_(std::move(supportDir)), clock_(std::move(clock)) {}

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

bool RequestChannel::canWriteRequest() const {
    return ::access(supportDir_.c_str(), W_OK) == 0;
}

HelperStatus RequestChannel::helperStatus() const {
    struct stat st {};
    if (::stat(supportDir_.c_str(), &st) != 0)
        return HelperStatus::notInstalled;
    if (::stat(ackPath().c_str(), &st) != 0)
        return HelperStatus::notResponding;
    const double age = secondsBetween(modificationTime(st), clock_());
    return age >= protocol::ackAgeLimitSeconds ? HelperStatus::notResponding : HelperStatus::ok;
}

} // namespace torvane
