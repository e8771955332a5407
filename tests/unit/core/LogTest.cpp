#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "tests/fakes/TestSupport.hpp"

using namespace torvane;

namespace {

std::vector<std::string> fileLines(const std::filesystem::path& p) {
    std::vector<std::string> lines;
    std::istringstream in(test::readFile(p));
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}  )");

} // namespace

TEST(Log, FirstLineCreatesDirectoryAndFileAndLaterLinesAppendInOrder) {
    test::TempDir dir;
    const auto file = dir / "deep/er/Torvane.log";
    Log log([&] { return file; }, false);
    log.append("WARN: 要求ファイルを書けません: x");
    log.flush();
    const auto first = test::readFile(file);
    EXPECT_TRUE(std::regex_search(first, stamp));
    EXPECT_TRUE(first.ends_with("  WARN: 要求ファイルを書けません: x\n"));
    EXPECT_EQ(first.size(), 19 + 2 + std::string("WARN: 要求ファイルを書けません: x").size() + 1);

    log.append("second");
    log.append("third");
    log.flush();
    const auto lines = fileLines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[1].ends_with("  second"));
    EXPECT_TRUE(lines[2].ends_with("  third"));
}

TEST(Log, DeletedFileIsCreatedAfreshByTheNextLine) {
    test::TempDir dir;
    const auto file = dir / "Torvane.log";
    Log log([&] { return file; }, false);
    log.append("before");
    log.flush();
    std::filesystem::remove(file);
    log.append("after");
    log.flush();
    const auto lines = fileLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("  after"));
}

TEST(Log, MessageWithLineFeedsStaysInsideOneFrame) {
    test::TempDir dir;
    const auto file = dir / "Torvane.log";
    Log log([&] { return file; }, false);
    log.append("a\nb\n");
    log.flush();
    const auto content = test::readFile(file);
    EXPECT_TRUE(std::regex_search(content, stamp));
    EXPECT_TRUE(content.ends_with("  a\nb\n\n"));
    EXPECT_EQ(content.find("  "), 19u);
    EXPECT_EQ(content.find("  ", 20), std::string::npos);
}

TEST(Log, LinesFromFourThreadsAllArriveWholeAndInEachThreadsOrder) {
    test::TempDir dir;
    const auto file = dir / "Torvane.log";
    constexpr int threads = 4, perThread = 2500;
    {
        Log log([&] { return file; }, false);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i)
                    log.append("t" + std::to_string(t) + " line " + std::to_string(i) + " ふた");
            });
        for (auto& w : workers)
            w.join();
    } // the destructor writes what is still queued
    const auto lines = fileLines(file);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    const std::regex shape(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}  t(\d) line (\d+) ふた$)");
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << "thread " << t << " out of order";
    }
}

TEST(Log, UnwritableLocationLosesOnlyTheFileCopy) {
    Log log([] { return std::filesystem::path("/proc/torvane-no/Torvane.log"); }, false);
    std::vector<std::string> seen;
    log.addTap([&](std::string_view m) { seen.emplace_back(m); });
    log.append("still fine");
    log.flush();
    EXPECT_EQ(seen, std::vector<std::string>{"still fine"});
}

TEST(Log, SharedLogFollowsTheStateDirectory) {
    // The test environment points XDG_STATE_HOME into the build tree, never at the user's files.
    const auto url = Config::logURL();
    EXPECT_EQ(url, std::filesystem::path(std::getenv("XDG_STATE_HOME")) / "torvane" / "Torvane.log");
    Log::write("shared log line from the tests");
    Log::shared().flush();
    EXPECT_NE(test::readFile(url).find("  shared log line from the tests\n"), std::string::npos);
}
