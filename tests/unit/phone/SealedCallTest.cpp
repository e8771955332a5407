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
#include <vector>

namespace torvane {
namespace {

// The known answers that the page's JavaScript is checked against too (tests/e2e/phone).
std::map<std::string, std::string> vectors() {
    std::map<std::string, std::string> values;
    std::ifstream in(SEAL_VECTORS);
    for (std::string line; std::getline(in, line);) {
        const auto equals = line.find('=');
        if (line.starts_with('#') || equals == std::string::npos) {
            continue;
        }
        std::string value = line.substr(equals + 1);
        for (std::size_t at; (at = value.find("\\n")) != std::string::npos;) {
            value.replace(at, 2, "\n");
        }
        values[line.substr(0, equals)] = value;
    }
    return values;
}

std::string answered(RequestHandler::Plan plan) {
    return plan.work ? plan.work() : plan.answer;
}

seal::Nonce nonceFromHex(const std::string& hex) {
    seal::Nonce nonce{};
    std::size_t size = 0;
    sodium_hex2bin(nonce.data(), nonce.size(), hex.data(), hex.size(), nullptr, &size, nullptr);
    EXPECT_EQ(size, nonce.size());
    return nonce;
}

TEST(Seal, AgreesWithTheKnownAnswersThePageIsCheckedAgainst) {
    auto v = vectors();
    ASSERT_FALSE(v["token"].empty()) << SEAL_VECTORS;
    const auto key = seal::deriveKey(v["token"]);
    ASSERT_TRUE(key);
    EXPECT_EQ(seal::keyText(*key), v["key"]);
    EXPECT_EQ(seal::sealWithNonce(*key, nonceFromHex(v["nonce"]), v["plain"]), v["sealed"]);
    EXPECT_EQ(seal::open(*key, v["sealedByPage"]), v["plainByPage"]) << "made by the page's JavaScript";
    EXPECT_NE(seal::keyText(*seal::deriveKey(v["token"] + "x")), v["key"]);
    EXPECT_FALSE(seal::deriveKey(""));
}

// The sealed route over a stand-in tmux that records what it is asked to do.
class SealedRoute : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeExecutable(
            dir_ / "tmux", "#!/bin/sh\necho \"$*\" >> \"$0.calls\"\n"
                           "case \"$*\" in *list-sessions*) printf 'work\\0371\\0371\\0370\\037sh\\0371\\n';;"
                           " *capture-pane*) echo '画面の文字';; esac\n");
        key_ = *seal::deriveKey(router_.token());
    }

    std::string envelope(const std::string& id, long long time, const std::string& method,
                         const std::string& target, const std::string& body = "") {
        return seal::seal(key_, sealed::formatRequest({id, time, method, target, body}));
    }
    std::string post(const std::string& body, bool fromLoopback = false) {
        return answered(router_.prepareFrom("POST /api/sealed HTTP/1.1", body, fromLoopback));
    }
    // The sealed answer to `id` as "status|body"; what is not such an answer, by its status line.
    std::string opened(const std::string& response, const std::string& id) {
        const auto text = seal::open(key_, response.substr(response.find("\r\n\r\n") + 4));
        if (!response.starts_with("HTTP/1.1 200 OK") || !text) {
            return response.substr(0, response.find("\r\n"));
        }
        std::vector<std::string> fields; // "A", id, status, server time, type; then the body
        std::size_t at = 0;
        for (int i = 0; i < 5; ++i) {
            const auto end = text->find('\n', at);
            fields.push_back(text->substr(at, end - at));
            at = end + 1;
        }
        serverTime_ = std::stoll(fields[3]);
        return fields[0] != "A" || fields[1] != id ? "answer to another request"
                                                   : fields[2] + "|" + text->substr(at);
    }
    std::string calls() { return test::readFile(dir_ / "tmux.calls"); }
    int count(const std::string& what) {
        int n = 0;
        const std::string all = calls();
        for (auto at = all.find(what); at != std::string::npos; at = all.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    test::TempDir dir_;
    Tmux tmux_{{(dir_ / "tmux").string()}};
    MemorySettings settings_;
    Router router_{tmux_, [] { return PowerState{}; }, [] { return false; }, settings_};
    seal::Key key_{};
    long long serverTime_ = 0;
};

TEST_F(SealedRoute, CarriesOutEachRequestOnceAndRefusesReplaysAlterationsAndOldTimes) {
    const long long now = sealed::nowMillis();
    const std::string send = envelope("id-0000000000000001", now, "POST", "/api/send", "s=work&text=echo+hi");
    EXPECT_EQ(opened(post(send), "id-0000000000000001"), "200|sent");
    EXPECT_EQ(opened(post(send), "id-0000000000000001"), "403|replayed") << "the same envelope again";
    // The same id in a fresh envelope is a replay all the same.
    EXPECT_EQ(opened(post(envelope("id-0000000000000001", now, "POST", "/api/send", "s=work&text=x")),
                     "id-0000000000000001"),
              "403|replayed");

    // Any one byte changed, in the nonce, the tag or the text: the box does not open.
    const std::string fresh = envelope("id-0000000000000002", now, "POST", "/api/interrupt", "s=work");
    auto raw = std::string(fresh.size() / 4 * 3, '\0');
    std::size_t size = 0;
    sodium_base642bin(reinterpret_cast<unsigned char*>(raw.data()), raw.size(), fresh.data(), fresh.size(),
                      nullptr, &size, nullptr, sodium_base64_VARIANT_ORIGINAL);
    raw.resize(size);
    for (std::size_t at : {std::size_t{0}, std::size_t{30}, size - 1}) {
        std::string altered = raw;
        altered[at] = static_cast<char>(altered[at] ^ 1);
        std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
        sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(altered.data()),
                          size, sodium_base64_VARIANT_ORIGINAL);
        text.pop_back();
        EXPECT_EQ(opened(post(text), ""), "HTTP/1.1 401 Unauthorized") << at;
    }
    EXPECT_EQ(opened(post("not an envelope"), ""), "HTTP/1.1 401 Unauthorized");

    // A time outside the window is refused with the server's clock inside, and can come again with it.
    EXPECT_EQ(opened(post(envelope("id-0000000000000003", now - 61000, "POST", "/api/interrupt", "s=work")),
                     "id-0000000000000003"),
              "408|clock");
    EXPECT_NEAR(serverTime_, sealed::nowMillis(), 5000);
    EXPECT_EQ(opened(post(envelope("id-0000000000000004", now + 61000, "POST", "/api/interrupt", "s=work")),
                     "id-0000000000000004"),
              "408|clock");
    EXPECT_EQ(count("send-keys"), 2) << "the one send (text and Enter), no interrupt:\n" << calls();

    // A renewed token: the old key opens nothing.
    router_.regenerateToken();
    EXPECT_EQ(opened(post(envelope("id-0000000000000005", now, "GET", "/api/state")), ""),
              "HTTP/1.1 401 Unauthorized");
}

TEST_F(SealedRoute, AnswersThroughTheSameRoutesBoundToTheirRequest) {
    const long long now = sealed::nowMillis();
    EXPECT_EQ(
        opened(post(envelope("capture-000000001", now, "GET", "/api/capture?s=work")), "capture-000000001"),
        "200|画面の文字\n");
    const std::string state =
        opened(post(envelope("state-0000000001", now, "GET", "/api/state")), "state-0000000001");
    EXPECT_TRUE(state.starts_with(R"(200|{"sessions":[{"name":"work")")) << state;
    EXPECT_EQ(opened(post(envelope("keys-00000000001", now, "POST", "/api/keys", "s=work&k=F1")),
                     "keys-00000000001"),
              "400|bad request");
    int n = 0;
    for (const char* elsewhere : {"/", "/api/sealed", "/api/key"}) {
        const std::string id = "elsewhere-0000000" + std::to_string(++n);
        EXPECT_EQ(opened(post(envelope(id, now, "GET", elsewhere)), id), "404|not found") << elsewhere;
    }
}

TEST_F(SealedRoute, PlainTokenIsRefusedFromTheNetworkOnlyWhenTurnedOff) {
    const std::string token = router_.token();
    const auto plain = [&](const std::string& target, bool loopback) {
        const auto response =
            answered(router_.prepareFrom("GET " + target + " HTTP/1.1\r\nX-Token: " + token, "", loopback));
        return response.substr(9, response.find("\r\n") - 9) + "|" +
               response.substr(response.find("\r\n\r\n") + 4);
    };
    EXPECT_EQ(plain("/api/key", false), "200 OK|" + seal::keyText(key_));
    settings_.setBoolean(Config::Key::plainToken, false);
    EXPECT_EQ(plain("/api/key", false), "403 Forbidden|plain token refused");
    EXPECT_EQ(plain("/api/capture?s=work", false), "403 Forbidden|plain token refused");
    EXPECT_EQ(plain("/api/capture?s=work", true), "200 OK|画面の文字\n") << "scripts on this machine";
    EXPECT_EQ(opened(post(envelope("net-000000000001", sealed::nowMillis(), "GET", "/api/capture?s=work")),
                     "net-000000000001"),
              "200|画面の文字\n")
        << "sealed calls are not plain";
}

TEST(PhonePage, IsServedCompressedOnlyToABrowserThatTakesGzip) {
    MemorySettings settings;
    Tmux tmux;
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, settings);
    for (const char* header :
         {"", "\r\nAccept-Encoding: br, gzip;q=0", "\r\nAccept-Encoding: gzip, deflate, br"}) {
        const auto response = router.route(std::string("GET /?t=x HTTP/1.1") + header, "");
        const bool compressed = response.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos;
        EXPECT_EQ(compressed, std::string_view(header).ends_with("br")) << header;
        const auto body = response.substr(response.find("\r\n\r\n") + 4);
        EXPECT_EQ(body.size(), std::stoul(*http::headerValue("content-length", response)));
        EXPECT_EQ(compressed ? body.substr(0, 2) : body.substr(0, 15),
                  compressed ? "\x1f\x8b" : "<!doctype html>");
    }
}

} // namespace
} // namespace torvane
