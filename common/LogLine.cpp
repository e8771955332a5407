#include "common/LogLine.hpp"

#include <ctime>

namespace torvane {

std::string formatLogLine(std::string_view message, SystemTime when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line;
    line.reserve(n + 2 + message.size() + 1);
    line.append(stamp, n);
    line.append("  ");
    line.append(message);
    line.push_back('\n');
    return line;
}

} // namespace torvane
