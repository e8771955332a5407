#include "helper/RequestFiles.hpp"

#include "tests/fakes/TestSupport.hpp"

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
    RequestFiles files{dir.path().string(), [this] { return now; }};
};

} // namespace

TEST(RequestFiles, OnlyAFreshTrimmedOneInARegularFileIsWanted) {
    std::string huge(10 * 1024 * 1024, ' ');
    huge[huge.size() / 2] = '1';
    // clang-format off
    const std::vector<std::tuple<std::string, double, bool>> contents = {
        {"1", 0, true}, {"\u30001\r\n", 0, true}, {"1", 15.0, true}, {"1", -600, true}, {"1", 15.001, false},
        {"0", 0, false}, {"01", 0, false}, {"1 1", 0, false}, {"\xff" "1", 0, false}, {"", 0, false},
        {huge, 0, false}};
    // clang-format on
    for (const auto& [content, age, wanted] : contents) {
        Shared shared;
        test::writeFile(shared.dir / "request", content);
        test::setModifiedAgo(shared.dir / "request", age, shared.now);
        EXPECT_EQ(shared.files.desiredState(), wanted) << '"' << content.substr(0, 8) << "\" " << age;
    }
    // Planted by whoever can write the directory: a root daemon follows none and never blocks.
    const std::vector<std::function<void(const Shared&)>> planted = {
        [](const Shared& s) { fs::create_symlink(s.elsewhere / "one", s.dir / "request"); },
        [](const Shared& s) { fs::create_directory(s.dir / "request"); },
        [](const Shared& s) { ASSERT_EQ(::mkfifo((s.dir / "request").c_str(), 0666), 0); },
    };
    for (const auto& plant : planted) {
        Shared shared;
        test::writeFile(shared.elsewhere / "one", "1");
        plant(shared);
        EXPECT_FALSE(shared.files.desiredState());
        EXPECT_FALSE(shared.files.requestSaysOn());
    }
}

TEST(RequestFiles, TheAckNeverFollowsALinkOrBlocksOnAFifo) {
    Shared shared;
    test::writeFile(shared.elsewhere / "victim", "x");
    test::setModifiedAgo(shared.elsewhere / "victim", 1000);
    const auto before = fs::last_write_time(shared.elsewhere / "victim");
    fs::create_symlink(shared.elsewhere / "victim", shared.dir / "ack");
    shared.files.writeAck();
    EXPECT_EQ(fs::last_write_time(shared.elsewhere / "victim"), before);
    fs::remove(shared.dir / "ack");

    ASSERT_EQ(::mkfifo((shared.dir / "ack").c_str(), 0666), 0);
    shared.files.writeAck(); // returns
    EXPECT_TRUE(fs::is_fifo(shared.dir / "ack"));
}
