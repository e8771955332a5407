#include <unistd.h>

#include "common/LogLine.hpp"
#include "helper/Constants.hpp"

int main() {
    using namespace torvane;
    const std::string line =
        formatLogLine("=== torvane-helper 起動（ログ: " + std::string(helper::LOG_PATH) + "）===");
    return ::write(STDERR_FILENO, line.data(), line.size()) < 0 ? 1 : 0;
}
