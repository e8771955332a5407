#include "RawClient.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>

namespace torvane {
namespace {

using namespace std::chrono_literals;

bool hasLine(const std::optional<std::string>& text, const std::string& wanted) {
    std::istringstream in(text.value_or(""));
    for (std::string line; std::getline(in, line);) {
        if (line == wanted) {
            return true;
        }
    }
    return false;
}

struct Answer {
    std::string status; // e.g. "200 OK"
    std::string body;
};

Answer call(std::uint16_t port, const std::string& method, const std::string& target, const std::string& body = "",
            const std::string& token = "") {
    test::RawClient client(port);
    client.send(method + " " + target + " HTTP/1.1\r\nX-Token: " + token + "\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
    const std::string reply = client.readAll().bytes;
    const auto headEnd = reply.find("\r\n\r\n");
    if (reply.size() < 9 || headEnd == std::string::npos) {
        return {};
    }
    return {reply.substr(9, reply.find("\r\n") - 9), reply.substr(headEnd + 4)};
}

// The phone API end to end: HTTP over 127.0.0.1 into the router, and a real tmux server of the
// test's own (under the short private directory the test main sets; killed at the end).
class PhoneApi : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux_.isAvailable()) << "tmux is a test dependency; scripts/bootstrap installs it";
        // A server of each test's own: a new one could meet the previous one still ending.
        static const std::string tmuxRoot = std::getenv("TMUX_TMPDIR");
        static int count = 0;
        const std::string tmuxDir = tmuxRoot + "/" + std::to_string(++count);
        std::filesystem::create_directories(tmuxDir);
        ::setenv("TMUX_TMPDIR", tmuxDir.c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        test::writeFile(dir_ / "shrc", "PS1='ready> '\n"); // dash reads its prompt from here
        ::setenv("ENV", (dir_ / "shrc").c_str(), 1);
        server_.start(0);
        ASSERT_TRUE(server_.isRunning());
    }

    void TearDown() override {
        server_.stop();
        raw({"kill-server"});
    }

    SubprocessResult raw(const std::vector<std::string>& arguments) {
        return runSubprocess(*tmux_.executablePath(), arguments, {.timeLimit = 10s});
    }

    // Returns once the shell shows its prompt: keys typed earlier would be echoed before it.
    void newSession(const std::string& name) {
        const auto r = raw({"new-session", "-d", "-s", name, "-x", "100", "-y", "30"});
        ASSERT_TRUE(r.ok()) << name << ": " << r.err;
        ASSERT_TRUE(test::waitFor([&] { return hasLine(raw({"capture-pane", "-p", "-t", "=" + name + ":"}).out, "ready>"); }))
            << name;
    }

    Answer call(const std::string& method, const std::string& target, const std::string& body = "") {
        return torvane::call(server_.port(), method, target, body, router_.token());
    }
    std::string screen(const std::string& session) { return call("GET", "/api/capture?s=" + session).body; }

    test::TempDir dir_;
    Tmux tmux_;
    MemorySettings settings_;
    Router router_{tmux_, [] { return PowerState{.percent = 64, .onAC = false}; }, [] { return true; }, settings_};
    Server server_{router_};
};

TEST_F(PhoneApi, StateListsTheRealSessionsInTmuxOrder) {
    EXPECT_EQ(call("GET", "/api/state").body,
              R"({"sessions":[],"tmux":true,"battery":64,"onAC":false,"capsLock":true,"carry":null})");
    newSession("beta");
    newSession("say \"hi\"");
    const std::string idleShell = R"("working":false,"command":"sh","status":"待機中","idle":0,"activity":0,"quiet":false})";
    // A loaded machine may take a second or two between the prompt and this request.
    const std::regex recently(R"("activity":[0-5],)");
    EXPECT_EQ(std::regex_replace(call("GET", "/api/state").body, recently, R"("activity":0,)"),
              R"({"sessions":[{"name":"beta",)" + idleShell + R"(,{"name":"say \"hi\"",)" + idleShell +
                  R"(],"tmux":true,"battery":64,"onAC":false,"capsLock":true,"carry":null})");
}

TEST_F(PhoneApi, CarryPauseGoesThroughTheAppsLinkWhileThereIsOne) {
    EXPECT_EQ(call("POST", "/api/carry", "paused=1").status, "500 Internal Server Error") << "no link yet";
    auto link = std::make_shared<CarryLink>();
    router_.setCarryLink(link);
    int pauses = 0;
    link->attach([](std::function<void()> run) { std::thread(run).join(); }, // the app's main thread, here
                 [&](bool paused) {
                     ++pauses;
                     const CarryState carry{.active = false, .paused = paused, .reason = "一時停止中",
                                            .lidHeld = false, .temperature = std::nullopt, .heatLimit = 90, .floor = 20};
                     link->publish(carry);
                     return carry;
                 });
    EXPECT_EQ(call("POST", "/api/carry", "paused=yes").status, "400 Bad Request");
    EXPECT_EQ(pauses, 0) << "a bad request changes nothing";
    const Answer paused = call("POST", "/api/carry", "paused=1");
    EXPECT_NE(paused.body.find(R"("carry":{"active":false,"paused":true,"reason":"一時停止中","lidHeld":false,)"
                               R"("temperature":null,"heatLimit":90,"floor":20}})"),
              std::string::npos) << paused.status << paused.body;
    link->detach();
    EXPECT_EQ(call("POST", "/api/carry", "paused=0").status, "500 Internal Server Error");
}

TEST_F(PhoneApi, OnlyTheCurrentTokenLetsARequestIn) {
    const std::string token = router_.token();
    const auto withToken = [&](const std::string& query, const std::string& header) {
        return torvane::call(server_.port(), "GET", "/api/state" + query, "", header).status;
    };
    EXPECT_EQ(withToken("", token), "200 OK");
    EXPECT_EQ(withToken("?t=" + token, "wrong"), "200 OK");
    EXPECT_EQ(withToken("?t=wrong", token), "401 Unauthorized") << "the query token decides";
    EXPECT_EQ(withToken("", ""), "401 Unauthorized");
    EXPECT_EQ(torvane::call(server_.port(), "GET", "/nowhere", "", token).status, "404 Not Found");
    EXPECT_EQ(torvane::call(server_.port(), "GET", "/?t=wrong").status, "200 OK") << "the page needs none";
}

TEST_F(PhoneApi, SendTypesLiterallyAndSubmitsOnlyWhenAsked) {
    newSession("work");
    test::LogCapture log;
    EXPECT_EQ(call("POST", "/api/send", "s=work&text=echo+%E3%81%93%E3%82%93%F0%9F%98%80").status, "200 OK");
    EXPECT_TRUE(test::waitFor([&] { return hasLine(screen("work"), "こん😀"); })) << screen("work");
    EXPECT_TRUE(log.contains("tmux work に 8 文字を送信しました"));
    // Text that reads like tmux options is typed, and without submit the line waits.
    EXPECT_EQ(call("POST", "/api/send", "s=work&text=-tfoo+--help+-l&submit=0").body, "sent");
    EXPECT_TRUE(test::waitFor([&] { return hasLine(screen("work"), "ready> -tfoo --help -l"); })) << screen("work");
}

TEST_F(PhoneApi, SessionsAreAddressedExactlyWithTheOneFallbackForNamesCutAtABar) {
    // Left alone, tmux would take "work" to mean "work2" once "work" has ended.
    newSession("work2");
    EXPECT_EQ(call("POST", "/api/send", "s=work&text=echo+wrong").status, "500 Internal Server Error");
    EXPECT_EQ(call("POST", "/api/interrupt", "s=work").body, "failed");
    EXPECT_EQ(tmux_.capture("work"), std::nullopt);
    // The listing shows "a|b" as "a": that name reaches it while it is the only "a|…".
    newSession("a|b");
    ASSERT_TRUE(tmux_.send("a", "echo via-bar"));
    EXPECT_TRUE(test::waitFor([&] { return hasLine(tmux_.capture("a"), "via-bar"); })) << screen("a");
    newSession("a|c");
    EXPECT_EQ(tmux_.capture("a"), std::nullopt);
    EXPECT_FALSE(tmux_.interrupt("a"));
}

// A program that switches on bracketed paste and records its raw terminal input, as agents read it.
TEST_F(PhoneApi, LinesArriveAsOnePasteKeysAsKeysAndARepeatedIdTypesNothing) {
    test::writeExecutable(dir_ / "agent", "#!/bin/sh\nprintf '\\033[?2004h'\nstty raw -echo\nexec cat > \"$1\"\n");
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "agent", (dir_ / "agent").string() + " " + (dir_ / "got").string()}).ok());
    ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(dir_ / "got"); }));

    // Both beyond the 16 KB tmux takes in one command.
    const std::string longLine(20000, 'x');
    EXPECT_EQ(call("POST", "/api/send", "s=agent&text=first%0D%0A" + longLine + "%0Athird&id=m-1").body, "sent");
    EXPECT_EQ(call("POST", "/api/send", "s=agent&text=first%0D%0A" + longLine + "%0Athird&id=m-1").body, "ok");
    std::string kana, kanaForm; // cut into pieces only between characters
    for (int i = 0; i < 7000; ++i) {
        kana += "あ";
        kanaForm += "%E3%81%82";
    }
    EXPECT_EQ(call("POST", "/api/send", "s=agent&submit=0&text=" + kanaForm).body, "sent");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=Down").body, "ok");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=C-d&id=k-1").body, "ok");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=C-d&id=k-1").body, "ok");
    for (const char* refused : {"k=F1", "k=Enter%20Enter", "k=", "k=y&id=bad%20id"}) {
        EXPECT_EQ(call("POST", "/api/keys", std::string("s=agent&") + refused).status, "400 Bad Request") << refused;
    }
    EXPECT_EQ(call("POST", "/api/keys", "s=absent&k=y").status, "500 Internal Server Error");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=y").body, "ok");
    const std::string expected =
        "\x1b[200~first\r" + longLine + "\rthird\x1b[201~\r" + kana + "\x1b[B\x04y";
    EXPECT_TRUE(test::waitFor([&] { return test::readFile(dir_ / "got") == expected; }))
        << test::readFile(dir_ / "got").size();
}

TEST(PhoneApiWorkers, OneHungTmuxCallHoldsUpNoOtherRequest) {
    test::TempDir dir;
    // Lists one session at once; a capture of "stuck" hangs.
    test::writeExecutable(dir / "tmux", "#!/bin/sh\ncase \"$*\" in *list-sessions*) echo 'one|1|1|0|sh|1';;"
                                        " *=stuck:*) touch \"$0.hung\"; exec sleep 30;; *) echo screen;; esac\n");
    Tmux tmux({(dir / "tmux").string()});
    tmux.setTimeLimit(3s);
    MemorySettings settings;
    Router router(tmux, [] { return PowerState{}; }, [] { return false; }, settings);
    Server server(router);
    server.start(0);
    const std::string token = router.token();
    test::LogCapture log;
    std::thread stuck([&] {
        EXPECT_EQ(call(server.port(), "GET", "/api/capture?s=stuck", "", token).body, "");
    });
    ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(dir / "tmux.hung"); }));
    for (const auto& [target, body] : std::vector<std::pair<std::string, std::string>>{
             {"/api/state", R"({"name":"one")"}, {"/api/capture?s=one", "screen"}, {"/nope", "not found"}}) {
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_NE(call(server.port(), "GET", target, "", token).body.find(body), std::string::npos) << target;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms) << target;
    }
    stuck.join();
    EXPECT_TRUE(log.contains("WARN: tmux が 3 秒以内に終了しませんでした"));
}

TEST(TmuxListing, AHungTmuxIsNoAnswerWhileAnErrorExitIsNoSession) {
    test::TempDir dir;
    test::writeExecutable(dir / "hung", "#!/bin/sh\nexec sleep 30\n");
    test::writeExecutable(dir / "none", "#!/bin/sh\necho 'no server running' >&2; exit 1\n");
    Tmux hung({(dir / "hung").string()}), none({(dir / "none").string()});
    hung.setTimeLimit(300ms);
    EXPECT_FALSE(hung.answeredSessions().has_value());
    const auto listed = none.answeredSessions();
    ASSERT_TRUE(listed.has_value());
    EXPECT_TRUE(listed->empty());
}

} // namespace
} // namespace torvane
