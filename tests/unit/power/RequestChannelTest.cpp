#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/power/RequestChannel.hpp"
#include "helper/RequestFiles.hpp"
#include "tests/fakes/TestSupport.hpp"

using namespace torvane;
using namespace std::chrono_literals;

namespace {

struct FixedClock {
    SystemTime now = std::chrono::system_clock::now();
    WallClock fn() {
        return [this] { return now; };
    }
};

} // namespace

TEST(RequestChannel, WritesOneByteAndReplacesTheFileOnEveryWrite) {
    test::TempDir dir;
    RequestChannel channel(dir.path());
    channel.writeRequest(true);
    EXPECT_EQ(test::readFile(dir / "request"), "1");

    struct stat first{};
    ASSERT_EQ(::stat((dir / "request").c_str(), &first), 0);
    test::setModifiedAgo(dir / "request", 60);
    channel.writeRequest(true); // same byte, fresh file and time
    struct stat second{};
    ASSERT_EQ(::stat((dir / "request").c_str(), &second), 0);
    EXPECT_EQ(test::readFile(dir / "request"), "1");
    EXPECT_NE(first.st_ino, second.st_ino);
    EXPECT_LT(secondsBetween(modificationTime(second), std::chrono::system_clock::now()), 5.0);

    channel.writeRequest(false);
    EXPECT_EQ(test::readFile(dir / "request"), "0");
    // Only the request is left behind, no temporary files.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(RequestChannel, NewRequestGetsTheDefaultModeOfANewFile) {
    test::TempDir dir;
    const mode_t old = ::umask(022);
    RequestChannel(dir.path()).writeRequest(true);
    ::umask(old);
    struct stat st{};
    ASSERT_EQ(::stat((dir / "request").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(RequestChannel, FailedWriteLogsOneWarningAndLeavesNothingBehind) {
    test::TempDir dir;
    test::LogCapture log;
    RequestChannel missing(dir / "absent");
    missing.writeRequest(true);
    EXPECT_FALSE(missing.canWriteRequest());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "WARN: 要求ファイルを書けません: " + (dir / "absent/request").string() +
                            ": No such file or directory");
}

TEST(RequestChannel, CanWriteOnlyWhereTheUserMay) {
    test::TempDir dir;
    EXPECT_TRUE(RequestChannel(dir.path()).canWriteRequest());
    if (::geteuid() != 0) { // root may write anywhere
        std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
        EXPECT_FALSE(RequestChannel(dir.path()).canWriteRequest());
    }
}

TEST(RequestChannel, HelperStatusFromDirectoryAndAckAgeWithTheLimitExcluded) {
    test::TempDir dir;
    FixedClock clock;
    EXPECT_EQ(RequestChannel(dir / "absent", clock.fn()).helperStatus(), HelperStatus::notInstalled);

    RequestChannel channel(dir.path(), clock.fn());
    EXPECT_EQ(channel.helperStatus(), HelperStatus::notResponding); // no ack yet

    test::writeFile(dir / "ack", "ok");
    test::setModifiedAgo(dir / "ack", 14.9, clock.now);
    EXPECT_EQ(channel.helperStatus(), HelperStatus::ok);
    test::setModifiedAgo(dir / "ack", 15.0, clock.now);
    EXPECT_EQ(channel.helperStatus(), HelperStatus::notResponding);
    test::setModifiedAgo(dir / "ack", -3600, clock.now); // clock set back: in the future
    EXPECT_EQ(channel.helperStatus(), HelperStatus::ok);

    EXPECT_EQ(description(HelperStatus::ok), "ヘルパー: 稼働中");
    EXPECT_EQ(description(HelperStatus::notInstalled), "ヘルパー: 未導入");
    EXPECT_EQ(description(HelperStatus::notResponding), "ヘルパー: 応答なし");
}

TEST(RequestChannel, DaemonPollingWhileTheAppRewritesNeverSeesAPartialFile) {
    test::TempDir dir;
    RequestChannel channel(dir.path());
    channel.writeRequest(false);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        char buf[16];
        while (!done) {
            const int fd = ::open((dir / "request").c_str(), O_RDONLY);
            if (fd < 0) {
                ++bad; // the file must exist at every moment
                continue;
            }
            const ssize_t n = ::read(fd, buf, sizeof buf);
            ::close(fd);
            if (!(n == 1 && (buf[0] == '0' || buf[0] == '1')))
                ++bad;
            ++reads;
        }
    });
    for (int i = 0; i < 5000; ++i)
        channel.writeRequest(i % 2 == 0);
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 100);
}
