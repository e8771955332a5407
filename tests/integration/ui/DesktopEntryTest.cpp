// What `cmake --install` leaves for desktops: an entry that starts the installed app, and its icon.
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <unistd.h>

namespace torvane {
namespace {

std::map<std::string, std::string> entryKeys(const std::string& text) {
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[Desktop Entry]");
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

TEST(DesktopEntry, StartsTheInstalledAppByItsFullPathAndHasItsIcon) {
    test::TempDir prefix;
    const SubprocessResult install = runSubprocess(
        TORVANE_CMAKE_COMMAND, {"--install", TORVANE_BINARY_DIR, "--prefix", prefix.path().string()},
        {.timeLimit = std::chrono::seconds(120)});
    ASSERT_TRUE(install.ok()) << install.out << install.err;

    const auto entry = prefix / "share/applications/torvane.desktop";
    ASSERT_TRUE(std::filesystem::exists(entry));
    auto keys = entryKeys(test::readFile(entry));
    EXPECT_EQ(keys["Type"], "Application");
    EXPECT_EQ(keys["Name"], "Torvane");
    EXPECT_EQ(keys["Exec"], (prefix / "bin/torvane").string());
    EXPECT_EQ(::access(keys["Exec"].c_str(), X_OK), 0) << "the entry must start a program that is there";
    EXPECT_EQ(keys["Terminal"], "false");
    EXPECT_EQ(keys["Icon"], "torvane");
    const auto icon = prefix / "share/icons/hicolor/scalable/apps/torvane.svg";
    ASSERT_TRUE(std::filesystem::exists(icon));
    EXPECT_NE(test::readFile(icon).find("<svg"), std::string::npos);
}

} // namespace
} // namespace torvane
