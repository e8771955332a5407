#include "app/core/Config.hpp"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace torvane::Config {

const std::string_view supportDir = protocol::macosPaths.supportDir;

std::filesystem::path logPath() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = (pw && pw->pw_dir) ? pw->pw_dir : "/";
    }
    return std::filesystem::path(home) / "Library" / "Logs" / "Torvane.log";
}

} // namespace torvane::Config
