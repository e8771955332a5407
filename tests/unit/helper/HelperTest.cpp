#include "helper/Helper.hpp"

#include "tests/fakes/FakeSleepControl.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <filesystem>
#include <gtest/gtest.h>

using namespace torvane;
using namespace torvane::helper;
using Strings = std::vector<std::string>;

namespace {

const std::string startLine = "=== torvane-helper 起動（ログ: /var/log/torvane-helper.log）===";
const std::string leftoverLine = "前回の設定が残っていたため、いったん元に戻します";
const std::string restoredLine = "ふた閉じスリープを元に戻しました";
const std::string warnLine = "WARN: アプリからの生存信号が 15 秒途切れました。安全のため解除します";

class HelperTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::filesystem::path support = dir / "support";
    SystemTime now = std::chrono::system_clock::now();
    test::FakeSleepControl sleep;
    Strings lines;
    Helper helper{RequestFiles(
                      support.string(), [this] { return now; }, 15.0),
                  sleep, [this](const std::string& line) { lines.push_back(line); }};

    // A request written now (by the test's clock).
    void request(std::string_view content) {
        std::filesystem::create_directories(support);
        test::writeFile(support / "request", content);
        test::setModifiedAgo(support / "request", 0, now);
    }
    void advance(double seconds) {
        now += std::chrono::duration_cast<SystemTime::duration>(std::chrono::duration<double>(seconds));
    }
    // The switches one tick made.
    Strings tick() {
        const std::size_t before = sleep.switches().size();
        helper.tick();
        const auto all = sleep.switches();
        return Strings(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }
    std::size_t count(const std::string& line) const { return std::count(lines.begin(), lines.end(), line); }
};

} // namespace

TEST_F(HelperTest, StartUndoesALeftoverPreventionWithItsThreeLinesAndAFreshRequestTurnsItBackOn) {
    sleep.disabled = true;
    request("1");
    helper.start();
    EXPECT_EQ(lines, (Strings{startLine, leftoverLine, restoredLine}));
    EXPECT_EQ(sleep.switches(), Strings{"restore"});
    EXPECT_FALSE(helper.appliedState());

    EXPECT_EQ(tick(), Strings{"set 1"});
    EXPECT_TRUE(sleep.disabled);
}

TEST_F(HelperTest, StartTouchesNothingUnlessTheQuerySaysYesAndLogsNoRestoreThatFailed) {
    helper.start();
    EXPECT_EQ(lines, Strings{startLine});
    EXPECT_TRUE(std::filesystem::is_directory(support)); // created with its parents

    sleep.queryAnswers = false;
    sleep.disabled = true;
    lines.clear();
    helper.start();
    EXPECT_EQ(lines, Strings{startLine});
    EXPECT_TRUE(sleep.switches().empty());

    sleep.queryAnswers = true;
    sleep.switchSucceeds = false;
    lines.clear();
    helper.start();
    EXPECT_EQ(lines, (Strings{startLine, leftoverLine}));
    EXPECT_EQ(sleep.switches(), Strings{"restore"});
}

TEST_F(HelperTest, FollowsTheWishThroughOnOffAndUnreadableRequests) {
    helper.start();
    EXPECT_TRUE(tick().empty()); // no request: nothing to do
    EXPECT_TRUE(std::filesystem::exists(support / "ack"));

    request("1");
    EXPECT_EQ(tick(), Strings{"set 1"});
    EXPECT_TRUE(helper.appliedState());
    EXPECT_TRUE(tick().empty());

    request("0");
    EXPECT_EQ(tick(), Strings{"set 0"});
    EXPECT_TRUE(tick().empty());

    request("1");
    EXPECT_EQ(tick(), Strings{"set 1"});
    // Something that is not a readable regular file is "not wanted" and no lost heartbeat.
    std::filesystem::remove(support / "request");
    std::filesystem::create_directory(support / "request");
    EXPECT_EQ(tick(), Strings{"set 0"});
    EXPECT_EQ(count(warnLine), 0u);
    EXPECT_EQ(std::count(sleep.calls.begin(), sleep.calls.end(), "query"), 1 + 7); // start, then one a tick
}

TEST_F(HelperTest, ReassertsTheWishWhenSomeoneElseChangesTheSettingAndRetriesFailedSwitches) {
    helper.start();
    request("1");
    EXPECT_EQ(tick(), Strings{"set 1"});
    sleep.disabled = false; // switched back by hand
    EXPECT_EQ(tick(), Strings{"set 1"});
    EXPECT_TRUE(sleep.disabled);

    sleep.switchSucceeds = false;
    sleep.disabled = false;
    EXPECT_EQ(tick(), Strings{"set 1"});
    EXPECT_EQ(tick(), Strings{"set 1"}); // the query keeps reporting it wrong
    sleep.switchSucceeds = true;
    EXPECT_EQ(tick(), Strings{"set 1"});
    EXPECT_TRUE(tick().empty());

    request("0");
    EXPECT_EQ(tick(), Strings{"set 0"});
    sleep.disabled = true;
    EXPECT_EQ(tick(), Strings{"set 0"});
}

TEST_F(HelperTest, ActsOnANewWishButDoesNotRetryWhileTheQueryGivesNoAnswer) {
    helper.start();
    sleep.queryAnswers = false;
    sleep.switchSucceeds = false;
    request("1");
    EXPECT_EQ(tick(), Strings{"set 1"});
    EXPECT_TRUE(helper.appliedState()); // recorded even though the switch failed
    EXPECT_TRUE(tick().empty());
    EXPECT_TRUE(tick().empty());
    request("0");
    EXPECT_EQ(tick(), Strings{"set 0"});
    EXPECT_TRUE(tick().empty());
}

TEST_F(HelperTest, WarnsOncePerLostHeartbeatAndAgainAfterAFreshRequest) {
    helper.start();
    request("1");
    EXPECT_EQ(tick(), Strings{"set 1"});

    advance(15.0); // exactly the limit still counts
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(count(warnLine), 0u);

    advance(0.001);
    EXPECT_EQ(tick(), Strings{"set 0"});
    EXPECT_EQ(lines.back(), warnLine);
    for (int i = 0; i < 3; ++i) {
        advance(2);
        EXPECT_TRUE(tick().empty());
    }
    EXPECT_EQ(count(warnLine), 1u);

    request("1"); // the app is back
    EXPECT_EQ(tick(), Strings{"set 1"});
    advance(16);
    EXPECT_EQ(tick(), Strings{"set 0"});
    EXPECT_EQ(count(warnLine), 2u);

    // A release that ages is no lost heartbeat, and it ends the episode.
    request("0");
    advance(30);
    EXPECT_TRUE(tick().empty());
    request("1");
    advance(20);
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(count(warnLine), 3u);
}

TEST_F(HelperTest, ShutdownRestoresWhateverWasAppliedAndLogsOnlyWhatSucceeded) {
    helper.start();
    helper.shutdown("signal 15");
    EXPECT_EQ(lines, (Strings{startLine, "停止します（signal 15）。通常の電源設定に戻します", restoredLine}));
    EXPECT_EQ(sleep.switches(), Strings{"restore"});

    request("1");
    tick();
    sleep.switchSucceeds = false;
    lines.clear();
    helper.shutdown("signal 1");
    EXPECT_EQ(lines, Strings{"停止します（signal 1）。通常の電源設定に戻します"});
    EXPECT_EQ(sleep.switches().back(), "restore");
}
