#include "app/phone/SealedCall.hpp"

#include "app/core/Config.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/PhoneRegistry.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Seal.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/phone/SealedClient.hpp"

#include <algorithm>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;

// The sealed route over a stand-in tmux that records what it is asked to do, with one paired phone.
class SealedRoute : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeExecutable(dir_ / "tmux",
                              "#!/bin/sh\necho \"$*\" >> \"$0.calls\"\n"
                              "case \"$*\" in *load-buffer*) cat >> \"$0.calls\";; *list-sessions*) printf "
                              "'work\\0371\\0371\\0370\\037sh\\0371\\0370\\037\\n';;"
                              " *capture-pane*) echo '画面の文字';; esac\n");
        const auto code = phones_.newCode("仕事用");
        const auto phone = phones_.redeem(code.value_or("").substr(0, code.value_or("").find('.')), "");
        ASSERT_TRUE(phone);
        phone_.use(phone->id + "." + seal::keyText(phone->key));
        EXPECT_EQ(phone_.post(phone_.sealed("first-0123456789ab", "GET", "/api/state"), "first-0123456789ab"),
                  "412|run")
            << "the first call learns the run";
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
    PhoneRegistry phones_{settings_};
    Router router_{tmux_, [] { return PowerState{}; }, [] { return false; }, secret_, phones_};
    test::SealedClient phone_{router_, ""};
};

TEST_F(SealedRoute, CarriesOutEachRecordedRequestOnceBeforeARestartAndNoneAfterWhateverItsTime) {
    // What an onlooker records: sends timed now and a little ahead, one 30 s ahead, one 21 s old.
    std::vector<std::pair<std::string, std::string>> recorded;
    for (const auto& [id, skew, answer] : std::vector<std::tuple<std::string, long long, std::string>>{
             {"send-now-0123456789", 0, "200|sent"},
             {"send-ahead-0123456789", 4000, "200|sent"},
             {"send-far-ahead-01234", 30000, "408|clock"},
             {"send-stale-012345678", -21000, "408|clock"}}) {
        recorded.emplace_back(id, phone_.sealed(id, "POST", "/api/send", "s=work&text=" + id, skew));
        EXPECT_EQ(phone_.post(recorded.back().second, id), answer) << id;
        EXPECT_NEAR(phone_.serverTime, seal::nowMillis(), 5000) << "refusals carry the server's clock";
    }
    for (const auto& [id, body] : recorded)
        EXPECT_THAT(phone_.post(body, id), ::testing::AnyOf("403|replayed", "408|clock")) << id;
    EXPECT_EQ(phone_.post(phone_.sealed("send-now-0123456789", "POST", "/api/send", "s=work&text=x"),
                          "send-now-0123456789"),
              "403|replayed")
        << "the same id in a fresh envelope";
    // One character changed, in the nonce, the tag or the text: the box does not open.
    const std::string fresh = phone_.sealed("stop-0123456789ab", "POST", "/api/interrupt", "s=work");
    for (std::size_t at : {std::size_t{20}, std::size_t{60}, fresh.size() - 8}) {
        std::string altered = fresh;
        altered[at] = altered[at] == 'A' ? 'B' : 'A';
        EXPECT_EQ(phone_.post(altered, "stop-0123456789ab"), "401 Unauthorized") << at;
    }

    // After a restart (a router of its own, the same phones) nothing recorded acts, and the page is
    // told the new run, under which it goes on.
    const std::string firstRun = phone_.run;
    Router restarted{tmux_, [] { return PowerState{}; }, [] { return false; }, secret_, phones_};
    phone_.sendTo(restarted);
    for (const auto& [id, body] : recorded)
        EXPECT_EQ(phone_.post(body, id), "412|run") << id;
    EXPECT_NE(phone_.run, firstRun);
    EXPECT_EQ(phone_.call("GET", "/api/capture?s=work"), "200|画面の文字\n");
    EXPECT_EQ(tmuxCalls("paste-buffer"), 2u) << "two sends";
    EXPECT_EQ(tmuxCalls("send-keys"), 2u) << "their Enter; no interrupt";

    // A work that waited for its turn until the page may have given up is not begun.
    auto late = Request::fromHead("POST /api/sealed HTTP/1.1", Origin::network);
    late->setBody(phone_.sealed("late-0123456789ab", "POST", "/api/send", "s=work&text=late", -19500));
    const long long time = seal::nowMillis() - 19500; // no earlier than the request's
    auto plan = restarted.plan(std::move(*late));
    ASSERT_TRUE(plan.work);
    ASSERT_TRUE(test::waitFor([&] { return seal::nowMillis() > time + 20050; }));
    EXPECT_EQ(phone_.read(plan.work(true).bytes(), "late-0123456789ab"), "408|late");
    EXPECT_EQ(tmuxCalls("late"), 0u);

    // Every answer under a nonce of its own.
    std::sort(phone_.nonces.begin(), phone_.nonces.end());
    EXPECT_GT(phone_.nonces.size(), 10u);
    EXPECT_EQ(std::adjacent_find(phone_.nonces.begin(), phone_.nonces.end()), phone_.nonces.end())
        << "a nonce used twice";
}

TEST_F(SealedRoute, AnswersOnlyTheApiAndEachKeyOnlyWhileItIsGood) {
    // Bytes that are not UTF-8 are typed as U+FFFD, as through the plain route.
    EXPECT_EQ(phone_.call("POST", "/api/send", "s=work&submit=0&text=\x80\x80"), "200|sent");
    EXPECT_EQ(tmuxCalls("\uFFFD\uFFFD"), 1u);
    for (const char* elsewhere : {"/", "/api/sealed", "/api/key", "/api/pair"})
        EXPECT_EQ(phone_.call("GET", elsewhere), "404|not found") << elsewhere;
    EXPECT_EQ(phone_.call("POST", "/api/pair", "name=x"), "404|not found") << "a phone's key pairs nothing";
    EXPECT_EQ(phone_.post("not an envelope", ""), "401 Unauthorized");

    // A revoked phone is told so, sealed; a phone the laptop does not know gets a plain 401.
    ASSERT_EQ(phones_.revoke("仕事用")->name, "仕事用");
    EXPECT_EQ(phone_.call("GET", "/api/state"), "410|revoked");
    phone_.use("unknown-id." + seal::keyText(seal::Key{}));
    EXPECT_EQ(phone_.call("GET", "/api/state"), "401 Unauthorized");
}

TEST_F(SealedRoute, ThePushPathIsSealedBothWaysAndAWaitCannotBeReplayedOrAltered) {
    const std::string id = "live-0123456789abcd";
    const std::string body = phone_.sealed(id, "GET", "/api/live?v=0&w=0");
    const std::string answer = phone_.post(body, id);
    EXPECT_TRUE(answer.starts_with("200|{\"v\":")) << answer;
    EXPECT_NE(answer.find("\"state\":{\"sessions\":[{\"name\":\"work\""), std::string::npos) << answer;
    EXPECT_EQ(phone_.post(body, id), "403|replayed");
    std::string altered = phone_.sealed("live-altered-0123456", "GET", "/api/live?v=0&w=0");
    altered[altered.size() - 5] ^= 1;
    EXPECT_EQ(phone_.post(altered, "live-altered-0123456"), "401 Unauthorized");
    EXPECT_EQ(phone_.call("GET", "/api/live?v=x"), "400|bad request");

    // Revoked from the menu while its long poll waits: told at once that it was revoked, and sent
    // nothing of the screen under that key.
    const std::string version = answer.substr(answer.find(':') + 1, answer.find(',') - answer.find(':') - 1);
    auto held = Request::fromHead("POST /api/sealed HTTP/1.1", Origin::network);
    held->setBody(phone_.sealed("live-held-0123456789", "GET", "/api/live?w=15000&v=" + version));
    auto plan = router_.plan(std::move(*held));
    ASSERT_TRUE(plan.later);
    std::promise<Response> answered;
    plan.later([&](Response response) { answered.set_value(std::move(response)); });
    auto future = answered.get_future();
    EXPECT_EQ(future.wait_for(300ms), std::future_status::timeout) << "nothing new: it waits";
    ASSERT_TRUE(phones_.revoke("仕事用"));
    router_.phonesRevoked();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(phone_.read(future.get().bytes(), "live-held-0123456789"), "410|revoked");
}

TEST(PlainToken, OpensTheApiFromTheNetworkOnlyWhenAskedForAndNeverGivesAKey) {
    MemorySettings settings;
    PairingSecret secret(settings);
    PhoneRegistry phones(settings);
    Tmux tmux;
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret, phones);
    const auto status = [&](const std::string& target) {
        return answerNow(router, "GET " + target + " HTTP/1.1\r\nX-Token: " + secret.token(), "",
                         Origin::network)
            .status;
    };
    EXPECT_EQ(status("/api/capture?s="), 403) << "off unless set";
    settings.setBoolean(Config::Key::plainToken, true);
    EXPECT_EQ(status("/api/capture?s="), 400);
    EXPECT_EQ(status("/api/key"), 404) << "the old bookmark's key route is gone";
}

TEST(PhonePage, IsServedCompressedOnlyToABrowserThatTakesGzip) {
    MemorySettings settings;
    PairingSecret secret(settings);
    Tmux tmux;
    PhoneRegistry phones(settings);
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret, phones);
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

// Ten minutes on the boot clock, whichever way the wall clock is set meanwhile, and nothing of an
// earlier boot.
TEST(PairingCode, IsGoodForTenMinutesWhateverTheWallClockDoes) {
    MemorySettings settings;
    long long wall = 1'800'000'000, boot = 5'000;
    PhoneRegistry phones(
        settings, token::secureRandom, [&] { return wall; }, [&] { return boot; });
    const auto make = [&] {
        const std::string code = phones.newCode().value_or("");
        return code.substr(0, code.find('.'));
    };
    const std::string setBack = make(), kept = make(), beforeReboot = make();
    wall -= 3600;
    boot += 599;
    EXPECT_TRUE(phones.redeem(kept, "")) << "within its ten minutes";
    boot += 2;
    EXPECT_FALSE(phones.redeem(setBack, "")) << "the wall clock set back an hour keeps no code alive";
    boot = 30; // a reboot, the wall clock still before the code's end
    EXPECT_FALSE(phones.redeem(beforeReboot, ""));
}

} // namespace
} // namespace torvane
