#include "tests/fakes/FakeLogind.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

using namespace torvane;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string startLine = "=== torvane-helper 起動（ログ: /var/log/torvane-helper.log）===";
const std::string preventedLine = "ふた閉じスリープを抑止しました";
const std::string restoredLine = "ふた閉じスリープを元に戻しました";

std::string stopLine(int signal) {
    return "停止します（signal " + std::to_string(signal) + "）。通常の電源設定に戻します";
}

// The daemon's real process through its test entry point, what it logs in a file.
struct Daemon : test::ChildProcess {
    Daemon(const fs::path& log, const Strings& args) : ChildProcess(args, log), log(log) {}
    Strings lines() const { return test::logMessages(log); }
    bool waitForLine(const std::string& message, long times = 1) const {
        return test::waitFor([&] {
            const auto all = lines();
            return std::count(all.begin(), all.end(), message) >= times;
        });
    }
    fs::path log;
};

class HelperProcess : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path support = dir / "support";

    void SetUp() override {
        // Keeps the setting in a file like the system does; a query takes as long as the file "delay" says.
        test::writeExecutable(dir / "pmset",
                              "#!/bin/sh\nd=\"$(dirname \"$0\")\"\n"
                              "printf '%s\\n' \"$*\" >> \"$d/calls\"\n"
                              "case \"$1\" in\n"
                              "  -g) sleep \"$(cat \"$d/delay\" 2>/dev/null || echo 0)\"\n"
                              "      printf ' SleepDisabled\\t%s\\n' \"$(cat \"$d/state\" || echo 0)\" ;;\n"
                              "  -a) printf '%s' \"$3\" > \"$d/state\" ;;\n"
                              "esac\n");
    }
    std::unique_ptr<Daemon> start(const std::string& log, const std::string& stale = "15",
                                  bool logind = false) {
        Strings args{HELPER_TESTABLE_PATH, support.string(), stale, logind ? "logind" : "pmset"};
        if (!logind)
            args.push_back(dir / "pmset");
        return std::make_unique<Daemon>(dir / log, args);
    }
    void request(std::string_view content) {
        fs::create_directories(support);
        test::writeFile(support / "request.tmp", content);
        fs::rename(support / "request.tmp", support / "request");
    }
    Strings calls() const { return test::readLines(dir / "calls"); }
};

} // namespace

TEST_F(HelperProcess, EachStopSignalRestoresAndEndsItEvenDuringASlowTickAndAKilledOnesLeftoverIsUndone) {
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) {
        fs::remove(dir / "calls");
        // For SIGTERM each query outlasts the 2 s period, and the signal comes during the first tick's.
        test::writeFile(dir / "delay", signal == SIGTERM ? "3" : "0");
        request("1");
        auto daemon = start("log" + std::to_string(signal));
        ASSERT_TRUE(test::waitFor([&] { return calls().size() >= 2; }, 10s));
        daemon->signal(signal);
        EXPECT_EQ(daemon->waitExit(20s), 0);
        EXPECT_EQ(daemon->lines(), (Strings{startLine, preventedLine, stopLine(signal), restoredLine}));
        // No query after the tick in progress: it ended right after that tick, not after another.
        EXPECT_EQ(calls(), (Strings{"-g", "-g", "-a disablesleep 1", "-a disablesleep 0"}));
    }
    // SIGKILL leaves no chance to restore: the next start does it.
    test::writeFile(dir / "delay", "0");
    request("1");
    auto killed = start("killed");
    ASSERT_TRUE(killed->waitForLine(preventedLine));
    killed->signal(SIGKILL);
    request("0");
    auto next = start("next");
    ASSERT_TRUE(next->waitForLine(restoredLine));
    EXPECT_EQ(next->lines(),
              (Strings{startLine, "前回の設定が残っていたため、いったん元に戻します", restoredLine}));
}

TEST_F(HelperProcess, ItReassertsAChangedSettingAndReleasesATickPastALostHeartbeatWithOneWarning) {
    const std::string warnLine = "WARN: アプリからの生存信号が 3 秒途切れました。安全のため解除します";
    request("1");
    auto daemon = start("log", "3");
    ASSERT_TRUE(daemon->waitForLine(preventedLine));
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(support / "ack"); }));
    test::writeFile(dir / "state", "0"); // someone else switched it back
    request("1");                        // the last heartbeat
    const auto lastWrite = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon->waitForLine(preventedLine, 2));
    ASSERT_TRUE(daemon->waitForLine(restoredLine));
    // The first tick past the stale limit comes within one period of it; RequestFiles' test pins the
    // limit itself on virtual clocks, and the rest of the bound is for a loaded machine.
    EXPECT_GT(std::chrono::steady_clock::now() - lastWrite, 2900ms);
    EXPECT_LT(std::chrono::steady_clock::now() - lastWrite, 3s + 2s + 5s) << "not a tick soon past it";
    const auto ackAfterRelease = fs::last_write_time(support / "ack");
    const auto callsSoFar = calls().size();
    ASSERT_TRUE(test::waitFor([&] { return calls().size() >= callsSoFar + 2; })); // two more ticks
    EXPECT_EQ(daemon->lines(), (Strings{startLine, preventedLine, preventedLine, warnLine, restoredLine}));
    EXPECT_EQ(fs::last_write_time(support / "ack"), ackAfterRelease)
        << "a lost heartbeat is no wish carried out";
    request("0");
    EXPECT_TRUE(test::waitFor([&] { return fs::last_write_time(support / "ack") != ackAfterRelease; }));
}

TEST_F(HelperProcess, RealLogindListsOneLockWhileTheRequestIsOneAndNoneOnceReleasedStoppedOrKilled) {
    TORVANE_REQUIRE_REAL_LOGIND();
    test::RealLogind logind;
    const auto lockedBy = [&](const Daemon& holder) {
        const auto locks = logind.inhibitors();
        return locks.size() == 1 && locks[0].pid == static_cast<std::uint32_t>(holder.pid()) &&
               locks[0].who + "|" + locks[0].what + "|" + locks[0].why + "|" + locks[0].mode ==
                   "torvane-helper|sleep:idle:handle-lid-switch|持ち運びモード|block";
    };
    const auto noLock = [&] { return test::waitFor([&] { return logind.inhibitors().empty(); }); };
    request("1");
    auto daemon = start("log", "15", true);
    ASSERT_TRUE(test::waitFor([&] { return lockedBy(*daemon); }));
    request("0");
    EXPECT_TRUE(noLock());
    request("1");
    ASSERT_TRUE(test::waitFor([&] { return lockedBy(*daemon); }));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(10s), 0);
    EXPECT_TRUE(noLock()) << "the lock outlived the stop";

    auto killed = start("killed", "15", true);
    ASSERT_TRUE(test::waitFor([&] { return lockedBy(*killed); }));
    killed->signal(SIGKILL);
    EXPECT_TRUE(noLock()) << "the lock outlived the daemon";

    // logind dies: its end of the lock closes, and the daemon sees the lock gone and stops acknowledging.
    request("1");
    auto orphaned = start("orphaned", "15", true);
    ASSERT_TRUE(test::waitFor([&] { return lockedBy(*orphaned); }));
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(support / "ack"); }));
    logind.signal(SIGKILL);
    EXPECT_TRUE(orphaned->waitForLine("WARN: systemd-logind の抑止ロックが失われました"));
    const auto ack = fs::last_write_time(support / "ack");
    const std::string refused = "ERROR: systemd-logind に抑止ロックを要求できません: ";
    EXPECT_TRUE(test::waitFor([&] {
        const auto all = orphaned->lines();
        return std::count_if(all.begin(), all.end(), [&](const auto& l) { return l.starts_with(refused); }) >=
               2;
    }));
    EXPECT_EQ(fs::last_write_time(support / "ack"), ack) << "acknowledged a lock nobody holds";
}

TEST_F(HelperProcess, WhenLogindRefusesEveryLockNoRestoreIsClaimed) {
    test::FakeLogind logind; // refuses every lock
    request("1");
    auto daemon = start("log", "15", true);
    const std::string refused = "ERROR: systemd-logind に抑止ロックを要求できません: Access denied";
    ASSERT_TRUE(daemon->waitForLine(refused, 2));
    EXPECT_FALSE(fs::exists(support / "ack")) << "an ack while refused makes the app promise the lid";
    request("0");
    const std::string nothing = "ふた閉じスリープは抑止できていなかったため、戻す設定はありません";
    ASSERT_TRUE(daemon->waitForLine(nothing));
    EXPECT_TRUE(test::waitFor([&] { return fs::exists(support / "ack"); }));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(10s), 0);
    Strings lines = daemon->lines();
    lines.erase(std::remove(lines.begin(), lines.end(), refused), lines.end()); // once per tick while "1"
    EXPECT_EQ(lines, (Strings{startLine, nothing, stopLine(SIGTERM)}));
}

// One daemon per wall-clock step, against the real logind, fed a heartbeat every 5 s as the app writes
// it, with the stepped clock's times once the step (right after the heartbeat at 10 s) has come. While
// the app lives the lock never lapses; after its last write it goes within 17 s.
TEST_F(HelperProcess, ClockStepsNeitherOpenAGapNorKeepTheLockPastTheApp) {
    TORVANE_REQUIRE_REAL_LOGIND();
    test::RealLogind logind;
    struct Run {
        double by, lastWrite;
        fs::path dir;
        std::unique_ptr<Daemon> daemon;
        std::optional<double> locked, lapsed, released;
        double written; // when the last heartbeat went in
    };
    std::vector<Run> runs;
    for (const auto& [by, lastWrite] : {std::pair{-60.0, 10.0}, {-3600.0, 10.0}, {3600.0, 15.0}}) {
        const fs::path at = dir / ("step" + std::to_string(runs.size()));
        fs::create_directories(at / "support");
        test::writeFile(at / "offset", "0");
        ::setenv("TORVANE_WALL_OFFSET_FILE", (at / "offset").c_str(), 1);
        auto daemon = std::make_unique<Daemon>(at / "log",
                                               Strings{HELPER_TESTABLE_PATH, at / "support", "15", "logind"});
        ::unsetenv("TORVANE_WALL_OFFSET_FILE");
        runs.push_back({by, lastWrite, at, std::move(daemon), {}, {}, {}, 0});
    }
    const auto start = std::chrono::steady_clock::now();
    for (int beat = 0;;) {
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (t >= 36)
            break;
        for (; t >= beat * 5.0; ++beat)
            for (Run& run : runs) {
                if (beat * 5.0 > run.lastWrite)
                    continue;
                test::writeFile(run.dir / "support/new", "1");
                test::setModifiedAgo(run.dir / "support/new", beat > 2 ? -run.by : 0);
                fs::rename(run.dir / "support/new", run.dir / "support/request");
                run.written = t;
                if (beat == 2)
                    test::writeFile(run.dir / "offset", std::to_string(run.by));
            }
        const auto locks = logind.inhibitors();
        for (Run& run : runs) {
            const bool held = std::any_of(locks.begin(), locks.end(), [&](const test::Inhibitor& lock) {
                return lock.pid == static_cast<std::uint32_t>(run.daemon->pid());
            });
            if (held && !run.locked)
                run.locked = t;
            else if (!held && run.locked && !(t < run.lastWrite ? run.lapsed : run.released))
                (t < run.lastWrite ? run.lapsed : run.released) = t;
        }
        std::this_thread::sleep_for(100ms);
    }
    for (const Run& run : runs) {
        ASSERT_TRUE(run.locked && run.released) << "step by " << run.by;
        EXPECT_FALSE(run.lapsed) << "step by " << run.by << ": the lock lapsed at " << *run.lapsed << " s";
        std::printf("clock step %+.0f s: released %.1f s after the last heartbeat\n", run.by,
                    *run.released - run.written);
        // 17 s at most by the daemon's own clocks (RequestFiles' test); the rest is for a loaded machine.
        EXPECT_LE(*run.released - run.written, 17 + 5) << "step by " << run.by;
    }
}
