#include "app/phone/PhonePage.hpp"

#include "app/core/Config.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/Router.hpp"
#include "app/tmux/Tmux.hpp"
#include "common/Text.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace torvane;

namespace {

constexpr std::string_view pageToken = "Pp0-Ag_3eRoUtEtEsTtOkEn123456789";

struct PageRouter {
    PageRouter() { settings.setString(Config::Key::serverToken, pageToken); }

    std::string get(std::string_view requestLine, std::string_view headers = "") {
        return router.route(std::string(requestLine) + "\r\nHost: 127.0.0.1\r\n" + std::string(headers), "");
    }

    MemorySettings settings;
    Tmux tmux{std::vector<std::string>{}}; // the page never needs tmux
    Router router{tmux, [] { return PowerState{}; }, [] { return false; }, settings};
};

std::string pageResponse() {
    return http::response("200 OK", "text/html; charset=utf-8", PhonePage::html);
}

} // namespace

// The build must carry the page exactly as written: a stale or mangled copy (a lost byte, a
// re-encoded character) would serve a page that differs from the one the browser tests load.
TEST(PhonePage, EmbedsTheHtmlFileByteForByte) {
    const std::string source = std::getenv("TORVANE_SOURCE_DIR");
    const std::string file = test::readFile(source + "/app/phone/phone.html");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(PhonePage::html), file);
    EXPECT_TRUE(text::isValidUtf8(PhonePage::html));
}

TEST(PhonePage, IsServedAtTheRootWithoutAnyTokenAndWhateverTheQuery) {
    PageRouter page;
    const std::string expected = pageResponse();
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                             std::to_string(PhonePage::html.size()) + "\r\n";
    ASSERT_EQ(expected.substr(0, head.size()), head);
    EXPECT_EQ(page.get("GET / HTTP/1.1"), expected);
    EXPECT_EQ(page.get("GET /?t=" + std::string(pageToken) + " HTTP/1.1"), expected);
    EXPECT_EQ(page.get("GET /?t=wrong&x=1 HTTP/1.1"), expected);
    EXPECT_EQ(page.get("GET /?t= HTTP/1.1", "X-Token: wrong\r\n"), expected);
}

TEST(PhonePage, OnlyGetOfTheExactRootIsThePage) {
    PageRouter page;
    const std::string notFound = http::response("404 Not Found", "text/plain; charset=utf-8", "not found");
    EXPECT_EQ(page.get("POST / HTTP/1.1"), notFound);
    EXPECT_EQ(page.get("HEAD / HTTP/1.1"), notFound);
    EXPECT_EQ(page.get("GET /index.html HTTP/1.1"), notFound);
    EXPECT_EQ(page.get("GET // HTTP/1.1"), notFound);
    EXPECT_EQ(page.get("get / HTTP/1.1"), notFound);
}

TEST(PhonePage, ServingThePageOpensNoApiRoute) {
    PageRouter page;
    const std::string refused =
        http::response("401 Unauthorized", "text/plain; charset=utf-8", "合言葉が違います");
    EXPECT_EQ(page.get("GET /api/state HTTP/1.1"), refused);
    EXPECT_EQ(page.get("GET /api/state?t=wrong HTTP/1.1"), refused);
}
