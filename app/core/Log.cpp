#include "app/core/Log.hpp"

#include "app/core/Config.hpp"
#include "common/LogLine.hpp"
#include "common/Text.hpp"
#include "common/UniqueFd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace torvane {

namespace {

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace

Log& Log::shared() {
    static Log instance{[] { return Config::logPath(); }};
    return instance;
}

void Log::write(std::string_view message) {
    shared().append(message);
}

Log::Log(Location location, bool toStandardError)
    : location_(std::move(location)), toStandardError_(toStandardError) {}

Log::~Log() {
    writer_.finish();
}

void Log::append(std::string_view message) {
    std::string line = formatLogLine(message);
    if (toStandardError_)
        writeAll(STDERR_FILENO, line); // one write: lines from threads never mix on stderr
    {
        std::lock_guard lock(tapMutex_);
        for (auto& [id, tap] : taps_)
            tap(message);
    }
    writer_.post([this, line = std::move(line)] { appendToFile(line); });
}

void Log::flush() {
    writer_.drain();
}

std::uint64_t Log::addTap(Tap tap) {
    std::lock_guard lock(tapMutex_);
    const std::uint64_t id = nextTap_++;
    taps_.emplace(id, std::move(tap));
    return id;
}

void Log::removeTap(std::uint64_t id) {
    std::lock_guard lock(tapMutex_);
    taps_.erase(id);
}

// The file is opened per line: a log deleted or moved away is simply created again.
void Log::appendToFile(const std::string& line) {
    if (!text::isValidUtf8(line))
        return;
    std::filesystem::path path;
    try {
        path = location_();
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
    } catch (...) {
        return;
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY));
    if (!fd)
        fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
    if (fd)
        writeAll(fd.get(), line);
}

} // namespace torvane
