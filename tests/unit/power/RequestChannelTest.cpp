#include "app/power/RequestChannel.hpp"

#include "tests/fakes/TestSupport.hpp"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace torvane;

TEST(RequestChannel, DaemonPollingWhileTheAppRewritesNeverSeesAPartialOrMissingFileAndAFailedWriteIsLogged) {
    test::TempDir dir;
    RequestChannel channel(dir.path());
    channel.writeRequest(false);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        char buf[16];
        while (!done) {
            const int fd = ::open((dir / "request").c_str(), O_RDONLY);
            bad += !(::read(fd, buf, sizeof buf) == 1 && (buf[0] == '0' || buf[0] == '1')); // fd -1: fails
            ::close(fd);
            ++reads;
        }
    });
    for (int i = 0; i < 5000; ++i)
        channel.writeRequest(i % 2 == 0);
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 100);
    std::filesystem::remove(dir / "request");
    std::filesystem::create_directory(dir / "request"); // the rename into place fails
    test::LogCapture log;
    channel.writeRequest(true);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WARN: 要求ファイルを書けません: " +
                                                    (dir / "request").string() + ": Is a directory"});
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1); // no temporaries left
}

TEST(RequestChannel, HelperStatusFromTheDirectoryItsOwnerAndTheAckFirstSeenAtAnAgeBelowTheLimit) {
    test::TempDir dir;
    const auto now = std::chrono::system_clock::now();
    const auto clock = [now] { return now; };
    const auto boot = [] { return BootSeconds(500); };
    EXPECT_EQ(RequestChannel(dir / "absent", clock, boot).helperStatus(), HelperStatus::notInstalled);
    EXPECT_EQ(RequestChannel(dir.path(), clock, boot).helperStatus(), HelperStatus::notResponding)
        << "no ack";
    test::writeFile(dir / "ack", "ok");
    for (const auto& [age, status] : {std::pair{14.9, HelperStatus::ok},
                                      {15.0, HelperStatus::notResponding},
                                      {-3600.0, HelperStatus::notResponding}}) { // clock set back since
        test::setModifiedAgo(dir / "ack", age, now);
        EXPECT_EQ(RequestChannel(dir.path(), clock, boot).helperStatus(), status) << age;
    }

    // Installed for another user: a directory this user may not write into says so.
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the directory to another user";
    ASSERT_EQ(::chown(dir.path().c_str(), 1, 1), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const bool other = ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                           RequestChannel(dir.path()).helperStatus() == HelperStatus::otherUser;
        ::_exit(other ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "seen as some other status by user 65534";
}
