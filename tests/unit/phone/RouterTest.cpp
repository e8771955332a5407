#include "app/phone/Router.hpp"

#include "app/core/Config.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/phone/Http.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace torvane {
namespace {

std::string plain(std::string_view status, std::string_view body) {
    return http::response(status, http::textPlain, body);
}

const std::string unauthorized = plain("401 Unauthorized", "合言葉が違います");
const std::string notFound = plain("404 Not Found", "not found");
const std::string badRequest = plain("400 Bad Request", "bad request");

// A router over a tmux that is not installed: everything up to the tmux call can be seen.
class RouterTest : public ::testing::Test {
protected:
    RouterTest() : tmux_({(dir_ / "no-such-tmux").string()}) {}

    std::string get(const std::string& target, const std::string& extraHeaders = "") {
        return router_.route("GET " + target + " HTTP/1.1\r\nHost: phone" + extraHeaders, "");
    }
    std::string post(const std::string& target, const std::string& body) {
        return router_.route("POST " + target + " HTTP/1.1\r\nX-Token: " + router_.token() +
                                 "\r\nContent-Type: application/x-www-form-urlencoded",
                             body);
    }

    test::TempDir dir_;
    Tmux tmux_;
    MemorySettings settings_;
    PowerState power_{};
    bool capsLock_ = true;
    Router router_{tmux_, [this] { return power_; }, [this] { return capsLock_; }, settings_};
};

TEST_F(RouterTest, TheQueryTokenWinsOverTheHeaderEvenWhenWrongOrEmpty) {
    const std::string token = router_.token();
    EXPECT_NE(get("/api/state?t=" + token), unauthorized);
    EXPECT_EQ(get("/api/state?t=wrong", "\r\nX-Token: " + token), unauthorized);
    EXPECT_EQ(get("/api/state?t=", "\r\nX-Token: " + token), unauthorized);
    EXPECT_EQ(get("/api/state?t", "\r\nX-Token: " + token), unauthorized);
    // A query without t leaves the choice to the header.
    EXPECT_NE(get("/api/state?x=1", "\r\nX-Token: " + token), unauthorized);
}

TEST_F(RouterTest, TheHeaderTokenIsFoundInAnyCaseAndAnEmptyOneIsRefused) {
    const std::string token = router_.token();
    EXPECT_NE(get("/api/state", "\r\nx-token: " + token), unauthorized);
    EXPECT_NE(get("/api/state", "\r\nX-TOKEN:\t" + token + " "), unauthorized);
    EXPECT_EQ(get("/api/state", "\r\nX-Token: "), unauthorized);
    EXPECT_EQ(get("/api/state", "\r\nX-Token:"), unauthorized);
    EXPECT_EQ(get("/api/state"), unauthorized);
    EXPECT_EQ(get("/api/state", "\r\nX-Token: " + token.substr(1)), unauthorized);
    EXPECT_EQ(get("/api/state", "\r\nX-Token: " + token + "x"), unauthorized);
}

TEST_F(RouterTest, UnknownRoutesAre404WhetherOrNotTheTokenIsRight) {
    const std::string token = router_.token();
    EXPECT_EQ(router_.route("POST /api/state HTTP/1.1", ""), notFound);
    EXPECT_EQ(router_.route("GET /api/send HTTP/1.1", ""), notFound);
    EXPECT_EQ(router_.route("get /api/state?t=" + token + " HTTP/1.1", ""), notFound);
    EXPECT_EQ(get("/api/state/?t=" + token), notFound);
    EXPECT_EQ(get("/api/State?t=" + token), notFound);
    EXPECT_EQ(get("/api?t=" + token), notFound);
    EXPECT_EQ(get("/nothing"), notFound);
}

TEST_F(RouterTest, RequestLinesThatCannotBeReadAreBadRequests) {
    EXPECT_EQ(router_.route("", ""), badRequest);
    EXPECT_EQ(router_.route("\r\n\r\n", ""), badRequest);
    EXPECT_EQ(router_.route("GET", ""), badRequest);
    EXPECT_EQ(router_.route("   GET   ", ""), badRequest);
    EXPECT_EQ(router_.route("GET ? HTTP/1.1", ""), badRequest);
    // Empty pieces around the request line are dropped; the protocol version is not looked at.
    EXPECT_NE(router_.route("\r\nGET  /api/state?t=" + router_.token(), ""), badRequest);
    EXPECT_EQ(router_.route("\r\nGET  /api/state?t=" + router_.token(), "").substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(RouterTest, MissingSessionOrTextIsRefusedBeforeTmuxIsAsked) {
    const std::string token = router_.token();
    const std::string sessionRequired = plain("400 Bad Request", "session required");
    const std::string bothRequired = plain("400 Bad Request", "session and text required");
    EXPECT_EQ(get("/api/capture?t=" + token), sessionRequired);
    EXPECT_EQ(get("/api/capture?t=" + token + "&s="), sessionRequired);
    EXPECT_EQ(post("/api/send", "text=hi"), bothRequired);
    EXPECT_EQ(post("/api/send", "s=&text=hi"), bothRequired);
    EXPECT_EQ(post("/api/send", "s=work"), bothRequired);
    EXPECT_EQ(post("/api/interrupt", ""), sessionRequired);
    EXPECT_EQ(post("/api/interrupt", "s="), sessionRequired);
    // The token is checked before the input.
    EXPECT_EQ(router_.route("POST /api/send HTTP/1.1", "text=hi"), unauthorized);
}

TEST_F(RouterTest, WithoutTmuxCommandsFailAndCaptureIsEmpty) {
    EXPECT_EQ(post("/api/send", "s=work&text=hi"), plain("500 Internal Server Error", "failed"));
    EXPECT_EQ(post("/api/interrupt", "s=work"), plain("500 Internal Server Error", "failed"));
    EXPECT_EQ(get("/api/capture?s=work&t=" + router_.token()), plain("200 OK", ""));
}

TEST_F(RouterTest, StateWithoutTmuxOrBatteryReadsNullAndFalse) {
    EXPECT_EQ(get("/api/state?t=" + router_.token()),
              http::response("200 OK", http::applicationJson,
                             R"({"sessions":[],"tmux":false,"battery":null,"onAC":true,"capsLock":true})"));
    power_.percent = 57;
    power_.onAC = true;
    capsLock_ = false;
    EXPECT_EQ(router_.stateJSON(),
              R"({"sessions":[],"tmux":false,"battery":57,"onAC":true,"capsLock":false})");
}

TEST_F(RouterTest, TheTokenIsKeptInTheSettingsAndSurvivesANewRouter) {
    test::LogCapture log;
    const std::string token = router_.token();
    EXPECT_EQ(token.size(), 32U);
    EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(settings_.string(Config::Key::serverToken), token);
    EXPECT_EQ(router_.token(), token);

    Router again(
        tmux_, [] { return PowerState{}; }, [] { return false; }, settings_);
    EXPECT_EQ(again.token(), token);

    settings_.setString(Config::Key::serverToken, "chosen-elsewhere");
    EXPECT_EQ(router_.token(), "chosen-elsewhere");
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find(token), std::string::npos) << line;
    }
}

TEST_F(RouterTest, RegeneratingRefusesTheOldTokenAndAcceptsTheNewOne) {
    test::LogCapture log;
    const std::string old = router_.token();
    router_.regenerateToken();
    const std::string fresh = router_.token();
    EXPECT_NE(fresh, old);
    EXPECT_EQ(fresh.size(), 32U);
    EXPECT_EQ(settings_.string(Config::Key::serverToken), fresh);
    EXPECT_EQ(get("/api/state?t=" + old), unauthorized);
    EXPECT_NE(get("/api/state?t=" + fresh), unauthorized);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"接続の合言葉を作り直しました"});
}

TEST_F(RouterTest, WhenNoTokenCanBeMadeNothingIsLetIn) {
    test::LogCapture log;
    bool randomWorks = true;
    MemorySettings settings;
    Router router(
        tmux_, [] { return PowerState{}; }, [] { return false; }, settings,
        [&](std::span<unsigned char> bytes) { return randomWorks && token::systemRandom(bytes); });
    const std::string old = router.token();
    ASSERT_EQ(old.size(), 32U);

    randomWorks = false;
    router.regenerateToken();
    EXPECT_EQ(router.token(), "");
    EXPECT_EQ(router.route("GET /api/state?t=" + old + " HTTP/1.1", ""), unauthorized);
    EXPECT_EQ(router.route("GET /api/state?t= HTTP/1.1", ""), unauthorized);
    EXPECT_EQ(router.route("GET /api/state HTTP/1.1\r\nX-Token: ", ""), unauthorized);
    EXPECT_TRUE(log.contains("ERROR: 接続の合言葉を作れませんでした"));
    EXPECT_FALSE(log.contains("接続の合言葉を作り直しました"));

    randomWorks = true;
    const std::string recovered = router.token();
    EXPECT_EQ(recovered.size(), 32U);
    EXPECT_NE(router.route("GET /api/state?t=" + recovered + " HTTP/1.1", ""), unauthorized);
}

TEST_F(RouterTest, ThreadsReadingTheFirstTokenAtOnceAllGetTheStoredOne) {
    MemorySettings settings;
    Router router(
        tmux_, [] { return PowerState{}; }, [] { return false; }, settings);
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = router.token(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& token : seen) {
        EXPECT_EQ(token, settings.string(Config::Key::serverToken));
    }
}

// A stand-in tmux prints what real tmux cannot (a control character in a name, fixed times) and
// records every call, so the exact state document and the argument vectors can be checked.
class RouterOverStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        using namespace std::chrono;
        const auto now = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
        test::writeFile(dir_ / "sessions", "q\"uo\\te\x01x|" + std::to_string(now - 4000) + "|" +
                                               std::to_string(now - 185) + "|1|vim\n" + "shell|" +
                                               std::to_string(now - 100) + "|" + std::to_string(now - 5) +
                                               "|0|bash\n");
        test::writeExecutable(dir_ / "tmux",
                              "#!/bin/sh\n"
                              "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo --end--; } >> '" +
                                  (dir_ / "calls").string() +
                                  "'\n"
                                  "case \"$2\" in\n"
                                  "  list-sessions) cat '" +
                                  (dir_ / "sessions").string() +
                                  "' ;;\n"
                                  "  capture-pane) printf 'line one\\nline two\\n' ;;\n"
                                  "esac\n");
    }

    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> runs(1);
        const std::string text = test::readFile(dir_ / "calls");
        std::size_t start = 0;
        while (start < text.size()) {
            const auto end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            if (line == "--end--") {
                runs.emplace_back();
            } else {
                runs.back().push_back(line);
            }
        }
        runs.pop_back();
        return runs;
    }

    std::string post(const std::string& target, const std::string& body) {
        return router_.route("POST " + target + " HTTP/1.1\r\nX-Token: " + router_.token(), body);
    }

    test::TempDir dir_;
    Tmux tmux_{{(dir_ / "tmux").string()}};
    MemorySettings settings_;
    Router router_{tmux_,
                   [] {
                       PowerState p{};
                       p.percent = 80;
                       p.onAC = true;
                       return p;
                   },
                   [] { return false; }, settings_};
};

using Args = std::vector<std::string>;

TEST_F(RouterOverStandIn, StateListsSessionsInOrderWithEscapedTextsAndWholeIdleMinutes) {
    EXPECT_EQ(router_.stateJSON(),
              "{\"sessions\":["
              "{\"name\":\"q\\\"uo\\\\te\\u0001x\",\"working\":true,\"command\":\"vim\","
              "\"status\":\"作業中（vim）\",\"idle\":3},"
              "{\"name\":\"shell\",\"working\":false,\"command\":\"bash\",\"status\":\"待機中\",\"idle\":0}"
              "],\"tmux\":true,\"battery\":80,\"onAC\":true,\"capsLock\":false}");
}

TEST_F(RouterOverStandIn, SendPressesEnterUnlessSubmitIsExactlyZero) {
    EXPECT_EQ(post("/api/send", "s=work&text=ls+-la"), plain("200 OK", "sent"));
    EXPECT_EQ(post("/api/send", "s=work&text=typed&submit=0"), plain("200 OK", "sent"));
    EXPECT_EQ(post("/api/send", "s=work&text=x&submit=false"), plain("200 OK", "sent"));
    EXPECT_EQ(calls(), (std::vector<Args>{{"-u", "send-keys", "-t", "=work:", "-l", "--", "ls -la"},
                                          {"-u", "send-keys", "-t", "=work:", "Enter"},
                                          {"-u", "send-keys", "-t", "=work:", "-l", "--", "typed"},
                                          {"-u", "send-keys", "-t", "=work:", "-l", "--", "x"},
                                          {"-u", "send-keys", "-t", "=work:", "Enter"}}));
}

TEST_F(RouterOverStandIn, AnEmptyTextIsPassedOnAndTmuxRefusesIt) {
    // The session layer types nothing for an empty text and reports that as a failure.
    EXPECT_EQ(post("/api/send", "s=work&text="), plain("500 Internal Server Error", "failed"));
    EXPECT_TRUE(calls().empty());
}

TEST_F(RouterOverStandIn, CaptureAndInterruptAddressTheDecodedSessionName) {
    EXPECT_EQ(router_.route("GET /api/capture?s=my%20work&t=" + router_.token() + " HTTP/1.1", ""),
              plain("200 OK", "line one\nline two\n"));
    EXPECT_EQ(post("/api/interrupt", "s=%E4%BD%9C%E6%A5%AD"), plain("200 OK", "interrupted"));
    EXPECT_EQ(calls(), (std::vector<Args>{{"-u", "capture-pane", "-t", "=my work:", "-p", "-S", "-200"},
                                          {"-u", "send-keys", "-t", "=作業:", "C-c"}}));
}

} // namespace
} // namespace torvane
