#include "common/Cancellation.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace torvane {

Cancellation::Cancellation() {
    int p[2];
    if (::pipe(p) != 0)
        return;
    for (int fd : p)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    readEnd_.reset(p[0]);
    writeEnd_.reset(p[1]);
}

void Cancellation::cancel() {
    if (cancelled_.exchange(true) || !writeEnd_)
        return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(writeEnd_.get(), &byte, 1);
}

} // namespace torvane
