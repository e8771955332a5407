#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

// Points every per-user location at the build tree before any test runs, so that no test can reach
// the user's settings, log or tmux server.
int main(int argc, char** argv) {
    const std::string scratch = TORVANE_TEST_SCRATCH;
    const std::string home = scratch + "/home";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(scratch + "/tmux");
    std::filesystem::create_directories(scratch + "/runtime");
    std::filesystem::permissions(scratch + "/runtime", std::filesystem::perms::owner_all);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/.local/state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (scratch + "/runtime").c_str(), 1);
    ::setenv("TMUX_TMPDIR", (scratch + "/tmux").c_str(), 1);
    ::unsetenv("TMUX");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("TORVANE_SOURCE_DIR", TORVANE_SOURCE_DIR, 1);
    ::setenv("TORVANE_BINARY_DIR", TORVANE_BINARY_DIR, 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
