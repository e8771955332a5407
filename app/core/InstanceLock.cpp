#include "app/core/InstanceLock.hpp"

#include "app/core/Config.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvane {

std::vector<std::filesystem::path> InstanceLock::defaultFiles() {
    std::vector<std::filesystem::path> files{Config::logPath().parent_path() / "torvane.lock"};
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        struct stat st {};
        if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
            files.push_back(std::filesystem::path(runtime) / "torvane.lock");
    }
    return files;
}

InstanceLock::InstanceLock(const std::vector<std::filesystem::path>& files) {
    for (const std::filesystem::path& file : files) {
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd)
            continue;
        int rc = 0;
        while ((rc = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (rc == 0) {
            fds_.push_back(std::move(fd));
        } else if (errno == EWOULDBLOCK) {
            fds_.clear();
            state_ = State::heldElsewhere;
            return;
        }
    }
    if (!fds_.empty())
        state_ = State::acquired;
}

} // namespace torvane
