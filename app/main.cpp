#include "app/phone/LocalAddress.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/qt/Application.hpp"
#include "app/ui/qt/QtSettings.hpp"

#include <cstdio>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    // Answered before Qt starts: they must work without a display and start nothing.
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--pairing-url" || option == "--pairing-qr") {
            // The running copy's settings, read only; the URL holds the key, so it goes nowhere else.
            const torvane::QtSettings settings;
            return torvane::Pairing::printPairingURL(
                settings,
                torvane::chooseLocalAddress(torvane::systemInterfaceAddresses(),
                                            torvane::hostInterfacePolicy()),
                option == "--pairing-qr", std::cout, std::cerr);
        }
        if (option == "--help" || option == "-h") {
            std::fputs(
                "使い方: torvane [--help | --version | --pairing-url | --pairing-qr]\n"
                "Caps Lock がオンの間、ふたを閉じてもノート PC を動かし続けるトレイアプリです。\n"
                "オプションなしで起動すると、トレイに常駐します（トレイがなければメニューなしで動きます）。\n"
                "\n"
                "  --help         この説明を表示して終了します\n"
                "  --version      版を表示して終了します\n"
                "  --pairing-url  動いている Torvane のスマホ連携の URL を表示して終了します\n"
                "  --pairing-qr   同じ URL を端末用の QR コードで表示して終了します\n"
                "\n"
                "設定: ~/.config/torvane/torvane.conf　ログ: ~/.local/state/torvane/Torvane.log\n"
                "詳しくは man torvane を参照してください。\n",
                stdout);
            return 0;
        }
        if (option == "--version") {
            std::printf("torvane %s\n", TORVANE_VERSION);
            return 0;
        }
    }
    return torvane::runApplication(argc, argv);
}
