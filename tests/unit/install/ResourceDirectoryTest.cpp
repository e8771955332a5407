#include "app/install/ResourceDirectory.hpp"

#include "app/install/HelperInstaller.hpp"
#include "tests/fakes/FakePrivilegedRunner.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace torvane;

TEST(ResourceDirectory, FoundBesideTheExecutablesDirectoryOnlyWhenItExists) {
    test::TempDir prefix;
    std::filesystem::create_directories(prefix / "bin");
    EXPECT_EQ(resourceDirectoryFor(prefix / "bin" / "torvane", "../share/torvane"), std::nullopt);
    std::filesystem::create_directories(prefix / "share" / "torvane");
    EXPECT_EQ(resourceDirectoryFor(prefix / "bin" / "torvane", "../share/torvane"),
              prefix / "share" / "torvane");
    EXPECT_EQ(resourceDirectoryFor("", "../share/torvane"), std::nullopt);
}

TEST(ResourceDirectory, BuildTreeHoldsBothScriptsWhereTheBuiltAppLooks) {
    // The app is built as <build>/app/torvane; its resources must be laid out as once installed.
    const char* binary = std::getenv("TORVANE_BINARY_DIR");
    ASSERT_NE(binary, nullptr);
    const auto dir =
        resourceDirectoryFor(std::filesystem::path(binary) / "app" / "torvane", "../share/torvane");
    ASSERT_TRUE(dir.has_value());
    HelperInstaller installer(dir, std::make_shared<test::FakePrivilegedRunner>());
    EXPECT_TRUE(installer.isAvailable());
    EXPECT_TRUE(installer.scriptPath("uninstall.sh").has_value());
}
