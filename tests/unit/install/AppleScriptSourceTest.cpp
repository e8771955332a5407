#include "app/install/AppleScriptSource.hpp"

#include <gtest/gtest.h>

using namespace torvane;

// The expected texts are written out by hand from the quoting rule, not computed.

TEST(AppleScriptSource, PlainPathWithoutArgumentsMatchesTheRule) {
    EXPECT_EQ(
        appleScriptSource("/opt/torvane/share/torvane/install-helper.sh", {}),
        R"(do shell script ("/bin/bash " & quoted form of "/opt/torvane/share/torvane/install-helper.sh"))"
        R"( with administrator privileges)");
}

TEST(AppleScriptSource, RemovalAppendsTheArgumentAfterAQuotedSpace) {
    EXPECT_EQ(
        appleScriptSource("/Applications/Torvane.app/Contents/Resources/uninstall.sh", {"--keep-app"}),
        R"(do shell script ("/bin/bash " & quoted form of )"
        R"("/Applications/Torvane.app/Contents/Resources/uninstall.sh" & " " & quoted form of "--keep-app"))"
        R"( with administrator privileges)");
}

TEST(AppleScriptSource, SpacesQuotesAndBackslashesInPathsAndArgumentsAreEscapedForTheLiteral) {
    // Path: /Users/a b/My "Apps"\x/Torvane.app/install-helper.sh
    EXPECT_EQ(appleScriptSource(R"(/Users/a b/My "Apps"\x/Torvane.app/install-helper.sh)", {}),
              R"(do shell script ("/bin/bash " & quoted form of )"
              R"("/Users/a b/My \"Apps\"\\x/Torvane.app/install-helper.sh"))"
              R"( with administrator privileges)");

    // A backslash directly before a quote: the backslash is doubled first, then the quote escaped.
    EXPECT_EQ(appleScriptSource("/tmp/s.sh", {R"(a\"b)", "it's", ""}),
              R"(do shell script ("/bin/bash " & quoted form of "/tmp/s.sh")"
              R"( & " " & quoted form of "a\\\"b")"
              R"( & " " & quoted form of "it's")"
              R"( & " " & quoted form of ""))"
              R"( with administrator privileges)");
}

TEST(AppleScriptSource, LiteralOfNonAsciiTextKeepsItsBytes) {
    EXPECT_EQ(appleScriptLiteral("/Users/山田/アプリ/x.sh"), "\"/Users/山田/アプリ/x.sh\"");
    EXPECT_EQ(appleScriptLiteral(R"(\\)"), R"("\\\\")");
    EXPECT_EQ(appleScriptLiteral(R"(")"), R"("\"")");
}
