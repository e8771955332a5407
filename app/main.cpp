#include "app/core/Config.hpp"
#include "app/phone/LocalAddress.hpp"
#include "app/ui/PhoneCommands.hpp"
#include "app/ui/qt/Application.hpp"
#include "app/ui/qt/QtSettings.hpp"

#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char* usage =
    "使い方: torvane [--help | --version]\n"
    "        torvane --pair [--name 名前] | --pairing-url | --pairing-qr\n"
    "        torvane --phones | --revoke 名前 | --revoke-all [--yes] | --renew-token\n"
    "Caps Lock がオンの間、ふたを閉じてもノート PC を動かし続けるトレイアプリです。\n"
    "オプションなしで起動すると、トレイに常駐します（トレイがなければメニューなしで動きます）。\n"
    "\n"
    "  --help          この説明を表示して終了します\n"
    "  --version       版を表示して終了します\n"
    "  --pair          スマホを登録する URL とその QR コードを表示します（10分間、1台だけ使えます）\n"
    "    --name 名前   登録するスマホの名前（なければスマホのブラウザから決めます）\n"
    "  --pairing-url   同じ URL だけを表示します\n"
    "  --pairing-qr    同じ QR コードだけを表示します\n"
    "  --phones        登録済みのスマホを表示します（名前、ID、登録、最終接続）\n"
    "  --revoke 名前   そのスマホ（名前か ID）の接続を取り消します\n"
    "  --revoke-all    すべてのスマホの接続を取り消します（確かめてから。--yes で確かめずに）\n"
    "  --renew-token   このパソコンのスクリプト用の合言葉を作り直します（スマホはそのまま）\n"
    "\n"
    "スマホの登録と取り消しは、Torvane が動いていてもいなくても使えます。\n"
    "設定: ~/.config/torvane/torvane.conf　ログ: ~/.local/state/torvane/Torvane.log\n"
    "詳しくは man torvane を参照してください。\n";

// Only the toolkit's own options, each with its value (a session manager restores the app with
// "-session ID"): they go to Qt.
bool toolkitOptions(std::span<char* const> args) {
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const std::string_view option = args[i];
        if (i + 1 >= args.size() || (option != "-session" && option != "-platform" && option != "-display"))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts: they must work without a display and start nothing.
    const std::span<char* const> args(argv + 1, argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
    if (args.empty() || toolkitOptions(args))
        return torvane::runApplication(argc, argv);
    const std::string_view option = args[0];
    if ((option == "--help" || option == "-h") && args.size() == 1) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (option == "--version" && args.size() == 1) {
        std::printf("torvane %s\n", TORVANE_VERSION);
        return 0;
    }
    const auto command = torvane::PhoneCommands::parse(args);
    if (!command) {
        std::string given;
        for (const char* arg : args)
            given += std::string(given.empty() ? "" : " ") + arg;
        std::fprintf(stderr, "torvane: このオプションは使えません: %s\n\n%s", given.c_str(), usage);
        return 2;
    }
    // The running copy's settings; a pairing URL goes to this terminal only, naming an address the
    // link listens on.
    torvane::QtSettings settings;
    const auto listening =
        torvane::ListenPlan::parse(settings.string(torvane::Config::Key::listenAddresses).value_or("lan"));
    return torvane::PhoneCommands::run(
        *command, settings,
        listening.pairingAddress(torvane::systemInterfaceAddresses(), torvane::hostInterfacePolicy()),
        {std::cin, ::isatty(STDIN_FILENO) == 1, std::cout, std::cerr});
}
