#include <string>

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"

int main() {
    using namespace torvane;
    Log::write("=== " + std::string(Config::appName) + " 起動 ===");
    Log::shared().flush();
    return 0;
}
