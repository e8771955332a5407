#include "app/core/InstanceLock.hpp"

#include "app/core/Config.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvane {

std::filesystem::path InstanceLock::defaultFile() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        struct stat st {};
        if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
            return std::filesystem::path(runtime) / "torvane.lock";
    }
    return Config::logURL().parent_path() / "torvane.lock";
}

InstanceLock::InstanceLock(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0)
        return;
    int rc = 0;
    while ((rc = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc == 0)
        state_ = State::acquired;
    else if (errno == EWOULDBLOCK)
        state_ = State::heldElsewhere;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace torvane
