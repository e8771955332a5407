#include "app/phone/PhonePage.hpp"

#include "common/Text.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace torvane;

// The build must carry the page exactly as written: a stale or mangled copy (a lost byte, a
// re-encoded character) would serve a page that differs from the one the browser tests load.
TEST(PhonePage, EmbedsTheHtmlFileByteForByte) {
    const std::string source = std::getenv("TORVANE_SOURCE_DIR");
    const std::string file = test::readFile(source + "/app/phone/phone.html");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(PhonePage::html), file);
    EXPECT_TRUE(text::isValidUtf8(PhonePage::html));
    EXPECT_NE(PhonePage::html.find("送信"), std::string_view::npos);
}
