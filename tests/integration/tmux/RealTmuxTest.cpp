#include "app/tmux/Tmux.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool hasLine(const std::optional<std::string>& screen, const std::string& line) {
    if (!screen)
        return false;
    const auto lines = linesOf(*screen);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

double epochSeconds(SystemTime t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Each test gets a tmux server of its own: TMUX_TMPDIR points at a fresh directory, so neither the
// user's server nor another test's is touched. The server is killed at the end.
class RealTmux : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux.isAvailable()) << "tmux is a test dependency; scripts/bootstrap installs it";
        setVariable("TMUX_TMPDIR", dir.path().string());
        // A plain shell with a prompt the tests can read (root's default prompt differs).
        setVariable("SHELL", "/bin/sh");
        // dash reads its prompt from this start-up file, not from an inherited PS1.
        test::writeFile(dir / "shrc", "PS1='ready> '\n");
        setVariable("ENV", (dir / "shrc").string());
        setVariable("TMUX", std::nullopt);
    }

    void TearDown() override {
        if (tmux.isAvailable())
            raw({"kill-server"});
        for (auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

    void setVariable(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

    // tmux itself, for setting up what the code under test then reads.
    SubprocessResult raw(const std::vector<std::string>& arguments) {
        return runSubprocess(*tmux.executablePath(), arguments, {.timeLimit = 10s});
    }

    // Returns once the shell shows its prompt: keys typed earlier would be echoed before it.
    void newSession(const std::string& name) {
        const auto r = raw({"new-session", "-d", "-s", name, "-x", "120", "-y", "40"});
        ASSERT_TRUE(r.ok()) << name << ": " << r.err;
        ASSERT_TRUE(test::waitFor([&] {
            const auto screen = raw({"capture-pane", "-p", "-t", name});
            return hasLine(screen.out, "ready>");
        })) << name;
    }

    std::optional<AgentSession> find(const std::string& name) {
        for (auto& s : tmux.sessions())
            if (s.name == name)
                return s;
        return std::nullopt;
    }

    bool commandIs(const std::string& name, const std::string& command) {
        const auto s = find(name);
        return s && s->currentCommand == command;
    }

    Tmux tmux;
    test::TempDir dir;

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace

TEST_F(RealTmux, WithoutAServerThereAreNoSessions) {
    EXPECT_TRUE(tmux.sessions().empty());
    EXPECT_EQ(tmux.capture("anything"), std::nullopt);
}

TEST_F(RealTmux, ListsSessionsNamedWithSpacesJapaneseAndABarEvenWithoutALocale) {
    // A desktop app may start with no locale at all; names must still come back byte for byte.
    for (const char* variable : {"LANG", "LC_ALL", "LC_CTYPE"})
        setVariable(variable, std::nullopt);
    const double before = epochSeconds(systemNow()) - 1;
    newSession("my work");
    newSession("日本語のセッション");
    newSession("a|b");
    ASSERT_TRUE(test::waitFor([&] {
        return commandIs("my work", "sh") && commandIs("日本語のセッション", "sh") && commandIs("a", "0");
    })) << "sessions seen: "
        << tmux.sessions().size();
    const double after = epochSeconds(systemNow()) + 1;

    const auto sessions = tmux.sessions();
    EXPECT_EQ(sessions.size(), 3u);
    for (const char* name : {"my work", "日本語のセッション"}) {
        const auto s = find(name);
        ASSERT_TRUE(s) << name;
        EXPECT_GE(epochSeconds(s->created), before) << name;
        EXPECT_LE(epochSeconds(s->created), after) << name;
        EXPECT_GE(epochSeconds(s->lastActivity), before) << name;
        EXPECT_FALSE(s->attached);
        EXPECT_FALSE(s->isWorking());
        EXPECT_EQ(s->statusText(), "待機中");
        EXPECT_EQ(s->elapsedText(), "0分");
    }

    // The bar splits the name: the session shows under "a" with every later field one place on.
    const auto bar = find("a");
    ASSERT_TRUE(bar);
    EXPECT_EQ(epochSeconds(bar->created), 0.0);
    EXPECT_GE(epochSeconds(bar->lastActivity), before);
    EXPECT_FALSE(bar->attached);
    EXPECT_EQ(bar->currentCommand, "0");
}

TEST_F(RealTmux, JapaneseAndEmojiRoundTripThroughSendAndCapture) {
    newSession("jp");
    test::LogCapture log;
    ASSERT_TRUE(tmux.send("jp", "echo こんにちは😀"));
    EXPECT_TRUE(test::waitFor([&] { return hasLine(tmux.capture("jp"), "こんにちは😀"); }))
        << tmux.capture("jp").value_or("(no capture)");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"tmux jp に 11 文字を送信しました"});
}

TEST_F(RealTmux, WithoutSubmitTheLineWaitsForMoreInput) {
    newSession("draft");
    test::LogCapture log;
    ASSERT_TRUE(tmux.send("draft", "echo A$((1+1))B", false));
    // Had Enter gone out, the rest would run alone and fail on its leading ";".
    ASSERT_TRUE(tmux.send("draft", " ; echo C$((2+2))D"));
    ASSERT_TRUE(test::waitFor([&] { return hasLine(tmux.capture("draft"), "C4D"); }))
        << tmux.capture("draft").value_or("(no capture)");
    EXPECT_TRUE(hasLine(tmux.capture("draft"), "A2B"));
    EXPECT_TRUE(hasLine(tmux.capture("draft"), "ready> echo A$((1+1))B ; echo C$((2+2))D"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"tmux draft に 15 文字を送信しました",
                                                     "tmux draft に 18 文字を送信しました"}));
}

TEST_F(RealTmux, InterruptStopsTheRunningCommandAndTheShellReturns) {
    newSession("busy");
    ASSERT_TRUE(tmux.send("busy", "sleep 1000"));
    ASSERT_TRUE(test::waitFor([&] { return commandIs("busy", "sleep"); }));
    EXPECT_TRUE(find("busy")->isWorking());
    EXPECT_EQ(find("busy")->statusText(), "作業中（sleep）");

    test::LogCapture log;
    EXPECT_TRUE(tmux.interrupt("busy"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"tmux busy に中断を送りました"});
    ASSERT_TRUE(test::waitFor([&] { return commandIs("busy", "sh"); }));
    EXPECT_FALSE(find("busy")->isWorking());
}

TEST_F(RealTmux, TextThatLooksLikeOptionsIsTypedLiterally) {
    newSession("literal");
    EXPECT_TRUE(tmux.send("literal", "-tfoo", false));
    EXPECT_TRUE(tmux.send("literal", " --help", false));
    EXPECT_TRUE(tmux.send("literal", " -l", false));
    EXPECT_TRUE(test::waitFor([&] { return hasLine(tmux.capture("literal"), "ready> -tfoo --help -l"); }))
        << tmux.capture("literal").value_or("(no capture)");
}

TEST_F(RealTmux, ASessionThatDoesNotExistFailsEveryCommand) {
    newSession("present");
    test::LogCapture log;
    EXPECT_EQ(tmux.capture("absent"), std::nullopt);
    EXPECT_FALSE(tmux.send("absent", "hello"));
    EXPECT_FALSE(tmux.send("absent", "hello", false));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(tmux.interrupt("absent"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WARN: absent への中断に失敗しました"});
    EXPECT_TRUE(tmux.capture("present").has_value());
}

TEST_F(RealTmux, ANameIsNeverMatchedAgainstAnotherSessionsPrefix) {
    // Left alone, tmux would take "work" to mean "work2" once "work" has ended.
    newSession("work2");
    EXPECT_EQ(tmux.capture("work"), std::nullopt);
    EXPECT_FALSE(tmux.send("work", "echo wrong-session"));
    EXPECT_FALSE(tmux.interrupt("work"));
    EXPECT_TRUE(tmux.send("work2", "echo right-session"));
    ASSERT_TRUE(test::waitFor([&] { return hasLine(tmux.capture("work2"), "right-session"); }));
    EXPECT_FALSE(hasLine(tmux.capture("work2"), "wrong-session"));
}

TEST_F(RealTmux, CaptureReachesTheRequestedNumberOfLinesAboveTheScreen) {
    newSession("history");
    ASSERT_TRUE(tmux.send("history", "seq 1 500"));
    ASSERT_TRUE(test::waitFor([&] {
        const auto screen = tmux.capture("history");
        return screen && hasLine(screen, "500") && linesOf(*screen).back() == "ready>";
    })) << tmux.capture("history").value_or("(no capture)");

    const auto deep = linesOf(*tmux.capture("history"));
    const auto shallow = linesOf(*tmux.capture("history", 10));
    const auto none = linesOf(*tmux.capture("history", 0));
    ASSERT_FALSE(deep.empty());
    ASSERT_FALSE(shallow.empty());
    EXPECT_EQ(deep.size(), shallow.size() + 190);
    EXPECT_EQ(std::stoi(shallow.front()) - std::stoi(deep.front()), 190);
    EXPECT_EQ(shallow.size(), none.size() + 10);
}
