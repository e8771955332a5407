#include "helper/LogSink.hpp"

#include "common/LogLine.hpp"

#include <cerrno>
#include <unistd.h>

namespace torvane::helper {

void logToStandardError(const std::string& message) {
    const std::string line = formatLogLine(message);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to report it
        done += static_cast<std::size_t>(n);
    }
}

} // namespace torvane::helper
