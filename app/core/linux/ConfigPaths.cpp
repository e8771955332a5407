#include "app/core/Config.hpp"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace torvane::Config {

const std::string_view supportDir = protocol::linuxPaths.supportDir;

namespace {
std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}
} // namespace

// XDG base directories: state that should survive restarts but is not configuration.
std::filesystem::path logPath() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::filesystem::path(state) / "torvane" / "Torvane.log";
    return homeDirectory() / ".local" / "state" / "torvane" / "Torvane.log";
}

} // namespace torvane::Config
