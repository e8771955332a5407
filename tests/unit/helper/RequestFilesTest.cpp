#include "helper/RequestFiles.hpp"

#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace torvane;
using namespace torvane::helper;
using namespace std::chrono_literals;

namespace {

class RequestFilesTest : public ::testing::Test {
protected:
    test::TempDir dir;
    SystemTime now = std::chrono::system_clock::now();
    RequestFiles files{dir.path().string(), [this] { return now; }};

    void request(std::string_view content, double ageSeconds = 0) {
        test::writeFile(dir / "request", content);
        test::setModifiedAgo(dir / "request", ageSeconds, now);
    }
};

} // namespace

TEST_F(RequestFilesTest, OnlyATrimmedOneIsWanted) {
    for (const char* wanted : {"1", "1\n", " 1 ", "\t1", "1\r\n", "\u30001\u3000"}) {
        request(wanted);
        EXPECT_TRUE(files.desiredState()) << '"' << wanted << '"';
        EXPECT_TRUE(files.requestSaysOn());
    }
    for (const char* notWanted : {"0", "", "01", "true", "1 1",
                                  "\xff"
                                  "1"}) {
        request(notWanted);
        EXPECT_FALSE(files.desiredState()) << '"' << notWanted << '"';
        EXPECT_FALSE(files.requestSaysOn());
    }
    std::filesystem::remove(dir / "request");
    EXPECT_FALSE(files.desiredState());
    EXPECT_FALSE(files.requestSaysOn());
}

TEST_F(RequestFilesTest, FifteenSecondsStillCountsAndAFutureTimeIsFresh) {
    request("1", 15.0);
    EXPECT_TRUE(files.desiredState());
    request("1", 15.001);
    EXPECT_FALSE(files.desiredState());
    EXPECT_TRUE(files.requestSaysOn()); // a lost heartbeat, not a release
    request("1", -600);
    EXPECT_TRUE(files.desiredState());
}

TEST_F(RequestFilesTest, LinksFifosDirectoriesAndHugeFilesAreNotWantedAndNeverHang) {
    test::TempDir elsewhere;
    test::writeFile(elsewhere / "one", "1");

    std::filesystem::create_symlink(elsewhere / "one", dir / "request");
    EXPECT_FALSE(files.desiredState());
    EXPECT_FALSE(files.requestSaysOn());
    std::filesystem::remove(dir / "request");

    std::filesystem::create_symlink(elsewhere / "missing", dir / "request");
    EXPECT_FALSE(files.desiredState());
    std::filesystem::remove(dir / "request");

    std::filesystem::create_directory_symlink(elsewhere.path(), dir / "request");
    EXPECT_FALSE(files.desiredState());
    std::filesystem::remove(dir / "request");

    std::filesystem::create_directory(dir / "request");
    EXPECT_FALSE(files.desiredState());
    std::filesystem::remove(dir / "request");

    // A FIFO with no writer would block a plain open() forever.
    ASSERT_EQ(::mkfifo((dir / "request").c_str(), 0666), 0);
    EXPECT_FALSE(files.desiredState());
    EXPECT_FALSE(files.requestSaysOn());
    std::filesystem::remove(dir / "request");

    std::string huge(10 * 1024 * 1024, ' ');
    huge[huge.size() / 2] = '1';
    request(huge);
    EXPECT_FALSE(files.desiredState());

    std::string justFits(4096, ' ');
    justFits[0] = '1';
    request(justFits);
    EXPECT_TRUE(files.desiredState());
}

TEST_F(RequestFilesTest, UnreadableRequestIsNotWanted) {
    request("1");
    std::filesystem::permissions(dir / "request", std::filesystem::perms::none);
    if (::geteuid() != 0) {
        EXPECT_FALSE(files.desiredState());
        return;
    }
    // Root reads whatever the mode says, so the check runs in a child that has given up root.
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::others_read |
                                                 std::filesystem::perms::others_exec);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        ::_exit(files.desiredState() || files.requestSaysOn() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: read as wanted, 2: could not drop root";
    EXPECT_TRUE(
        files.desiredState()); // as root the same file is read, so the child's answer came from the mode
}

TEST_F(RequestFilesTest, AckIsCreatedWithOkAndMode0644ThenOnlyTouched) {
    const mode_t old = ::umask(077);
    files.writeAck();
    ::umask(old);
    EXPECT_EQ(test::readFile(dir / "ack"), "ok");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "ack").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    test::setModifiedAgo(dir / "ack", 100);
    files.writeAck();
    ASSERT_EQ(::stat((dir / "ack").c_str(), &st), 0);
    EXPECT_LT(secondsBetween(modificationTime(st), std::chrono::system_clock::now()), 5.0);
    EXPECT_EQ(test::readFile(dir / "ack"), "ok");
}

TEST_F(RequestFilesTest, AckNeverFollowsAPlantedLinkOrTouchesAFifo) {
    test::TempDir elsewhere;
    // A dangling link: following it would create a file outside the directory.
    std::filesystem::create_symlink(elsewhere / "created", dir / "ack");
    files.writeAck();
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "created"));
    std::filesystem::remove(dir / "ack");

    // A link to an existing file: following it would change that file's time.
    test::writeFile(elsewhere / "victim", "x");
    test::setModifiedAgo(elsewhere / "victim", 1000);
    std::filesystem::create_symlink(elsewhere / "victim", dir / "ack");
    files.writeAck();
    struct stat st {};
    ASSERT_EQ(::stat((elsewhere / "victim").c_str(), &st), 0);
    EXPECT_GT(secondsBetween(modificationTime(st), std::chrono::system_clock::now()), 900.0);
    EXPECT_EQ(test::readFile(elsewhere / "victim"), "x");
    std::filesystem::remove(dir / "ack");

    ASSERT_EQ(::mkfifo((dir / "ack").c_str(), 0666), 0);
    files.writeAck(); // must return, not block on the FIFO
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "ack"));
}

TEST_F(RequestFilesTest, MissingDirectoryIsCreatedWithParentsAndOtherwiseIgnored) {
    RequestFiles nested((dir / "a/b/Torvane").string(), [this] { return now; });
    nested.writeAck(); // no directory: ignored
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    nested.createDirectory();
    nested.createDirectory(); // existing is fine
    nested.writeAck();
    EXPECT_EQ(test::readFile(dir / "a/b/Torvane/ack"), "ok");
}
