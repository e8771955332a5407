#include "app/install/HelperInstaller.hpp"

#include "app/install/OsascriptRunner.hpp"
#include "app/install/PkexecRunner.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <memory>

using namespace torvane;
using Failure = HelperInstaller::Failure;

namespace {

enum class Runner { pkexec, osascript };

// A resource directory with both scripts and a stand-in runner executable whose body decides the outcome.
struct InstallerFixture {
    test::TempDir dir;
    std::filesystem::path resources = dir / "share";

    InstallerFixture() {
        std::filesystem::create_directories(resources);
        test::writeFile(resources / "install-helper.sh", "exit 0\n");
        test::writeFile(resources / "uninstall.sh", "exit 0\n");
    }

    HelperInstaller installer(Runner kind, std::string_view body) {
        const auto path = dir / "runner";
        test::writeExecutable(path,
                              "#!/bin/bash\ntouch \"$(dirname \"$0\")/ran\"\n" + std::string(body) + "\n");
        std::shared_ptr<PrivilegedRunner> runner;
        if (kind == Runner::pkexec)
            runner = std::make_shared<PkexecRunner>(path.string());
        else
            runner = std::make_shared<OsascriptRunner>(path.string());
        return HelperInstaller(resources, runner);
    }

    bool runnerRan() const { return std::filesystem::exists(dir / "ran"); }
};

class HelperInstallerOutcome : public ::testing::TestWithParam<Runner> {};

std::string cancelBody(Runner kind) {
    return kind == Runner::pkexec ? "exit 126"
                                  : "echo '0:97: execution error: User canceled. (-128)' >&2; exit 1";
}

} // namespace

TEST_P(HelperInstallerOutcome, ExitZeroIsSuccessAndLogsTheScriptName) {
    InstallerFixture f;
    test::LogCapture log;
    auto installer = f.installer(GetParam(), "echo ignored; echo ignored too >&2; exit 0");
    EXPECT_EQ(installer.install(), std::nullopt);
    EXPECT_EQ(installer.uninstall(), std::nullopt);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"install-helper.sh を実行しました", "uninstall.sh を実行しました"}));
}

TEST_P(HelperInstallerOutcome, DismissedPromptIsACancelWithoutLogLine) {
    InstallerFixture f;
    test::LogCapture log;
    auto installer = f.installer(GetParam(), cancelBody(GetParam()));
    EXPECT_EQ(installer.install(), Failure::cancelled());
    EXPECT_TRUE(log.lines().empty());
}

TEST_P(HelperInstallerOutcome, FailureShowsTrimmedStandardErrorBeforeStandardOutput) {
    InstallerFixture f;
    test::LogCapture log;
    auto installer =
        f.installer(GetParam(), "echo 'on stdout'; printf '  \\tsystemd が必要です\\n\\n' >&2; exit 1");
    EXPECT_EQ(installer.install(), Failure::failed("systemd が必要です"));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"install-helper.sh が失敗しました: systemd が必要です"}));
}

TEST_P(HelperInstallerOutcome, FailureWithOnlyStandardOutputShowsThat) {
    InstallerFixture f;
    test::LogCapture log;
    auto installer = f.installer(GetParam(), "printf '\\n 標準出力だけ \\n'; exit 3");
    EXPECT_EQ(installer.uninstall(), Failure::failed("標準出力だけ"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"uninstall.sh が失敗しました: 標準出力だけ"}));
}

TEST_P(HelperInstallerOutcome, SilentFailureLogsAnEmptyDetailAndShowsTheFallbackText) {
    InstallerFixture f;
    test::LogCapture log;
    auto installer = f.installer(GetParam(), "exit 1");
    EXPECT_EQ(installer.install(), Failure::failed("原因を特定できませんでした"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"install-helper.sh が失敗しました: "}));
}

TEST_P(HelperInstallerOutcome, UndecodableOrBlankStandardErrorFallsBackToStandardOutput) {
    InstallerFixture f;
    test::LogCapture log;
    auto undecodable = f.installer(GetParam(), "printf '\\xff\\xfe' >&2; echo 理由; exit 1");
    EXPECT_EQ(undecodable.install(), Failure::failed("理由"));
    auto blank = f.installer(GetParam(), "printf ' \\n\\n' >&2; echo 本当の理由; exit 1");
    EXPECT_EQ(blank.install(), Failure::failed("本当の理由"));
    // Neither stream decodes: nothing to show but the fallback.
    auto garbage = f.installer(GetParam(), "printf '\\xc3' >&2; printf '\\xff'; exit 1");
    EXPECT_EQ(garbage.install(), Failure::failed("原因を特定できませんでした"));
}

TEST_P(HelperInstallerOutcome, MissingScriptRunsNothingAndLogsNothing) {
    InstallerFixture f;
    std::filesystem::remove(f.resources / "uninstall.sh");
    test::LogCapture log;
    auto installer = f.installer(GetParam(), "exit 0");
    EXPECT_TRUE(installer.isAvailable()); // only the installation script counts
    EXPECT_EQ(installer.uninstall(), Failure::scriptMissing());
    EXPECT_FALSE(f.runnerRan());
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(BothRunners, HelperInstallerOutcome,
                         ::testing::Values(Runner::pkexec, Runner::osascript), [](const auto& info) {
                             return info.param == Runner::pkexec ? "pkexec" : "osascript";
                         });

TEST(HelperInstaller, RunnerThatCannotStartFailsWithItsTextAndLogsNothing) {
    InstallerFixture f;
    test::LogCapture log;
    HelperInstaller pkexec(f.resources, std::make_shared<PkexecRunner>((f.dir / "missing").string()));
    EXPECT_EQ(pkexec.install(), Failure::failed("pkexec を起動できませんでした: No such file or directory"));
    HelperInstaller osascript(f.resources, std::make_shared<OsascriptRunner>((f.dir / "missing").string()));
    EXPECT_EQ(osascript.uninstall(),
              Failure::failed("osascript を起動できませんでした: No such file or directory"));
    EXPECT_TRUE(log.lines().empty());
}

TEST(HelperInstaller, ScriptsRunUnderBashWithTheirArgumentsThroughPkexec) {
    // pkexec stand-in that does what the real one does after the prompt: runs the command it was given.
    InstallerFixture f;
    test::writeFile(f.resources / "install-helper.sh",
                    "[ $# -eq 0 ] || { echo \"unexpected arguments: $*\" >&2; exit 9; }\n"
                    "echo installed > \"$(dirname \"$0\")/../result\"\n");
    test::writeFile(f.resources / "uninstall.sh", "echo \"インストールされていません ($1)\" >&2\nexit 1\n");
    auto installer = f.installer(Runner::pkexec, "exec \"$@\"");
    test::LogCapture log;
    EXPECT_EQ(installer.install(), std::nullopt);
    EXPECT_EQ(test::readFile(f.dir / "result"), "installed\n");
    EXPECT_EQ(installer.uninstall(), Failure::failed("インストールされていません (--keep-app)"));
}

TEST(HelperInstaller, AvailabilityFollowsTheInstallationScript) {
    InstallerFixture f;
    auto fake = std::make_shared<PkexecRunner>("/nonexistent");
    EXPECT_TRUE(HelperInstaller(f.resources, fake).isAvailable());
    EXPECT_EQ(HelperInstaller(f.resources, fake).scriptPath("install-helper.sh"),
              f.resources / "install-helper.sh");

    EXPECT_FALSE(HelperInstaller(std::nullopt, fake).isAvailable());
    EXPECT_FALSE(HelperInstaller(f.dir / "elsewhere", fake).isAvailable());

    // Not a file: a directory of that name does not count.
    std::filesystem::remove(f.resources / "install-helper.sh");
    EXPECT_FALSE(HelperInstaller(f.resources, fake).isAvailable());
    std::filesystem::create_directory(f.resources / "install-helper.sh");
    EXPECT_FALSE(HelperInstaller(f.resources, fake).isAvailable());
    EXPECT_EQ(HelperInstaller(f.resources, fake).install(), Failure::scriptMissing());
}
