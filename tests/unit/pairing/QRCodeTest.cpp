#include "app/ui/QRCode.hpp"

#include "QrSupport.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace torvane {
namespace {

// Checks everything a phone camera relies on, then lets zbarimg read the code back.
void expectReadableCode(const std::string& text, double size, const test::TempDir& dir) {
    SCOPED_TRACE("text \"" + text + "\" at " + std::to_string(size));
    const std::optional<GrayImage> picture = QRCode::image(text, size);
    ASSERT_TRUE(picture.has_value());
    const int pixels = static_cast<int>(std::lround(size));
    EXPECT_EQ(picture->width, pixels);
    EXPECT_EQ(picture->height, pixels);

    const std::optional<test::ModuleGrid> grid = test::readModuleGrid(*picture);
    ASSERT_TRUE(grid.has_value()) << "modules are not uniform whole-pixel squares in black and white";
    EXPECT_GE(grid->quietZone(*picture), 4) << "cameras need four light modules around the code";
    EXPECT_EQ(test::errorCorrectionLevel(*grid), 'M');

    const auto file = dir / "code.pgm";
    test::writePgm(file, *picture);
    EXPECT_EQ(test::decodeQr(file), text);
}

TEST(QRCode, EveryRealisticPairingURLReadsBackExactlyAt220Pixels) {
    // Dotted addresses of every length from 7 to 15 characters, ports of one to five digits, and a
    // token that uses the whole URL-safe alphabet.
    const std::string addresses[] = {"1.2.3.4",       "10.2.3.4",       "10.20.3.4",
                                     "10.20.30.4",    "10.20.30.40",    "172.20.30.40",
                                     "172.200.30.40", "172.200.100.40", "192.168.100.200"};
    const std::string ports[] = {"8", "80", "808", "8787", "65535"};
    const std::string tokens[] = {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef", "ghijklmnopqrstuvwxyz0123456789-_",
                                  "-_-_zZ09aA-_Kq7mP3xW8vB2nR5tY4uE"};
    test::TempDir dir;
    int index = 0;
    for (const std::string& address : addresses)
        for (const std::string& port : ports) {
            const std::string& token = tokens[index++ % 3];
            ASSERT_EQ(token.size(), 32u);
            expectReadableCode("http://" + address + ":" + port + "/?t=" + token, 220, dir);
        }
}

TEST(QRCode, JapaneseAndOtherNonASCIITextReadsBackAsTheSameUTF8) {
    test::TempDir dir;
    expectReadableCode("スマホ連携の合言葉：「ｶﾀｶﾅ」と漢字、絵文字🚀も", 220, dir);
    expectReadableCode("http://192.168.1.20:8787/?t=合言葉", 220, dir);
}

TEST(QRCode, StaysAtLevelMAndWholeModulesAtEverySize) {
    test::TempDir dir;
    // Short texts leave room for a stronger level at the same size; it must not be taken.
    expectReadableCode("http://a/", 220, dir);
    expectReadableCode("x", 220, dir);
    expectReadableCode("", 220, dir);
    // Sizes that leave a remainder: the module stays whole, the remainder goes to the margin.
    const std::string url = "http://192.168.100.200:65535/?t=ghijklmnopqrstuvwxyz0123456789-_";
    for (double size : {45.0, 150.0, 219.6, 333.0, 1000.0})
        expectReadableCode(url, size, dir);
}

TEST(QRCode, RefusesTextsThatDoNotFitAndSizesThatCannotHoldTheCode) {
    // 2331 bytes is the most a level-M code holds in byte mode.
    EXPECT_TRUE(QRCode::image(std::string(2331, 'a'), 1000).has_value());
    EXPECT_FALSE(QRCode::image(std::string(2332, 'a'), 1000).has_value());

    const std::string url = "http://192.168.1.20:8787/?t=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";
    EXPECT_FALSE(QRCode::image(url, 40).has_value()) << "less than one pixel per module";
    for (double size : {0.0, -220.0, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(), 1e9})
        EXPECT_FALSE(QRCode::image(url, size).has_value()) << size;
}

} // namespace
} // namespace torvane
