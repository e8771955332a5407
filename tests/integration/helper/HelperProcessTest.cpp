#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

using namespace torvane;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string startLine = "=== torvane-helper 起動（ログ: /var/log/torvane-helper.log）===";
const std::string preventedLine = "ふた閉じスリープを抑止しました";
const std::string restoredLine = "ふた閉じスリープを元に戻しました";

// The daemon's real process, started through the test entry point; its standard error goes to a file.
class DaemonProcess {
public:
    DaemonProcess(const std::filesystem::path& stderrPath, const Strings& arguments)
        : stderrPath_(stderrPath) {
        std::vector<char*> argv;
        const std::string program = HELPER_TESTABLE_PATH;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " + program);
    }
    ~DaemonProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void signal(int number) const { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // The raw wait status once the process has ended, nothing if it still runs after `limit`.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = 10s) {
        int status = 0;
        const bool ended = test::waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
        if (!ended)
            return std::nullopt;
        pid_ = -1;
        return status;
    }
    bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }

    // Messages in order, each checked for the log-line format and stripped of its time stamp.
    Strings lines() const {
        static const std::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}  (.*)$)");
        Strings messages;
        std::istringstream in(test::readFile(stderrPath_));
        for (std::string line; std::getline(in, line);) {
            std::smatch match;
            messages.push_back(std::regex_match(line, match, format) ? match[1].str() : "MALFORMED: " + line);
        }
        return messages;
    }
    std::size_t count(const std::string& message) const {
        const auto all = lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
    }
    bool waitForLine(const std::string& message, std::size_t times = 1,
                     std::chrono::milliseconds limit = 10s) {
        return test::waitFor([&] { return count(message) >= times; }, limit);
    }

private:
    std::filesystem::path stderrPath_;
    pid_t pid_ = -1;
};

std::string stopLine(int signal) {
    return "停止します（signal " + std::to_string(signal) + "）。通常の電源設定に戻します";
}

class HelperProcessTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::filesystem::path support = dir / "support";
    std::filesystem::path pmset = dir / "pmset";

    void SetUp() override {
        // A stand-in that keeps the setting in a file, like the system does, and logs each run with its time.
        test::writeExecutable(pmset,
                              "#!/bin/sh\n"
                              "d=\"$(dirname \"$0\")\"\n"
                              "printf '%s %s\\n' \"$(date +%s.%N)\" \"$*\" >> \"$d/calls\"\n"
                              "case \"$1\" in\n"
                              "  -g) sleep \"$(cat \"$d/delay\" 2>/dev/null || echo 0)\"\n"
                              "      printf ' SleepDisabled\\t\\t%s\\n' \"$(cat \"$d/state\" 2>/dev/null || "
                              "echo 0)\" ;;\n"
                              "  -a) printf '%s' \"$3\" > \"$d/state\" ;;\n"
                              "esac\n");
    }

    std::unique_ptr<DaemonProcess> startWithPmset(const std::string& stale = "15") {
        return std::make_unique<DaemonProcess>(dir / "stderr",
                                               Strings{support.string(), stale, "pmset", pmset});
    }
    std::unique_ptr<DaemonProcess> startWithLogind(const std::string& name = "stderr") {
        return std::make_unique<DaemonProcess>(dir / name, Strings{support.string(), "15", "logind"});
    }
    void request(std::string_view content) {
        std::filesystem::create_directories(support);
        test::writeFile(support / "request.tmp", content);
        std::filesystem::rename(support / "request.tmp", support / "request");
    }
    std::string state() const { return test::readFile(dir / "state"); }
    // (time, arguments) of each stand-in run.
    std::vector<std::pair<double, std::string>> pmsetRuns() const {
        std::vector<std::pair<double, std::string>> runs;
        std::istringstream in(test::readFile(dir / "calls"));
        for (std::string line; std::getline(in, line);) {
            const auto space = line.find(' ');
            runs.emplace_back(std::stod(line.substr(0, space)), line.substr(space + 1));
        }
        return runs;
    }
};

// The file's modification time, which is what the daemon compares (it can lag the write by a clock tick).
double modifiedSeconds(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

} // namespace

TEST_F(HelperProcessTest, EachStopSignalGivesOneStopLineTheRestoreAndExitStatusZero) {
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        request("1");
        auto daemon = startWithPmset();
        ASSERT_TRUE(daemon->waitForLine(preventedLine));
        EXPECT_EQ(state(), "1");

        daemon->signal(signal);
        const auto status = daemon->waitForExit();
        ASSERT_TRUE(status.has_value()) << "still running after the signal";
        ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        EXPECT_EQ(daemon->lines(), (Strings{startLine, preventedLine, stopLine(signal), restoredLine}));
        EXPECT_EQ(state(), "0");
        EXPECT_EQ(pmsetRuns().back().second, "-a disablesleep 0");
        std::filesystem::remove(dir / "calls");
    }
}

TEST_F(HelperProcessTest, AStopDuringASlowTickEndsTheDaemonRightAfterThatTick) {
    test::writeFile(dir / "delay", "3"); // each query outlasts the 2 s period
    request("1");
    auto daemon = startWithPmset();
    // The start's query, then the first tick's: stop while that one is still running.
    ASSERT_TRUE(test::waitFor([&] { return pmsetRuns().size() >= 2; }, 10s));
    daemon->signal(SIGTERM);
    const auto status = daemon->waitForExit(4s);
    ASSERT_TRUE(status.has_value()) << "still running after the tick in progress";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(daemon->lines(), (Strings{startLine, preventedLine, stopLine(SIGTERM), restoredLine}));
    Strings runs;
    for (const auto& run : pmsetRuns())
        runs.push_back(run.second);
    EXPECT_EQ(runs, (Strings{"-g", "-g", "-a disablesleep 1", "-a disablesleep 0"}));
}

TEST_F(HelperProcessTest, StartUndoesAPreventionLeftByAKilledDaemon) {
    request("1");
    auto first = startWithPmset();
    ASSERT_TRUE(first->waitForLine(preventedLine));
    first->signal(SIGKILL); // no chance to restore
    ASSERT_TRUE(first->waitForExit().has_value());
    EXPECT_EQ(state(), "1");

    request("0");
    auto second = startWithPmset();
    ASSERT_TRUE(test::waitFor([&] { return second->lines().size() >= 3; }));
    EXPECT_EQ(second->lines(),
              (Strings{startLine, "前回の設定が残っていたため、いったん元に戻します", restoredLine}));
    EXPECT_EQ(state(), "0");
}

TEST_F(HelperProcessTest, ARequestThatStopsBeingRefreshedIsReleasedOnTheFirstTickPastTheLimitWithOneWarning) {
    const double stale = 3;
    const std::string warnLine = "WARN: アプリからの生存信号が 3 秒途切れました。安全のため解除します";
    request("1");
    auto daemon = startWithPmset("3");
    ASSERT_TRUE(daemon->waitForLine(preventedLine));
    request("1"); // the last heartbeat
    const double lastWrite = modifiedSeconds(support / "request");

    ASSERT_TRUE(daemon->waitForLine(restoredLine, 1, 15s));
    EXPECT_EQ(daemon->count(warnLine), 1u);
    const auto runs = pmsetRuns();
    const auto release = std::find_if(runs.begin(), runs.end(),
                                      [](const auto& run) { return run.second == "-a disablesleep 0"; });
    ASSERT_NE(release, runs.end());
    EXPECT_GT(release->first, lastWrite + stale);
    EXPECT_LT(release->first, lastWrite + stale + 2.0 + 1.0) << "later than the first tick past the limit";

    // Two more ticks while the request stays stale: nothing more to say or do.
    const std::size_t runsSoFar = runs.size();
    ASSERT_TRUE(test::waitFor([&] { return pmsetRuns().size() >= runsSoFar + 2; }, 10s));
    EXPECT_EQ(daemon->count(warnLine), 1u);
    EXPECT_EQ(daemon->count(restoredLine), 1u);
    EXPECT_EQ(state(), "0");

    // The start's query and the first tick's come together; after that one query every 2.0 s.
    std::vector<double> queries;
    for (const auto& run : pmsetRuns())
        if (run.second == "-g")
            queries.push_back(run.first);
    ASSERT_GE(queries.size(), 6u);
    EXPECT_LT(queries[1] - queries[0], 1.0) << "the first tick did not run at once";
    const double meanPeriod = (queries.back() - queries[1]) / static_cast<double>(queries.size() - 2);
    EXPECT_NEAR(meanPeriod, 2.0, 0.2);

    // Refreshed, then lost again: a second episode, a second warning.
    request("1");
    ASSERT_TRUE(daemon->waitForLine(preventedLine, 2));
    ASSERT_TRUE(daemon->waitForLine(warnLine, 2, 15s));
    EXPECT_TRUE(daemon->waitForLine(restoredLine, 2));
}

TEST_F(HelperProcessTest, RealLogindListsOneLockWhileTheRequestIsOneAndNoneOnceReleasedStoppedOrKilled) {
    TORVANE_REQUIRE_REAL_LOGIND();
    test::RealLogind logind;
    const auto locks = [&](pid_t holder) {
        std::size_t count = 0;
        for (const auto& lock : logind.inhibitors()) {
            EXPECT_EQ(lock.who, "torvane-helper");
            EXPECT_EQ(lock.what, "sleep:idle:handle-lid-switch");
            EXPECT_EQ(lock.why, "持ち運びモード");
            EXPECT_EQ(lock.mode, "block");
            count += lock.pid == static_cast<std::uint32_t>(holder) ? 1 : 0;
        }
        return count;
    };
    request("1");
    auto daemon = startWithLogind();
    ASSERT_TRUE(test::waitFor([&] { return locks(daemon->pid()) == 1; }));
    const auto ackAfterLock = std::filesystem::last_write_time(support / "ack");
    ASSERT_TRUE(
        test::waitFor([&] { return std::filesystem::last_write_time(support / "ack") > ackAfterLock; }));
    EXPECT_EQ(locks(daemon->pid()), 1u) << "a later tick took a second lock";

    request("0");
    EXPECT_TRUE(test::waitFor([&] { return logind.inhibitors().empty(); }));
    request("1");
    ASSERT_TRUE(test::waitFor([&] { return locks(daemon->pid()) == 1; }));
    daemon->signal(SIGTERM);
    const auto status = daemon->waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(test::waitFor([&] { return logind.inhibitors().empty(); })) << "the lock outlived the stop";
    EXPECT_EQ(daemon->lines(), (Strings{startLine, preventedLine, restoredLine, preventedLine,
                                        stopLine(SIGTERM), restoredLine}));

    auto killed = startWithLogind("stderr-killed");
    ASSERT_TRUE(test::waitFor([&] { return locks(killed->pid()) == 1; }));
    killed->signal(SIGKILL);
    EXPECT_TRUE(test::waitFor([&] { return logind.inhibitors().empty(); })) << "the lock outlived the daemon";
}

TEST_F(HelperProcessTest, WithoutLogindOnTheBusTheDaemonLogsTheErrorAndKeepsRunning) {
    test::PrivateSystemBus bus;
    request("1");
    auto daemon = startWithLogind();
    const std::string prefix = "ERROR: systemd-logind に抑止ロックを要求できません: ";
    const auto errors = [&] {
        const auto lines = daemon->lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    };
    // Each tick asks again while the wish stands, as with any switch that did not take.
    ASSERT_TRUE(test::waitFor([&] { return errors() >= 2; }, 10s));
    EXPECT_TRUE(daemon->running());
    EXPECT_EQ(daemon->count(preventedLine), 0u);

    daemon->signal(SIGINT);
    const auto status = daemon->waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(daemon->lines().back(), restoredLine);
}
