#include "RawClient.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace torvane {
namespace {

using namespace std::chrono_literals;

bool hasLine(const std::string& text, const std::string& wanted) {
    std::istringstream in(text);
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

// The phone API end to end: HTTP over 127.0.0.1 into the router, and a real tmux server of the
// test's own (TMUX_TMPDIR points at a fresh directory; the server is killed at the end).
class PhoneApi : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux_.isAvailable()) << "tmux is a test dependency; scripts/bootstrap installs it";
        setVariable("TMUX_TMPDIR", dir_.path().string());
        setVariable("SHELL", "/bin/sh");
        test::writeFile(dir_ / "shrc", "PS1='ready> '\n");
        setVariable("ENV", (dir_ / "shrc").string());
        server_.start(0);
        ASSERT_TRUE(server_.isRunning());
    }

    void TearDown() override {
        server_.stop();
        raw({"kill-server"});
        for (auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    void setVariable(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }

    SubprocessResult raw(const std::vector<std::string>& arguments) {
        return runSubprocess(*tmux_.executablePath(), arguments, {.timeLimit = 10s});
    }

    void newSession(const std::string& name) {
        const auto r = raw({"new-session", "-d", "-s", name, "-x", "100", "-y", "30"});
        ASSERT_TRUE(r.ok()) << name << ": " << r.err;
        ASSERT_TRUE(test::waitFor([&] {
            return hasLine(raw({"capture-pane", "-p", "-t", name}).out, "ready>");
        })) << name;
    }

    Answer call(const std::string& method, const std::string& target, const std::string& body = "") {
        test::RawClient client(server_.port());
        EXPECT_TRUE(client.connected());
        client.send(method + " " + target + " HTTP/1.1\r\nHost: phone\r\nX-Token: " + router_.token() +
                    "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body);
        const std::string reply = client.readAll().bytes;
        const auto headEnd = reply.find("\r\n\r\n");
        if (reply.size() < 9 || headEnd == std::string::npos) {
            return {};
        }
        return {reply.substr(9, reply.find("\r\n") - 9), reply.substr(headEnd + 4)};
    }

    std::string screen(const std::string& session) { return call("GET", "/api/capture?s=" + session).body; }

    test::TempDir dir_;
    Tmux tmux_;
    MemorySettings settings_;
    Router router_{tmux_,
                   [] {
                       PowerState p{};
                       p.percent = 64;
                       p.onAC = false;
                       return p;
                   },
                   [] { return true; }, settings_};
    Server server_{router_};

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(PhoneApi, StateListsTheRealSessionsInTmuxOrder) {
    EXPECT_EQ(call("GET", "/api/state").body,
              R"({"sessions":[],"tmux":true,"battery":64,"onAC":false,"capsLock":true})");
    newSession("beta");
    newSession("alpha");
    newSession("say \"hi\"");
    const auto answer = call("GET", "/api/state");
    EXPECT_EQ(answer.status, "200 OK");
    const std::string idleShell = R"("working":false,"command":"sh","status":"待機中","idle":0})";
    EXPECT_EQ(answer.body, R"({"sessions":[{"name":"alpha",)" + idleShell + R"(,{"name":"beta",)" +
                               idleShell + R"(,{"name":"say \"hi\"",)" + idleShell +
                               R"(],"tmux":true,"battery":64,"onAC":false,"capsLock":true})");
}

TEST_F(PhoneApi, SendTypesAndSubmitsIntoTheSessionAndCaptureShowsIt) {
    newSession("work");
    EXPECT_EQ(call("POST", "/api/send", "s=work&text=echo+%24((6*7))").status, "200 OK");
    EXPECT_TRUE(test::waitFor([&] { return hasLine(screen("work"), "42"); })) << screen("work");

    EXPECT_EQ(call("POST", "/api/send", "s=work&text=echo+typed-only&submit=0").body, "sent");
    EXPECT_TRUE(test::waitFor([&] { return hasLine(screen("work"), "ready> echo typed-only"); }))
        << screen("work");
    EXPECT_FALSE(hasLine(screen("work"), "typed-only"));

    EXPECT_EQ(call("POST", "/api/send", "s=absent&text=x").status, "500 Internal Server Error");
    EXPECT_EQ(call("GET", "/api/capture?s=absent").status, "200 OK");
    EXPECT_EQ(call("GET", "/api/capture?s=absent").body, "");
}

TEST_F(PhoneApi, InterruptStopsTheProgramRunningInTheSession) {
    newSession("job");
    ASSERT_EQ(call("POST", "/api/send", "s=job&text=sleep+300").body, "sent");
    const auto working = [&] {
        return call("GET", "/api/state").body.find(R"("working":true,"command":"sleep")");
    };
    ASSERT_TRUE(test::waitFor([&] { return working() != std::string::npos; }))
        << call("GET", "/api/state").body;

    const auto answer = call("POST", "/api/interrupt", "s=job");
    EXPECT_EQ(answer.status, "200 OK");
    EXPECT_EQ(answer.body, "interrupted");
    EXPECT_TRUE(test::waitFor([&] { return working() == std::string::npos; }))
        << call("GET", "/api/state").body;
    EXPECT_EQ(call("POST", "/api/interrupt", "s=absent").body, "failed");
}

} // namespace
} // namespace torvane
