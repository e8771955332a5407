#include "app/phone/SealedCall.hpp"

#include "app/core/Config.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Seal.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sodium.h>

namespace torvane {
namespace {

// The known answers that the page's JavaScript is checked against too (tests/e2e/phone).
TEST(Seal, AgreesWithTheKnownAnswersThePageIsCheckedAgainst) {
    std::map<std::string, std::string> v;
    std::ifstream in(SEAL_VECTORS);
    for (std::string line; std::getline(in, line);) {
        for (std::size_t at; (at = line.find("\\n")) != std::string::npos;)
            line.replace(at, 2, "\n");
        if (!line.starts_with('#') && line.find('=') != std::string::npos)
            v[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    const auto key = seal::deriveKey(v["token"]);
    ASSERT_TRUE(key) << SEAL_VECTORS;
    EXPECT_EQ(seal::keyText(*key), v["key"]);
    seal::Nonce nonce{};
    sodium_hex2bin(nonce.data(), nonce.size(), v["nonce"].data(), v["nonce"].size(), nullptr, nullptr,
                   nullptr);
    EXPECT_EQ(seal::sealWithNonce(*key, nonce, v["plain"]), v["sealed"]);
    EXPECT_EQ(seal::open(*key, v["sealedByPage"]), v["plainByPage"]) << "made by the page's JavaScript";
    EXPECT_NE(seal::keyText(*seal::deriveKey(v["token"] + "x")), v["key"]);
}

// The sealed route over a stand-in tmux that records what it is asked to do.
class SealedRoute : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeExecutable(dir_ / "tmux",
                              "#!/bin/sh\necho \"$*\" >> \"$0.calls\"\n"
                              "case \"$*\" in *load-buffer*) cat >> \"$0.calls\";; *list-sessions*) printf "
                              "'work\\0371\\0371\\0370\\037sh\\0371\\n';;"
                              " *capture-pane*) echo '画面の文字';; esac\n");
    }

    std::string envelope(const std::string& id, const std::string& method, const std::string& target,
                         const std::string& body = "", long long skew = 0) {
        return seal::seal(key_, seal::formatRequest({id, seal::nowMillis() + skew, method, target, body}));
    }
    // The answer as "status|body" when it is the sealed answer to `id`, else its outer status line.
    std::string post(const std::string& envelope, const std::string& id, bool fromLoopback = false) {
        const std::string response = answerNow(router_, "POST /api/sealed HTTP/1.1", envelope,
                                               fromLoopback ? Origin::loopback : Origin::network)
                                         .bytes();
        const auto text = seal::open(key_, response.substr(response.find("\r\n\r\n") + 4));
        if (!response.starts_with("HTTP/1.1 200 OK") || !text)
            return response.substr(0, response.find("\r\n"));
        const auto f = http::splitDroppingEmpty(*text, "\n"); // "A", id, status, server time, type, body…
        serverTime_ = std::stoll(std::string(f[3]));
        const std::size_t bodyAt = f[4].data() + f[4].size() + 1 - text->data();
        return f[0] == "A" && f[1] == id ? std::string(f[2]) + "|" + text->substr(bodyAt) : "another answer";
    }
    std::string ask(const std::string& method, const std::string& target, const std::string& body = "") {
        const std::string id = "request-" + std::to_string(++count_) + "-0123456789";
        return post(envelope(id, method, target, body), id);
    }
    std::size_t tmuxCalls(const std::string& what) {
        const std::string all = test::readFile(dir_ / "tmux.calls");
        std::size_t n = 0;
        for (auto at = all.find(what); at != std::string::npos; at = all.find(what, at + 1))
            ++n;
        return n;
    }

    test::TempDir dir_;
    Tmux tmux_{{(dir_ / "tmux").string()}};
    MemorySettings settings_;
    PairingSecret secret_{settings_};
    const long long started_ = seal::nowMillis(); // no later than the router's start
    Router router_{tmux_, [] { return PowerState{}; }, [] { return false; }, secret_};
    seal::Key key_ = *seal::deriveKey(secret_.token());
    long long serverTime_ = 0;
    int count_ = 0;
};

TEST_F(SealedRoute, CarriesOutEachRequestOnceAndRefusesReplaysAlterationsAndOldTimes) {
    const std::string send = envelope("send-0123456789ab", "POST", "/api/send", "s=work&text=echo+hi");
    EXPECT_EQ(post(send, "send-0123456789ab"), "200|sent");
    EXPECT_EQ(post(send, "send-0123456789ab"), "403|replayed") << "the same envelope again";
    EXPECT_EQ(post(envelope("send-0123456789ab", "POST", "/api/send", "s=work&text=x"), "send-0123456789ab"),
              "403|replayed")
        << "the same id in a fresh envelope";

    // One character changed, in the nonce, the tag or the text: the box does not open.
    const std::string fresh = envelope("stop-0123456789ab", "POST", "/api/interrupt", "s=work");
    for (std::size_t at : {std::size_t{5}, std::size_t{40}, fresh.size() - 8}) {
        std::string altered = fresh;
        altered[at] = altered[at] == 'A' ? 'B' : 'A';
        EXPECT_EQ(post(altered, "stop-0123456789ab"), "HTTP/1.1 401 Unauthorized") << at;
    }
    EXPECT_EQ(post("not an envelope", ""), "HTTP/1.1 401 Unauthorized");

    // A time outside the window either way is refused with the server's clock inside; so is one from
    // before the app started, as an earlier run may have let that id in.
    for (const long long skew : {started_ - 1000 - seal::nowMillis(), -61000LL, 61000LL}) {
        const std::string id = "clock" + std::to_string(skew) + "-0123456789";
        serverTime_ = 0;
        EXPECT_EQ(post(envelope(id, "POST", "/api/interrupt", "s=work", skew), id), "408|clock") << skew;
        EXPECT_NEAR(serverTime_, seal::nowMillis(), 5000);
    }
    EXPECT_EQ(tmuxCalls("paste-buffer"), 1u) << "the one send";
    EXPECT_EQ(tmuxCalls("send-keys"), 1u) << "its Enter, no interrupt";
}

TEST_F(SealedRoute, AnswersThroughTheSameRoutesOnlyTheApiAndTheTokenOnlyLocallyWhenPlainTokenIsOff) {
    EXPECT_EQ(ask("POST", "/api/keys", "s=work&k=F1"), "400|bad request");
    EXPECT_EQ(ask("POST", "/api/send", "s=a%0Ab&text=x"), "400|bad request");
    EXPECT_EQ(ask("GET", "/api/capture?s=" + std::string(1025, 'w')), "400|bad request");
    // Bytes that are not UTF-8 are typed as U+FFFD, as through the plain route.
    EXPECT_EQ(ask("POST", "/api/send", "s=work&submit=0&text=\x80\x80"), "200|sent");
    EXPECT_EQ(tmuxCalls("\uFFFD\uFFFD"), 1u);
    for (const char* elsewhere : {"/", "/api/sealed", "/api/key"})
        EXPECT_EQ(ask("GET", elsewhere), "404|not found") << elsewhere;

    const auto plain = [&](const std::string& target, bool loopback) {
        const std::string text =
            answerNow(router_, "GET " + target + " HTTP/1.1\r\nX-Token: " + secret_.token(), "",
                      loopback ? Origin::loopback : Origin::network)
                .bytes();
        return text.substr(9, text.find("\r\n") - 9) + "|" + text.substr(text.find("\r\n\r\n") + 4);
    };
    settings_.setBoolean(Config::Key::plainToken, false);
    EXPECT_EQ(plain("/api/key", false), "403 Forbidden|plain token refused");
    EXPECT_EQ(plain("/api/capture?s=work", false), "403 Forbidden|plain token refused");
    EXPECT_EQ(plain("/", false).substr(0, 7), "200 OK|") << "an old bookmark still opens the page";
    EXPECT_EQ(plain("/api/capture?s=work", true), "200 OK|画面の文字\n") << "scripts on this machine";
    EXPECT_EQ(ask("GET", "/api/capture?s=work"), "200|画面の文字\n") << "sealed calls are not plain";
}

TEST(PhonePage, IsServedCompressedOnlyToABrowserThatTakesGzip) {
    MemorySettings settings;
    PairingSecret secret(settings);
    Tmux tmux;
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret);
    for (const char* header :
         {"", "\r\nAccept-Encoding: br, gzip;q=0", "\r\nAccept-Encoding: gzip, deflate, br"}) {
        const auto response = answerNow(router, std::string("GET /?t=x HTTP/1.1") + header, "").bytes();
        const bool compressed = std::string_view(header).ends_with("br");
        EXPECT_EQ(response.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos, compressed) << header;
        const auto body = response.substr(response.find("\r\n\r\n") + 4);
        EXPECT_EQ(body.size(), std::stoul(*http::headerValue("content-length", response)));
        EXPECT_TRUE(body.starts_with(compressed ? "\x1f\x8b" : "<!doctype html>")) << header;
    }
}

} // namespace
} // namespace torvane
