#include "helper/RequestFiles.hpp"

#include "helper/Helper.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace torvane;
using namespace torvane::helper;
namespace fs = std::filesystem;

namespace {

struct Shared {
    test::TempDir dir;
    test::TempDir elsewhere;
    SystemTime now = std::chrono::system_clock::now();
    double boot = 100;
    RequestFiles files{dir.path().string(), [this] { return now; }, STALE_SECONDS,
                       [this] { return BootSeconds(boot); }};
};

} // namespace

TEST(RequestFiles, AtTheFirstLookOnlyATrimmedOneWrittenUpTo15SecondsAgoInARegularFileIsWanted) {
    std::string huge(10 * 1024 * 1024, ' ');
    huge[huge.size() / 2] = '1';
    // clang-format off
    const std::vector<std::tuple<std::string, double, bool>> contents = {
        {"1", 0, true}, {"\u30001\r\n", 0, true}, {"1", 15.0, true}, {"1", -600, false}, {"1", 15.001, false},
        {"0", 0, false}, {"01", 0, false}, {"1 1", 0, false}, {"\xff" "1", 0, false}, {"", 0, false},
        {huge, 0, false}};
    // clang-format on
    for (const auto& [content, age, wanted] : contents) {
        Shared shared;
        test::writeFile(shared.dir / "request", content);
        test::setModifiedAgo(shared.dir / "request", age, shared.now);
        EXPECT_EQ(shared.files.desiredState(), wanted) << '"' << content.substr(0, 8) << "\" " << age;
    }
    // Planted as request and ack by whoever can write the directory: a root daemon follows none, writes
    // through none, leaves them as they are and never blocks.
    const std::vector<std::function<void(const fs::path&, const fs::path&)>> planted = {
        [](const fs::path& target, const fs::path& p) { fs::create_symlink(target, p); },
        [](const fs::path&, const fs::path& p) { fs::create_directory(p); },
        [](const fs::path&, const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); },
    };
    for (const auto& plant : planted) {
        Shared shared;
        test::writeFile(shared.elsewhere / "one", "1");
        test::setModifiedAgo(shared.elsewhere / "one", 1000);
        const auto before = fs::last_write_time(shared.elsewhere / "one");
        for (const char* name : {"request", "ack"})
            plant(shared.elsewhere / "one", shared.dir / name);
        const RequestFiles::Wish wish = shared.files.look();
        EXPECT_FALSE(wish.wanted || wish.saysOn || wish.saysOff);
        const auto kind = fs::symlink_status(shared.dir / "ack").type();
        shared.files.writeAck(); // returns
        EXPECT_EQ(fs::symlink_status(shared.dir / "ack").type(), kind);
        EXPECT_EQ(fs::last_write_time(shared.elsewhere / "one"), before);
    }
}

// The app writes "1" every 5 s until it dies, the daemon looks every 2 s, and the wall clock is stepped
// once. Whatever the step, the lid is held at every look while the app lives, and let go at most 17 s
// after its last write (15 s of freshness, up to one period to see it end), never to come back.
TEST(RequestFiles, FreshnessFollowsTheBootClockWhateverTheWallClockDoes) {
    struct Step {
        double at, by, lastWrite;
    };
    const std::vector<Step> steps = {
        {10.1, -60, 10},  {10.1, -3600, 10}, {10.1, 3600, 10}, {10.1, -86400, 10}, // then the app dies
        {21, 3600, 40},   {21, -3600, 40},                                         // while it lives
        {40, -86400, 10}, {40, 3600, 10}, // after the release: nothing may take the lid again
    };
    for (const Step& step : steps) {
        Shared shared;
        const SystemTime epoch = shared.now;
        double offset = 0;
        const auto at = [&](double t) {
            shared.boot = 100 + t;
            shared.now = epoch + std::chrono::duration_cast<SystemTime::duration>(
                                     std::chrono::duration<double>(t + offset));
        };
        std::optional<double> released;
        bool lapsed = false;
        // In tenths of a second, so that no write and no look fall on the same instant.
        for (int tenth = 0; tenth <= 700; ++tenth) {
            const double t = tenth / 10.0;
            if (tenth == std::lround(step.at * 10))
                offset += step.by;
            at(t);
            if (tenth % 50 == 0 && t <= step.lastWrite) {
                test::writeFile(shared.dir / "request.new", "1");
                fs::rename(shared.dir / "request.new", shared.dir / "request");
                test::setModifiedAgo(shared.dir / "request", 0, shared.now); // by the wall clock of now
            }
            if (tenth % 20 != 19)
                continue;
            const bool wanted = shared.files.desiredState();
            if (t < step.lastWrite)
                lapsed = lapsed || !wanted;
            else if (!wanted && !released)
                released = t;
            else if (wanted && released)
                ADD_FAILURE() << "taken again at " << t << " s after the step by " << step.by;
        }
        EXPECT_FALSE(lapsed) << "a gap while the app lives, step by " << step.by << " at " << step.at;
        ASSERT_TRUE(released) << step.by;
        EXPECT_LE(*released - step.lastWrite, 17) << "step by " << step.by << " at " << step.at;
    }
}

// The app's "1" lands between the daemon's look at a "0" and its ack: that ack would tell the app its
// new wish is carried out while the lock is still being let go.
TEST(Helper, AnAckIsWrittenOnlyForTheRequestItWasRead) {
    struct RequestLandsMidTick final : SleepControl {
        std::function<void()> during;
        std::optional<bool> currentSleepDisabled() override {
            if (during)
                during();
            return false;
        }
        bool setSleepDisabled(bool) override { return true; }
        bool restoreSleep() override { return false; }
    } sleep;
    Shared shared;
    Helper helper(std::move(shared.files), sleep, [](std::string_view) {});
    test::writeFile(shared.dir / "request", "0");
    sleep.during = [&] { // as the app writes it: a new file renamed over the old
        test::writeFile(shared.dir / "request.new", "1");
        fs::rename(shared.dir / "request.new", shared.dir / "request");
    };
    helper.tick();
    EXPECT_FALSE(fs::exists(shared.dir / "ack"));
    sleep.during = nullptr;
    helper.tick();
    EXPECT_TRUE(fs::exists(shared.dir / "ack")) << "the \"1\" once it was read";
}
