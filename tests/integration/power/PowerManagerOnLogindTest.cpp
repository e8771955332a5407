#include "app/platform/linux/LogindPowerAssertions.hpp"
#include "app/power/PowerManager.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace torvane;
using namespace std::chrono_literals;

// The power manager on the logind ports against the real systemd-logind: the locks as logind lists them.
TEST(PowerManagerOnLogind, CarryModeHoldsAnIdleAndASleepBlockUntilItEndsNotLongerThroughAChild) {
    TORVANE_REQUIRE_REAL_LOGIND();
    test::RealLogind logind;
    const test::TempDir shared, dir;
    VirtualMainLoop loop;
    LogindPowerAssertions assertions;
    PowerManager manager(loop, assertions, RequestChannel(shared.path()), true);
    const auto ours = [&] {
        std::vector<std::string> locks;
        for (const test::Inhibitor& i : logind.inhibitors())
            if (i.pid == static_cast<std::uint32_t>(::getpid()))
                locks.push_back(i.what + "|" + i.who + "|" + i.why + "|" + i.mode);
        std::sort(locks.begin(), locks.end());
        return locks;
    };

    // A logind that does not answer holds up neither carry mode's start nor its request to the daemon.
    logind.signal(SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    manager.apply(true);
    const auto took = std::chrono::steady_clock::now() - start;
    logind.signal(SIGCONT);
    EXPECT_LT(took, 1s);
    EXPECT_EQ(test::readFile(shared / "request"), "1");
    EXPECT_TRUE(test::waitFor([&] {
        loop.runPosted();
        return ours().size() == 2;
    }));
    EXPECT_EQ(ours(), (std::vector<std::string>{"idle|Torvane|Torvane: 持ち運びモード|block",
                                                "sleep|Torvane|Torvane: ふたを閉じても動作を継続|block"}));
    // A child that outlives the release (as a tmux server would) must not hold a lock open.
    test::writeExecutable(dir / "linger", "#!/bin/sh\n(sleep 5 <&- >&- 2>&- &)\n");
    ASSERT_TRUE(runSubprocess((dir / "linger").string(), {}, {.timeLimit = 10s}).ok());
    manager.apply(false);
    EXPECT_TRUE(test::waitFor(
        [&] {
            loop.runPosted();
            return ours().empty();
        },
        2000ms));
}
