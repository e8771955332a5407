#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// Sockets (tmux, D-Bus, X) live here: a Unix socket path has about 100 bytes, so they cannot go under a
// build tree of arbitrary depth.
std::string shortDir;
pid_t owner = 0;

void removeShortDir() {
    std::error_code ec;
    if (!shortDir.empty() && ::getpid() == owner) // not in a forked child that exits
        std::filesystem::remove_all(shortDir, ec);
}

} // namespace

// Points every per-user location at private directories before any test runs, so that no test can
// reach the user's settings, log or tmux server.
int main(int argc, char** argv) {
    const std::string scratch = TORVANE_TEST_SCRATCH;
    const std::string home = scratch + "/home";
    std::filesystem::create_directories(home);
    std::string templ = "/tmp/tv-XXXXXX";
    if (!::mkdtemp(templ.data()))
        return 2;
    shortDir = templ;
    owner = ::getpid();
    std::atexit(removeShortDir);
    std::filesystem::create_directories(shortDir + "/tmux");
    std::filesystem::create_directories(shortDir + "/run");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/.local/state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (shortDir + "/run").c_str(), 1);
    ::setenv("TMUX_TMPDIR", (shortDir + "/tmux").c_str(), 1);
    ::unsetenv("TMUX");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("TORVANE_SOURCE_DIR", TORVANE_SOURCE_DIR, 1);
    ::setenv("TORVANE_BINARY_DIR", TORVANE_BINARY_DIR, 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
