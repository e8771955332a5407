#include "tests/fakes/TestSupport.hpp"

#include "app/core/Log.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace torvane::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/torvane-test-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave directories without permissions; give them back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ec);
    std::filesystem::remove_all(path_, ec);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> logMessages(const std::filesystem::path& path) {
    static const std::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}  (.*)$)");
    std::vector<std::string> messages;
    for (const auto& line : readLines(path)) {
        std::smatch match;
        messages.push_back(std::regex_match(line, match, format) ? match[1].str() : "MALFORMED: " + line);
    }
    return messages;
}

void writeFile(const std::filesystem::path& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void writeExecutable(const std::filesystem::path& path, std::string_view script) {
    writeFile(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
}

void setModifiedAgo(const std::filesystem::path& path, double secondsAgo,
                    std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const auto when = now - duration_cast<system_clock::duration>(duration<double>(secondsAgo));
    const auto ns = duration_cast<nanoseconds>(when.time_since_epoch()).count();
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("utimensat failed for " + path.string());
}

ChildProcess::ChildProcess(std::vector<std::string> argv, const std::filesystem::path& output,
                           std::optional<std::vector<std::string>> env, int fd3, int outputFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (fd3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd3, 3); // dup2 leaves it open across exec
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (auto& s : strings)
            out.push_back(s.data());
        out.push_back(nullptr);
        return out;
    };
    const int rc = ::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers(argv).data(),
                                 env ? pointers(*env).data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() {
    if (!status_ && ::kill(pid_, SIGKILL) == 0)
        ::waitpid(pid_, nullptr, 0);
}

void ChildProcess::signal(int number) const {
    ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds limit) {
    int status = 0;
    if (!status_ && waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit))
        status_ = status;
    return status_;
}

LogCapture::LogCapture() {
    tap_ = Log::shared().addTap([this](std::string_view message) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(message);
    });
}

LogCapture::~LogCapture() {
    Log::shared().removeTap(tap_);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

bool LogCapture::contains(std::string_view message) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), message) != lines_.end();
}

MachineLock::MachineLock(std::string_view name) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("torvane-test-" + std::string(name) + ".lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + path.string());
    ::fchmod(fd_, 0666); // whoever runs tests next may be another user
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            throw std::runtime_error("cannot lock " + path.string());
        }
    }
}

MachineLock::~MachineLock() {
    ::close(fd_); // releases the lock
}

} // namespace torvane::test
