#include "helper/RequestFiles.hpp"

#include "common/Text.hpp"
#include "common/UniqueFd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace torvane::helper {

namespace {

UniqueFd openDirectory(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A regular file at name in dir, without following a link; the lstat comes first so that a FIFO or
// device is never opened at all, and the fstat afterwards catches a swap in between.
UniqueFd openRegularFile(int dir, const char* name, int flags) {
    struct stat before {};
    if (::fstatat(dir, name, &before, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(before.st_mode))
        return UniqueFd(-1);
    UniqueFd fd(::openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat after {};
    if (!fd || ::fstat(fd.get(), &after) != 0 || !S_ISREG(after.st_mode) || after.st_ino != before.st_ino ||
        after.st_dev != before.st_dev)
        return UniqueFd(-1);
    return fd;
}

} // namespace

RequestFiles::RequestFiles(std::string supportDir, WallClock clock, double staleSeconds, BootClock boot)
    : supportDir_(std::move(supportDir)), clock_(std::move(clock)), staleSeconds_(staleSeconds),
      boot_(std::move(boot)) {}

void RequestFiles::createDirectory() const {
    std::error_code ec;
    std::filesystem::create_directories(supportDir_, ec);
}

std::optional<RequestFiles::Request> RequestFiles::readRequest() const {
    const UniqueFd dir = openDirectory(supportDir_);
    if (!dir)
        return std::nullopt;
    const std::string name(protocol::requestFileName);
    const UniqueFd fd = openRegularFile(dir.get(), name.c_str(), O_RDONLY);
    if (!fd)
        return std::nullopt;
    Request request{};
    if (::fstat(fd.get(), &request.st) != 0)
        return std::nullopt;

    char buf[protocol::maxRequestBytes + 1];
    std::size_t total = 0;
    while (total < sizeof buf) {
        const ssize_t n = ::read(fd.get(), buf + total, sizeof buf - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    if (total > protocol::maxRequestBytes)
        return std::nullopt; // no request is this large
    request.content.assign(buf, total);
    if (!text::isValidUtf8(request.content))
        return std::nullopt;
    return request;
}

RequestFiles::Wish RequestFiles::look() {
    const auto request = readRequest();
    const BootSeconds now = boot_();
    looked_ = request ? std::optional(FileVersion::of(request->st)) : std::nullopt;
    change_.look(looked_, request ? secondsBetween(modificationTime(request->st), clock_()) : 0, now);
    Wish wish;
    if (!request)
        return wish;
    const std::string_view content = text::trimWhitespaceAndNewlines(request->content);
    wish.saysOn = content == protocol::requestWanted;
    wish.saysOff = content == protocol::requestNotWanted;
    // Exactly the limit still counts.
    wish.wanted = wish.saysOn && change_.changedWithin(staleSeconds_, now);
    return wish;
}

std::optional<FileVersion> RequestFiles::currentVersion() const {
    const UniqueFd dir = openDirectory(supportDir_);
    struct stat st {};
    const std::string name(protocol::requestFileName);
    if (!dir || ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileVersion::of(st);
}

bool RequestFiles::unchangedSinceLook() const {
    return looked_ && currentVersion() == looked_;
}

void RequestFiles::writeAck() const {
    const UniqueFd dir = openDirectory(supportDir_);
    if (!dir)
        return;
    const std::string name(protocol::ackFileName);
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // Something else planted under the name (link, FIFO, device, directory) is left alone.
        if (S_ISREG(st.st_mode))
            ::utimensat(dir.get(), name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
        return;
    }
    if (errno != ENOENT)
        return;
    // O_EXCL with O_NOFOLLOW: a link that appears meanwhile makes this fail rather than be followed.
    const UniqueFd fd(
        ::openat(dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd)
        return;
    const std::string_view content = protocol::ackContent;
    [[maybe_unused]] const ssize_t written = ::write(fd.get(), content.data(), content.size());
    ::fchmod(fd.get(), 0644);
}

} // namespace torvane::helper
