#include "app/phone/LiveScreen.hpp"

#include "app/tmux/ScreenText.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;

// A page as the phone keeps one: the lines it was sent, rebuilt from each answer's splice.
struct Page {
    std::uint64_t v = 0;
    std::vector<std::string> lines;
    QJsonObject screen; // the last screen part
    bool ended = false;

    // False when the answer does not follow from what the page has.
    bool apply(const QJsonObject& answer) {
        v = static_cast<std::uint64_t>(answer["v"].toDouble());
        if (!answer.contains("screen"))
            return true;
        screen = answer["screen"].toObject();
        ended = screen["ended"].toBool();
        if (ended)
            return true;
        if (screen["from"].toDouble() == 0)
            lines.clear();
        const auto trim = static_cast<std::size_t>(screen["trim"].toInt());
        const auto at = static_cast<std::size_t>(screen["at"].toInt());
        const auto del = static_cast<std::size_t>(screen["del"].toInt());
        if (trim > lines.size() || at + del > lines.size() - trim)
            return false;
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(trim));
        std::vector<std::string> inserted;
        for (const auto& line : screen["ins"].toArray())
            inserted.push_back(line.toString().toStdString());
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at),
                    lines.begin() + static_cast<std::ptrdiff_t>(at + del));
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
        return lines.size() == static_cast<std::size_t>(screen["lines"].toInt());
    }
    // The visible text, each line without the spaces a full-screen capture keeps at its end.
    std::string text() const {
        std::string all;
        for (const auto& line : lines) {
            const std::string visible = screen::visibleText(line);
            all += visible.substr(0, visible.find_last_not_of(' ') + 1) + "\n";
        }
        return all;
    }
};

// The live screen over a real tmux server of each test's own, with a real shell and real programs.
class LiveScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux_.isAvailable());
        static const std::string root = std::getenv("TMUX_TMPDIR");
        static int count = 0;
        const std::string dir = root + "/l" + std::to_string(++count);
        std::filesystem::create_directories(dir);
        ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        test::writeFile(dir_ / "shrc", "PS1='ready> '\n");
        ::setenv("ENV", (dir_ / "shrc").c_str(), 1);
    }
    void TearDown() override {
        live_.reset();
        raw({"kill-server"});
    }
    SubprocessResult raw(const std::vector<std::string>& arguments) {
        return runSubprocess(*tmux_.executablePath(), arguments, {.timeLimit = 10s});
    }
    void newSession(const std::string& name, int width = 60, int height = 12) {
        // A server just killed may still be on its way out.
        ASSERT_TRUE(test::waitFor([&] {
            return raw({"new-session", "-d", "-s", name, "-x", std::to_string(width), "-y",
                        std::to_string(height)})
                .ok();
        }));
        ASSERT_TRUE(test::waitFor([&] {
            return raw({"capture-pane", "-p", "-t", "=" + name + ":"}).out.find("ready>") !=
                   std::string::npos;
        }));
    }
    void type(const std::string& name, const std::string& keys, bool enter = true) {
        ASSERT_TRUE(raw({"send-keys", "-t", "=" + name + ":", "-l", keys}).ok());
        if (enter) {
            ASSERT_TRUE(raw({"send-keys", "-t", "=" + name + ":", "Enter"}).ok());
        }
    }
    QJsonObject ask(const std::string& session, std::uint64_t version,
                    std::chrono::milliseconds wait = 5000ms) {
        std::promise<Response> answer;
        auto future = answer.get_future();
        live_->await(session, version, wait, [&answer](Response r) { answer.set_value(std::move(r)); });
        if (future.wait_for(wait + 5s) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            return {};
        }
        const Response r = future.get();
        EXPECT_EQ(r.status, 200);
        return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object();
    }
    // Follows the session as the page does until `done` holds for what it shows.
    bool follow(Page& page, const std::string& session, const std::function<bool(const Page&)>& done,
                std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (!page.apply(ask(session, page.v, 1000ms))) {
                ADD_FAILURE() << "out of step";
                return false;
            }
            if (done(page))
                return true;
        }
        return false;
    }
    // What tmux shows of the pane, whole: what the page must end up with.
    std::vector<std::string> fullCapture(const std::string& session) {
        auto lines = screen::selfContainedLines(
            raw({"capture-pane", "-p", "-e", "-J", "-S", "-2000", "-t", "=" + session + ":"}).out);
        while (!lines.empty() &&
               screen::visibleText(lines.back()).find_first_not_of(' ') == std::string::npos)
            lines.pop_back();
        return lines;
    }

    test::TempDir dir_;
    Tmux tmux_;
    StateDocument state_{tmux_, [] { return PowerState{}; }, [] { return true; }};
    std::unique_ptr<LiveScreen> live_ =
        std::make_unique<LiveScreen>(tmux_, state_, LiveScreen::Options{.keep = 1500ms});
};

TEST_F(LiveScreenTest, ThePageRebuildsThePaneInColourFromSmallSplicesWhateverScrollsBy) {
    newSession("A");
    Page page;
    ASSERT_TRUE(page.apply(ask("A", 0)));
    EXPECT_EQ(page.screen["from"].toInt(), 0);
    EXPECT_NE(page.text().find("ready>"), std::string::npos);

    // A style left on at a line's end carries into the next: each line must bring it along.
    type(
        "A",
        R"(printf '\033[33mwarn\033[0m \033[1;32m✓ ok\033[38;5;200m two\n\033[38;2;1;2;3mthree\033[7m rev\033[0m\n')");
    ASSERT_TRUE(
        follow(page, "A", [](const Page& p) { return p.text().find("three rev") != std::string::npos; }));
    const auto line = [&](const std::string& start) {
        for (const auto& l : page.lines)
            if (screen::visibleText(l).starts_with(start))
                return l;
        return std::string("(none)");
    };
    EXPECT_EQ(line("warn"), "\x1b[33mwarn\x1b[39m \x1b[1m\x1b[32m✓ ok\x1b[38;5;200m two");
    EXPECT_EQ(line("three"), "\x1b[1;38;5;200m\x1b[38;2;1;2;3mthree\x1b[7m rev") << "self-contained";

    // Lines scrolling by faster than a look, wrapped lines, lines rewritten in place, wide
    // characters: whatever the page was sent adds up to what tmux holds, and stays small.
    type("A", "for i in $(seq 1 400); do echo \"step $i $(printf '%0'$((i % 130))'d' 0)仕事\"; done; "
              "printf 'progress 10%%\\rprogress 99%%\\n'; echo done-$((6*7))");
    std::size_t sent = 0;
    ASSERT_TRUE(follow(page, "A", [&](const Page& p) {
        sent += static_cast<std::size_t>(p.screen["ins"].toArray().size());
        // The prompt and the cursor after it may come in two looks.
        return p.text().find("done-42\nready>") != std::string::npos &&
               p.screen["cursor"].toObject()["col"].toInt() == 7;
    }));
    EXPECT_EQ(page.lines, fullCapture("A"));
    EXPECT_NE(page.text().find("progress 99%\n"), std::string::npos);
    EXPECT_EQ(page.screen["cursor"].toObject()["line"].toInt(), static_cast<int>(page.lines.size()) - 1);

    // Once quiet, a keystroke's echo comes as one changed line.
    type("A", "echo 仕事x", false);
    ASSERT_TRUE(follow(page, "A", [](const Page& p) { return p.text().ends_with("ready> echo 仕事x\n"); }));
    EXPECT_EQ(page.screen["ins"].toArray().size(), 1);
    EXPECT_EQ(page.screen["cursor"].toObject()["col"].toInt(), 15);
    EXPECT_LE(sent, page.lines.size() * 2) << "each look sends what changed, not the history";
}

TEST_F(LiveScreenTest, AFullScreenProgramShowsItsOwnScreenAndTheHistoryComesBackAfter) {
    newSession("A", 60, 12);
    test::writeFile(dir_ / "notes.txt", "first line\nsecond line\n");
    type("A", "seq 1 30; TERM=xterm vim -u NONE -N -i NONE " + (dir_ / "notes.txt").string());
    Page page;
    ASSERT_TRUE(follow(page, "A", [](const Page& p) {
        return p.screen["alt"].toBool() && p.text().find("~\n") != std::string::npos;
    }));
    EXPECT_EQ(page.lines.size(), 12u) << "the whole screen, no history";
    EXPECT_TRUE(page.text().starts_with("first line\nsecond line\n~")) << page.text();
    EXPECT_EQ(page.screen["cursor"].toObject()["line"].toInt(), 0);
    EXPECT_EQ(page.screen["cursor"].toObject()["col"].toInt(), 0);
    type("A", "jll", false);
    ASSERT_TRUE(follow(page, "A", [](const Page& p) {
        const auto c = p.screen["cursor"].toObject();
        return c["line"].toInt() == 1 && c["col"].toInt() == 2;
    }));
    type("A", ":q!");
    ASSERT_TRUE(follow(page, "A", [](const Page& p) {
        return !p.screen["alt"].toBool() && p.text().find("30\nready>") != std::string::npos;
    }));
    EXPECT_NE(page.text().find("\n29\n30\n"), std::string::npos) << "the history as it was";
    EXPECT_EQ(page.lines, fullCapture("A"));
}

TEST_F(LiveScreenTest, AnEndedSessionIsToldAndARestartedServerIsWatchedAgainWhileNoOneAsksNothingRuns) {
    newSession("A");
    newSession("B");
    Page page;
    ASSERT_TRUE(page.apply(ask("A", 0)));
    const pid_t first = live_->clientPid("A");
    ASSERT_GT(first, 0);
    EXPECT_TRUE(page.apply(ask("A", 0)));
    EXPECT_TRUE(page.apply(ask("", 0)));
    // A page starting afresh is shown a session started just before it asked, however recent the
    // last look at the state: an older state would tell it that session had ended.
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "C"}).ok());
    const QJsonArray sessions = ask("A", 0).value("state").toObject().value("sessions").toArray();
    EXPECT_TRUE(std::any_of(sessions.begin(), sessions.end(),
                            [](const QJsonValue& s) { return s.toObject().value("name") == "C"; }));
    ASSERT_TRUE(raw({"kill-session", "-t", "=C"}).ok());
    ASSERT_TRUE(raw({"kill-session", "-t", "=A"}).ok());
    EXPECT_TRUE(follow(
        page, "A", [](const Page& p) { return p.ended; }, 5s));
    EXPECT_EQ(raw({"list-sessions", "-F", "#{session_name}"}).out, "B\n") << "B untouched";

    raw({"kill-server"});
    newSession("A");
    Page again;
    ASSERT_TRUE(follow(
        again, "A", [](const Page& p) { return p.text().find("ready>") != std::string::npos; }, 5s));
    EXPECT_GT(live_->clientPid("A"), 0);
    EXPECT_NE(live_->clientPid("A"), first);
    EXPECT_TRUE(again.apply(ask("A", again.v, 100ms)));
    EXPECT_FALSE(again.screen.isEmpty());

    // Nobody asks: the client ends after the keep time, and tmux sees no client of ours.
    EXPECT_TRUE(test::waitFor([&] { return live_->clientPid("A") == -1; }, 5s));
    EXPECT_EQ(raw({"list-clients", "-F", "#{client_control_mode}"}).out, "");
}

} // namespace
} // namespace torvane
