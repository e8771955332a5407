#include "app/tmux/Tmux.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace torvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Four search places, each a directory of its own, and stand-in tmux scripts that record their
// arguments (one per line, each run closed by "--end--") and print a canned output.
class StandIns {
public:
    StandIns() {
        for (const char* place : {"homebrew", "local", "usr", "macports"}) {
            fs::create_directories(dir_ / place);
            paths_.push_back((dir_ / place / "tmux").string());
        }
    }

    const std::vector<std::string>& paths() const { return paths_; }

    // Installs at search place `index` a tmux that prints `output` and exits with `status`.
    void install(std::size_t index, std::string_view output = "", int status = 0,
                 std::string_view extraShell = "") {
        const auto out = dir_ / ("out" + std::to_string(index));
        test::writeFile(out, output);
        test::writeExecutable(paths_[index],
                              "#!/bin/sh\n"
                              "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo --end--; } >> '" +
                                  (dir_ / "calls").string() + "'\n" + std::string(extraShell) + "cat '" +
                                  out.string() +
                                  "'\n"
                                  "echo 'tmux says something on stderr' >&2\n"
                                  "exit " +
                                  std::to_string(status) + "\n");
    }

    // Every run so far, each as its argument vector.
    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> runs(1);
        const std::string text = test::readFile(dir_ / "calls");
        std::size_t start = 0;
        while (start < text.size()) {
            const auto end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            if (line == "--end--")
                runs.emplace_back();
            else
                runs.back().push_back(line);
        }
        runs.pop_back();
        return runs;
    }

    fs::path operator/(std::string_view name) const { return dir_ / name; }

private:
    test::TempDir dir_;
    std::vector<std::string> paths_;
};

using Args = std::vector<std::string>;

} // namespace

TEST(TmuxStandIn, DefaultSearchPathsAreTheFourKnownPlacesInOrder) {
    EXPECT_EQ(Tmux::defaultSearchPaths(),
              (std::vector<std::string>{"/opt/homebrew/bin/tmux", "/usr/local/bin/tmux", "/usr/bin/tmux",
                                        "/opt/local/bin/tmux"}));
}

TEST(TmuxStandIn, TheFirstExecutableInSearchOrderWins) {
    StandIns both;
    both.install(1);
    both.install(2);
    Tmux tmux(both.paths());
    EXPECT_EQ(tmux.executablePath(), both.paths()[1]);
    EXPECT_TRUE(tmux.isAvailable());

    StandIns lastOnly;
    lastOnly.install(3);
    Tmux other(lastOnly.paths());
    EXPECT_EQ(other.executablePath(), lastOnly.paths()[3]);
}

TEST(TmuxStandIn, DirectoriesAndNonExecutableFilesAreSkipped) {
    StandIns places;
    fs::create_directories(places.paths()[0]);
    test::writeFile(places.paths()[1], "#!/bin/sh\n");
    places.install(2);
    Tmux tmux(places.paths());
    EXPECT_EQ(tmux.executablePath(), places.paths()[2]);
}

TEST(TmuxStandIn, WithNoTmuxAnywhereEverythingFailsQuietlyExceptTheInterruptWarning) {
    StandIns nowhere;
    Tmux tmux(nowhere.paths());
    test::LogCapture log;
    EXPECT_FALSE(tmux.isAvailable());
    EXPECT_EQ(tmux.executablePath(), std::nullopt);
    EXPECT_TRUE(tmux.sessions().empty());
    EXPECT_EQ(tmux.capture("work"), std::nullopt);
    EXPECT_FALSE(tmux.send("work", "hello"));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(tmux.interrupt("work"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WARN: work への中断に失敗しました"});
}

TEST(TmuxStandIn, ATmuxInstalledLaterIsFoundAndThenKeptEvenIfItDisappears) {
    StandIns places;
    Tmux tmux(places.paths());
    EXPECT_FALSE(tmux.isAvailable());

    places.install(2, "w|1|2|0|zsh\n");
    EXPECT_EQ(tmux.executablePath(), places.paths()[2]);
    EXPECT_EQ(tmux.sessions().size(), 1u);

    // An earlier place gaining a tmux does not move the choice, and losing the chosen one does not
    // start a new search: each run then fails to start and says so.
    places.install(0);
    fs::remove(places.paths()[2]);
    EXPECT_EQ(tmux.executablePath(), places.paths()[2]);
    test::LogCapture log;
    EXPECT_TRUE(tmux.sessions().empty());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WARN: tmux の起動に失敗しました: No such file or directory"});
}

TEST(TmuxStandIn, CommandsSendExactlyTheseArgumentVectors) {
    StandIns places;
    places.install(0);
    Tmux tmux(places.paths());

    tmux.sessions();
    EXPECT_TRUE(tmux.capture("my work").has_value());
    tmux.capture("-t", 50);
    EXPECT_TRUE(tmux.send("a b", "--help"));
    EXPECT_TRUE(tmux.send("a b", "ls -la | head", false));
    EXPECT_TRUE(tmux.interrupt("日本語"));

    const std::vector<Args> expected{
        {"-u", "list-sessions", "-F",
         "#{session_name}|#{session_created}|#{session_activity}|#{session_attached}|#{pane_current_"
         "command}"},
        {"-u", "capture-pane", "-t", "=my work:", "-p", "-S", "-200"},
        {"-u", "capture-pane", "-t", "=-t:", "-p", "-S", "-50"},
        {"-u", "send-keys", "-t", "=a b:", "-l", "--", "--help"},
        {"-u", "send-keys", "-t", "=a b:", "Enter"},
        {"-u", "send-keys", "-t", "=a b:", "-l", "--", "ls -la | head"},
        {"-u", "send-keys", "-t", "=日本語:", "C-c"},
    };
    EXPECT_EQ(places.calls(), expected);
}

TEST(TmuxStandIn, SendLogsTheCharacterCountOnlyAfterEveryStepSucceeded) {
    StandIns places;
    // Typing works, the Enter key is refused.
    places.install(0, "", 0, "for a in \"$@\"; do [ \"$a\" = Enter ] && exit 1; done\n");
    Tmux tmux(places.paths());
    test::LogCapture log;

    EXPECT_FALSE(tmux.send("s", "", true));
    EXPECT_FALSE(tmux.send("s", "", false));
    EXPECT_TRUE(places.calls().empty());

    EXPECT_TRUE(tmux.send("s", "こんにちは", false));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"tmux s に 5 文字を送信しました"});
    log.clear();

    EXPECT_FALSE(tmux.send("s", "こんにちは", true));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(places.calls().size(), 3u); // the text stays typed even though Enter failed
}

TEST(TmuxStandIn, ANonZeroExitFailsEveryCommandAndItsStandardErrorIsNotLogged) {
    StandIns places;
    places.install(0, "w|1|2|1|node\n", 1);
    Tmux tmux(places.paths());
    test::LogCapture log;
    EXPECT_TRUE(tmux.sessions().empty());
    EXPECT_EQ(tmux.capture("w"), std::nullopt);
    EXPECT_FALSE(tmux.send("w", "x"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(tmux.interrupt("w"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WARN: w への中断に失敗しました"});
}

TEST(TmuxStandIn, OutputThatIsNotUtf8CountsAsEmpty) {
    StandIns places;
    places.install(0, "w|1|2|1|node\nbad\xFF|1|2|1|node\n");
    Tmux tmux(places.paths());
    EXPECT_TRUE(tmux.sessions().empty());
    EXPECT_EQ(tmux.capture("w"), std::optional<std::string>(""));
}

TEST(TmuxStandIn, ATmuxThatHangsIsKilledAtTheTimeLimitAndTheCallFails) {
    StandIns places;
    places.install(0, "w|1|2|1|node\n", 0, "exec sleep 60\n");
    Tmux tmux(places.paths());
    EXPECT_EQ(tmux.timeLimit(), 10s);
    tmux.setTimeLimit(300ms);
    test::LogCapture log;

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(tmux.sessions().empty());
    EXPECT_EQ(tmux.capture("w"), std::nullopt);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, 600ms);
    EXPECT_LT(took, 8s);
    EXPECT_EQ(log.lines(), std::vector<std::string>(2, "WARN: tmux が 0.3 秒以内に終了しませんでした"));
}

TEST(TmuxStandIn, TheTimeLimitLineNamesTheLimitInSeconds) {
    EXPECT_EQ(Tmux::timeLimitMessage(Tmux::defaultTimeLimit), "WARN: tmux が 10 秒以内に終了しませんでした");
    EXPECT_EQ(Tmux::timeLimitMessage(1500ms), "WARN: tmux が 1.5 秒以内に終了しませんでした");
    EXPECT_EQ(Tmux::timeLimitMessage(250ms), "WARN: tmux が 0.25 秒以内に終了しませんでした");
    EXPECT_EQ(Tmux::timeLimitMessage(5ms), "WARN: tmux が 0.005 秒以内に終了しませんでした");

    Tmux tmux(std::vector<std::string>{});
    tmux.setTimeLimit(-5s);
    EXPECT_EQ(tmux.timeLimit(), 0ms);
}

TEST(TmuxStandIn, TwoThreadsShareOneInstanceAndTheFirstSearch) {
    StandIns places;
    places.install(2, "a|1|2|1|node\nb|3|4|0|zsh\n");
    Tmux tmux(places.paths());
    auto worker = [&tmux, &places] {
        int good = 0;
        for (int i = 0; i < 15; ++i) {
            const auto path = tmux.executablePath();
            const auto sessions = tmux.sessions();
            if (path == places.paths()[2] && sessions.size() == 2 && sessions[1].name == "b")
                ++good;
        }
        return good;
    };
    int other = 0;
    std::thread second([&] { other = worker(); });
    const int mine = worker();
    second.join();
    EXPECT_EQ(mine, 15);
    EXPECT_EQ(other, 15);
}
