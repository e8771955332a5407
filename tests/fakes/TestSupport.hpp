#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace torvane::test {

// A fresh directory under the test scratch area, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Polls `condition` until it holds or `limit` passes; returns whether it held.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

std::string readFile(const std::filesystem::path& path);
std::vector<std::string> readLines(const std::filesystem::path& path);
// The messages of a log file in order, each checked for the log-line format ("MALFORMED: " and the
// line if it fails) and stripped of its time stamp.
std::vector<std::string> logMessages(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view content);
// Writes a script (with its #! line) and makes it executable.
void writeExecutable(const std::filesystem::path& path, std::string_view script);
// Sets the file's modification time to `secondsAgo` before now (negative: in the future).
void setModifiedAgo(const std::filesystem::path& path, double secondsAgo,
                    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// An exclusive lock shared by every test run on this machine, other checkouts' included, held while
// it lives; it waits for the lock. ctest's RESOURCE_LOCK covers one run only, but the phone link's
// fixed ports 8787-8789 belong to the whole machine.
class MachineLock {
public:
    explicit MachineLock(std::string_view name);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

private:
    int fd_ = -1;
};

// A program running in the background with its standard output and error appended to `output` (or
// both on `outputFd`), the given environment (else this one's) and `fd3`, if any, as its descriptor 3.
// Killed and reaped on destruction if it still runs.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv, const std::filesystem::path& output = "/dev/null",
                          std::optional<std::vector<std::string>> env = std::nullopt, int fd3 = -1,
                          int outputFd = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const;
    // The wait status once it has ended within `limit`; absent while it runs.
    std::optional<int> waitExit(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Collects the messages the app logs while it exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    void clear();
    bool contains(std::string_view message) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::uint64_t tap_;
};

} // namespace torvane::test
