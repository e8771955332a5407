#include "RawClient.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <csignal>
#include <cstdlib>
#include <future>
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

// Every byte percent-encoded, as a form field.
std::string formValue(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
        out += {'%', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    }
    return out;
}

struct Answer {
    std::string status; // e.g. "200 OK"
    std::string body;
};

std::string request(const std::string& method, const std::string& target, const std::string& body,
                    const std::string& token) {
    return method + " " + target + " HTTP/1.1\r\nX-Token: " + token +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

Answer call(std::uint16_t port, const std::string& method, const std::string& target,
            const std::string& body = "", const std::string& token = "") {
    test::RawClient client(port);
    client.send(request(method, target, body, token));
    const std::string reply = client.readAll(20s).bytes; // a call queued behind two hung ones takes 6 s
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
        ASSERT_TRUE(test::waitFor([&] {
            return hasLine(raw({"capture-pane", "-p", "-t", "=" + name + ":"}).out, "ready>");
        })) << name;
    }

    // A program that switches on bracketed paste and writes its raw terminal input, byte for byte, to
    // the file returned, as agents read their input.
    std::filesystem::path record(const std::string& name) {
        const auto got = dir_ / (name + ".got");
        test::writeExecutable(dir_ / "agent",
                              "#!/bin/sh\nprintf '\\033[?2004h'\nstty raw -echo\nexec cat > \"$1\"\n");
        EXPECT_TRUE(
            raw({"new-session", "-d", "-s", name, (dir_ / "agent").string() + " " + got.string()}).ok());
        EXPECT_TRUE(test::waitFor([&] { return std::filesystem::exists(got); }));
        return got;
    }

    Answer call(const std::string& method, const std::string& target, const std::string& body = "") {
        return torvane::call(server_.port(), method, target, body, secret_.token());
    }

    test::TempDir dir_;
    Tmux tmux_;
    MemorySettings settings_;
    PairingSecret secret_{settings_};
    PhoneRegistry phones_{settings_};
    Router router_{tmux_, [] { return PowerState{.percent = 64, .onAC = false}; }, [] { return true; },
                   secret_, phones_};
    Server server_{router_, secret_};
};

TEST_F(PhoneApi, StateListsTheRealSessionsInTmuxOrderAndShowsTheirScreensWithoutAUtf8Locale) {
    // As a desktop session may start the app; left to its locale, tmux would list "仕事" as underscores.
    const std::string lang = std::getenv("LANG") ? std::getenv("LANG") : "C.UTF-8";
    const std::shared_ptr<void> restore(nullptr, [lang](void*) {
        ::setenv("LANG", lang.c_str(), 1);
        ::unsetenv("LC_ALL");
    });
    ::setenv("LANG", "C", 1);
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(call("GET", "/api/state").body,
              R"({"sessions":[],"tmux":true,"battery":64,"onAC":false,"capsLock":true,"carry":null})");
    newSession("仕事");
    newSession("say \"hi\"");
    const std::string idleShell = R"("working":false,"command":"sh","status":"待機中","idle":0,"activity":0,)"
                                  R"("quiet":false,"attention":"shell"})";
    // The first listing is the tracker's first sight of the panes; it looks within a second.
    std::string state;
    EXPECT_TRUE(test::waitFor([&] {
        state = call("GET", "/api/state").body;
        return std::regex_search(state, std::regex(R"(shell".*shell")"));
    })) << state;
    // A loaded machine may take a second or two between the prompt and this request.
    const std::regex recently(R"("activity":[0-5],)");
    EXPECT_EQ(std::regex_replace(state, recently, R"("activity":0,)"),
              R"({"sessions":[{"name":"say \"hi\"",)" + idleShell + R"(,{"name":"仕事",)" + idleShell +
                  R"(],"tmux":true,"battery":64,"onAC":false,"capsLock":true,"carry":null})");
    ASSERT_TRUE(raw({"send-keys", "-t", "=仕事:", "echo こん😀", "Enter"}).ok());
    EXPECT_TRUE(test::waitFor(
        [&] { return hasLine(call("GET", "/api/capture?s=%E4%BB%95%E4%BA%8B").body, "こん😀"); }));
}

// The page shows a live link's state (tests/e2e/phone); here, what reaches the app and when.
TEST_F(PhoneApi, CarryPauseGoesThroughTheAppsLinkWhileThereIsOne) {
    EXPECT_EQ(call("POST", "/api/carry", "paused=1").status, "500 Internal Server Error") << "no link yet";
    auto link = std::make_shared<CarryLink>();
    router_.setCarryLink(link);
    std::vector<bool> asked;
    link->attach([](std::function<void()> run) { std::thread(run).join(); }, // the app's main thread, here
                 [&](bool paused) {
                     asked.push_back(paused);
                     CarryState carry;
                     carry.paused = paused;
                     link->publish(carry);
                     return carry;
                 });
    EXPECT_EQ(call("POST", "/api/carry", "paused=yes").status, "400 Bad Request");
    const Answer paused = call("POST", "/api/carry", "paused=1");
    EXPECT_NE(paused.body.find(R"("carry":{"active":false,"paused":true,"reason":"","lidHeld":false,)"
                               R"("temperature":null,"heatLimit":0,"floor":0}})"),
              std::string::npos)
        << paused.status << paused.body;
    link->detach();
    EXPECT_EQ(call("POST", "/api/carry", "paused=0").status, "500 Internal Server Error");
    EXPECT_EQ(asked, std::vector<bool>{true}) << "a bad request changes nothing";
}

TEST_F(PhoneApi, OnlyTheCurrentTokenLetsARequestInAndARefusalNeverWaitsForTheBody) {
    const std::string token = secret_.token();
    const auto withToken = [&](const std::string& query, const std::string& header) {
        return torvane::call(server_.port(), "GET", "/api/state" + query, "", header).status;
    };
    EXPECT_EQ(withToken("?t=" + token, "wrong"), "200 OK");
    EXPECT_EQ(withToken("?t=wrong", token), "401 Unauthorized") << "the query token decides";
    const std::string butLast = token.substr(0, token.size() - 1);
    for (const std::string& near : {std::string(), token.substr(0, 1), butLast, token + "A", butLast + "~"})
        EXPECT_EQ(withToken("", near), "401 Unauthorized") << near;
    const Answer page = torvane::call(server_.port(), "GET", "/?t=wrong");
    EXPECT_EQ(page.status, "200 OK") << "the page needs none";
    EXPECT_NE(page.body.find("<p>このパソコンのターミナルで、作業を"), std::string::npos);
    EXPECT_NE(page.body.find("'このパソコンに tmux が入っていません。'"), std::string::npos);
    EXPECT_EQ(page.body.find("Mac側"), std::string::npos);
    EXPECT_EQ(page.body.find("Mac に"), std::string::npos);

    // With no secure random source there is no token, and an empty offer opens no route.
    MemorySettings bare;
    PairingSecret unkeyedSecret(bare, [](auto) { return false; });
    Router unkeyed(
        tmux_, [] { return PowerState{}; }, [] { return false; }, unkeyedSecret, phones_);
    EXPECT_EQ(unkeyedSecret.token(), "");
    for (const std::string route : {"GET /api/state", "GET /api/capture", "POST /api/send", "POST /api/keys",
                                    "POST /api/interrupt", "POST /api/carry"})
        EXPECT_EQ(answerNow(unkeyed, route + "?t= HTTP/1.1\r\nX-Token: ", "").bytes().substr(0, 12),
                  "HTTP/1.1 401")
            << route;

    // Refused as soon as the header is in; the body that follows is dropped, and the answer is
    // still there to read once it has gone (no reset).
    for (const auto& [head, refusal] : std::vector<std::pair<std::string, std::string>>{
             {"POST /api/send HTTP/1.1\r\n", "401 Unauthorized"},
             {"POST /nowhere HTTP/1.1\r\nX-Token: " + token + "\r\n", "404 Not Found"}}) {
        test::RawClient client(server_.port());
        client.send(head + "Content-Length: 1000000\r\n\r\n");
        EXPECT_TRUE(client.readable(5s)) << refusal << " waited for the body"; // half the idle limit
        EXPECT_TRUE(client.send(std::string(1000000, 'x')));
        const auto reply = client.readAll();
        EXPECT_TRUE(reply.closed);
        EXPECT_TRUE(reply.bytes.starts_with("HTTP/1.1 " + refusal)) << reply.bytes;
    }
}

// tmux clients started by this process: the calls under way.
int tmuxCallsUnderWay() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = test::readFile(entry.path() / "stat"); // "pid (name) state ppid …"
        const auto ppid = std::atoi(stat.c_str() + std::min(stat.size(), stat.rfind(')') + 4));
        count += stat.find("(tmux") != std::string::npos && ppid == ::getpid() ? 1 : 0;
    }
    return count;
}

TEST_F(PhoneApi, AHungTmuxIsReportedAsSuchAndHoldsUpNothingThatNeedsNoTmux) {
    newSession("work");
    const pid_t tmuxServer = std::atoi(raw({"display-message", "-p", "#{pid}"}).out.c_str());
    ASSERT_GT(tmuxServer, 1);
    // Long enough that a loaded machine answers the quick requests well inside it.
    tmux_.setTimeLimit(3s);
    test::LogCapture log;
    ASSERT_EQ(::kill(tmuxServer, SIGSTOP), 0);
    std::shared_ptr<void> resume(nullptr, [&](void*) { ::kill(tmuxServer, SIGCONT); });

    // More requests than workers, every one of them stuck in tmux.
    std::vector<std::future<Answer>> stuck;
    for (const char* target :
         {"/api/state", "/api/capture?s=work", "/api/state", "/api/state", "/api/state"}) {
        stuck.push_back(std::async(std::launch::async, [&, target] { return call("GET", target); }));
    }
    ASSERT_TRUE(test::waitFor([] { return tmuxCallsUnderWay() >= 4; }));
    const std::string token = secret_.token();
    for (const auto& [target, offered, status] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"/", "", "200 OK"},
             {"/api/state", "wrong", "401 Unauthorized"},
             {"/nowhere", token, "404 Not Found"},
             {"/api/capture", token, "400 Bad Request"}}) {
        EXPECT_EQ(torvane::call(server_.port(), "GET", target, "", offered).status, status) << target;
    }
    // A worker is freed only after its hung call has logged running out of time.
    const std::string timedOut = "WARN: tmux が 3 秒以内に終了しませんでした";
    EXPECT_FALSE(log.contains(timedOut)) << "an answer that needs no tmux waited for a hung call";
    for (auto& answer : stuck) {
        const Answer got = answer.get();
        EXPECT_EQ(got.status + " " + got.body, "503 Service Unavailable tmux not answering");
    }
    EXPECT_TRUE(log.contains(timedOut));

    resume.reset();
    tmux_.setTimeLimit(Tmux::defaultTimeLimit);
    EXPECT_TRUE(hasLine(call("GET", "/api/capture?s=work").body, "ready>"));
    EXPECT_NE(call("GET", "/api/state").body.find(R"({"sessions":[{"name":"work",)"), std::string::npos);
}

TEST_F(PhoneApi, SessionsAreListedWholeAndAddressedExactly) {
    // Left alone, tmux would take "work" to mean "work2" once "work" has ended.
    newSession("work2");
    EXPECT_EQ(call("POST", "/api/send", "s=work&text=echo+wrong").status, "500 Internal Server Error");
    EXPECT_EQ(call("POST", "/api/interrupt", "s=work").body, "failed");
    EXPECT_EQ(tmux_.capture("work"), std::nullopt);
    // A name and a command (argv[0], which a program sets as it likes) holding the listing's old
    // separator, a control character, a line feed and a byte that is not UTF-8 shift nothing.
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "proj|api", "bash", "-c",
                     R"sh(exec -a "$(printf 'claude|x\037y\n\377z')" sleep 1000)sh"})
                    .ok());
    const std::string listed = R"({"name":"proj|api","working":true,"command":"claude|x?y?)"
                               "\uFFFD"
                               R"(z",)";
    EXPECT_TRUE(test::waitFor([&] {
        return call("GET", "/api/state").body.find(listed) != std::string::npos;
    })) << call("GET", "/api/state").body;
    EXPECT_TRUE(tmux_.capture("proj|api").has_value());
    EXPECT_EQ(tmux_.capture("proj"), std::nullopt);
}

TEST_F(PhoneApi, EveryByteArrivesLinesAsOnePasteKeysAsKeysAndARepeatedIdTypesNothing) {
    const auto got = record("agent");
    const auto send = [&](std::string_view text, const char* submit = "0") {
        return call("POST", "/api/send",
                    std::string("s=agent&submit=") + submit + "&text=" + formValue(text));
    };
    test::LogCapture log;
    EXPECT_EQ(send("echo こん😀", "1").body, "sent");
    EXPECT_TRUE(log.contains("tmux agent に 8 文字を送信しました"));
    // Both beyond the 16 KB tmux takes on a command line.
    const std::string longLine(20000, 'x');
    EXPECT_EQ(call("POST", "/api/send", "s=agent&text=first%0D%0A" + longLine + "%0Athird&id=m-1").body,
              "sent");
    std::string kana;
    for (int i = 0; i < 7000; ++i)
        kana += "あ";
    EXPECT_EQ(send(kana).body, "sent");
    // Options and command ends to tmux's eye, were the text ever on its command line.
    EXPECT_EQ(send("-tfoo --help -l find . -exec ls {} \\;").body, "sent");
    EXPECT_EQ(send("a\tb\x04"
                   "c\x1b[Ax\x7f")
                  .body,
              "sent");
    EXPECT_EQ(send("echo one\n\x1b[201~echo INJECTED\n\x1b[20\x1b[200~1~").body, "sent");
    EXPECT_EQ(send(std::string("a\0b", 3)).status, "400 Bad Request");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=Down").body, "ok");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=C-d&id=k-1").body, "ok");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=C-d&id=k-1").body, "ok");
    for (const char* refused : {"k=F1", "k=Enter%20Enter", "k=", "k=y&id=bad%20id"}) {
        EXPECT_EQ(call("POST", "/api/keys", std::string("s=agent&") + refused).status, "400 Bad Request")
            << refused;
    }
    EXPECT_EQ(call("POST", "/api/keys", "s=absent&k=y").status, "500 Internal Server Error");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=y").body, "ok");
    const std::string expected = "echo こん😀\r\x1b[200~first\r" + longLine + "\rthird\x1b[201~\r" + kana +
                                 "-tfoo --help -l find . -exec ls {} \\;" +
                                 "\x1b[200~a\tb\x04"
                                 "c\x1b[Ax\x7f\x1b[201~\x1b[200~echo one\recho INJECTED\r\x1b[201~" +
                                 "\x1b[B\x04y";
    EXPECT_TRUE(test::waitFor([&] { return test::readFile(got) == expected; })) << test::readFile(got).size();
}

// Another local user can read every process's argv in /proc: typed text must never be in tmux's.
TEST_F(PhoneApi, TypedTextNeverAppearsOnTmuxsCommandLine) {
    const auto got = record("agent");
    const auto seen = dir_ / "argv";
    test::writeExecutable(dir_ / "tmux", "#!/bin/sh\necho \"$*\" >> '" + seen.string() + "'\nexec " +
                                             *tmux_.executablePath() + " \"$@\"\n");
    Tmux watched({(dir_ / "tmux").string()});
    EXPECT_TRUE(watched.send("agent", "typed-secret", false));
    EXPECT_TRUE(watched.send("agent", "pasted-secret\nline"));
    EXPECT_TRUE(test::waitFor([&] {
        return test::readFile(got) == "typed-secret\x1b[200~pasted-secret\rline\x1b[201~\r";
    })) << test::readFile(got);
    EXPECT_NE(test::readFile(seen).find("paste-buffer"), std::string::npos);
    EXPECT_EQ(test::readFile(seen).find("secret"), std::string::npos) << test::readFile(seen);
}

TEST_F(PhoneApi, AnIdCountsFromItsFirstTrySoARetryAfterATimeoutTypesNothing) {
    const auto got = record("agent");
    const auto pid = std::stoi(raw({"display-message", "-p", "#{pid}"}).out);
    tmux_.setTimeLimit(1s);
    ::kill(pid, SIGSTOP);
    EXPECT_EQ(call("POST", "/api/send", "s=agent&submit=0&text=deploy&id=abc1").status,
              "500 Internal Server Error");
    ::kill(pid, SIGCONT);
    tmux_.setTimeLimit(Tmux::defaultTimeLimit); // the calls below are real ones
    // The killed tmux client's command is carried out all the same, once tmux runs again (unless the
    // client was killed before it got to send it).
    test::waitFor([&] { return test::readFile(got) == "deploy"; });
    const std::string typed = test::readFile(got);
    EXPECT_EQ(call("POST", "/api/send", "s=agent&submit=0&text=deploy&id=abc1").body, "already tried");
    EXPECT_EQ(call("POST", "/api/keys", "s=agent&k=y").body, "ok");
    EXPECT_TRUE(test::waitFor([&] { return test::readFile(got) == typed + "y"; })) << test::readFile(got);
}

// Sends queued behind a tmux call that hangs for 8 s in one session hold up that session's line only:
// another session's state and screen are answered meanwhile, and the sends arrive in order, each whole
// (the first goes in several tmux calls), once the hang ends.
TEST_F(PhoneApi, ASessionWhoseTmuxHangsStarvesNoOtherAndItsSendsStillArriveWholeInOrder) {
    newSession("other");
    const auto got = record("slow");
    // The real tmux behind a stand-in whose first call for "slow" hangs for 8 s.
    test::writeExecutable(dir_ / "tmux",
                          "#!/bin/sh\ncase \"$*\" in *=slow:*) mkdir \"$0.hung\" 2>/dev/null && "
                          "sleep 8;; esac\nexec " +
                              *tmux_.executablePath() + " \"$@\"\n");
    Tmux hanging({(dir_ / "tmux").string()});
    Router router(
        hanging, [] { return PowerState{}; }, [] { return true; }, secret_, phones_);
    Server server(router, secret_);
    server.start(0);
    const std::string first = "0." + std::string(20000, 'a'); // beyond what tmux takes in one command
    std::vector<std::unique_ptr<test::RawClient>> sends;
    for (int i = 0; i < 8; ++i) { // one after another, each sent whole before the next connects
        const std::string body = "s=slow&submit=0&text=" + (i == 0 ? first : std::to_string(i) + ".");
        sends.push_back(std::make_unique<test::RawClient>(server.port()));
        sends.back()->send(request("POST", "/api/send", body, secret_.token()));
        if (i == 0) { // hung before the others come
            ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(dir_ / "tmux.hung"); }));
        }
    }
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(hasLine(torvane::call(server.port(), "GET", "/api/capture?s=other", "", secret_.token()).body,
                        "ready>"));
    EXPECT_NE(
        torvane::call(server.port(), "GET", "/api/state", "", secret_.token()).body.find(R"("name":"slow")"),
        std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << "another session waited for the hung one";
    for (auto& send : sends)
        EXPECT_TRUE(send->readAll(20s).bytes.ends_with("\r\n\r\nsent"));
    const std::string all = first + "1.2.3.4.5.6.7.";
    EXPECT_TRUE(test::waitFor([&] { return test::readFile(got) == all; })) << test::readFile(got).size();
}

// A hung tmux, and one whose server is not running, are checked on the real one above.
TEST(TmuxListing, AnOddLineIsSkippedAndWarnedOfOnce) {
    test::TempDir dir;
    test::writeExecutable(
        dir / "odd",
        "#!/bin/sh\nprintf "
        "'a\\0371\\0372\\0371\\037vim\\0373\\03742\\037/dev/pts/9\\nb\\0371\\0372\\0370\\037sh\\n"
        "c|1|2|0|sh|3\\n\\nd\\0371\\0372\\0370\\037sh\\0373\\037x\\n'\n");
    Tmux odd({(dir / "odd").string()});
    test::LogCapture log;
    for (int i = 0; i < 2; ++i) {
        const auto sessions = odd.sessions();
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_TRUE(sessions[0].name == "a" && sessions[0].attached &&
                    sessions[0].lastOutput == SystemTime{} + 3s && sessions[0].panePid == 42 &&
                    sessions[0].paneTty == "/dev/pts/9");
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WARN: tmux のセッション一覧の読めない行を飛ばしました: b?1?2?0?sh",
                               "WARN: tmux のセッション一覧の読めない行を飛ばしました: c|1|2|0|sh|3",
                               "WARN: tmux のセッション一覧の読めない行を飛ばしました: d?1?2?0?sh?3?x",
                           }));
}

} // namespace
} // namespace torvane
