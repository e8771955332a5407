#include "app/ui/PhoneCommands.hpp"

#include "app/core/Config.hpp"
#include "app/phone/LocalAddress.hpp"
#include "app/phone/PairingSecret.hpp"
#include "app/phone/PhoneRegistry.hpp"
#include "app/phone/Server.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/QRCode.hpp"
#include "common/Text.hpp"

#include <algorithm>
#include <ctime>
#include <string_view>

namespace torvane::PhoneCommands {

namespace {

using Kind = Command::Kind;

// What the command line changes lives in the settings file alone: a change that could not be written
// there did not happen.
constexpr const char* unsaved = "設定ファイルに書き込めなかったため、取り消せませんでした\n";

std::string timeText(long long seconds) {
    return text::localTime(seconds, "%Y-%m-%d %H:%M", "-");
}

int pair(const Command& command, Settings& settings, const std::optional<std::string>& address,
         const Terminal& terminal) {
    if (!address) {
        if (ListenPlan::parse(settings.string(Config::Key::listenAddresses).value_or("lan")).narrowed())
            terminal.err << "設定 listenAddresses のアドレスに、スマホから届くものがありません\n";
        else
            terminal.err << "ネットワークのアドレスが見つかりません。Wi-"
                            "Fi（またはテザリング）に繋がっているか確認してください\n";
        return 1;
    }
    PhoneRegistry phones(settings);
    const auto code = phones.newCode(command.name);
    const std::string url =
        code ? Server::pairingURL(*address, Pairing::rememberedPort(&settings), *code) : std::string();
    const auto picture = code && command.kind != Kind::pairingURL ? QRCode::text(url) : std::nullopt;
    if (!code || (command.kind != Kind::pairingURL && !picture)) {
        terminal.err << "ペアリング用のURLを作れませんでした\n";
        return 1;
    }
    if (!settings.boolean(Config::Key::phoneLink).value_or(false))
        terminal.err
            << "スマホ連携は停止中です（メニューから開始するか、設定を phoneLink=true にしてください）\n";
    if (command.kind != Kind::pairingQR)
        terminal.out << url << '\n';
    if (command.kind != Kind::pairingURL)
        terminal.out << *picture;
    terminal.err << "10分以内にスマホで読み取ってください。このURLで登録できるスマホは1台だけです\n";
    return 0;
}

int revokeAll(const Command& command, PhoneRegistry& phones, const Terminal& terminal) {
    const std::size_t count = phones.phones().size();
    if (count == 0) {
        terminal.err << "登録済みのスマホはありません\n";
        return 0;
    }
    if (!command.yes) {
        if (!terminal.interactive) {
            terminal.err
                << "確認できないため取り消しませんでした。確認なしで取り消すには --yes を付けてください\n";
            return 1;
        }
        terminal.err << "すべてのスマホ（" << count << "台）の接続を取り消します。よろしいですか？ [y/N] ";
        std::string answer;
        std::getline(terminal.in, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            terminal.err << "取り消しませんでした\n";
            return 1;
        }
    }
    const auto revoked = phones.revokeAll();
    if (!revoked) {
        terminal.err << unsaved;
        return 1;
    }
    terminal.out << *revoked << "台のスマホの接続を取り消しました\n";
    return 0;
}

} // namespace

std::optional<Command> parse(std::span<char* const> args) {
    if (args.empty())
        return std::nullopt;
    const std::string_view first = args[0];
    static constexpr std::pair<std::string_view, Kind> commands[] = {{"--pair", Kind::pair},
                                                                     {"--pairing-url", Kind::pairingURL},
                                                                     {"--pairing-qr", Kind::pairingQR},
                                                                     {"--phones", Kind::phones},
                                                                     {"--revoke", Kind::revoke},
                                                                     {"--revoke-all", Kind::revokeAll},
                                                                     {"--renew-token", Kind::renewToken}};
    const auto* found = std::find_if(std::begin(commands), std::end(commands),
                                     [&](const auto& entry) { return entry.first == first; });
    if (found == std::end(commands))
        return std::nullopt;
    Command command{found->second, {}, false};
    const auto rest = args.subspan(1);
    const bool pairing =
        command.kind == Kind::pair || command.kind == Kind::pairingURL || command.kind == Kind::pairingQR;
    if (command.kind == Kind::revoke && rest.size() == 1 && *rest[0] != '\0' && *rest[0] != '-')
        command.name = rest[0];
    else if (pairing && rest.size() == 2 && std::string_view(rest[0]) == "--name" && *rest[1] != '\0')
        command.name = rest[1];
    else if (command.kind == Kind::revokeAll && rest.size() == 1 && std::string_view(rest[0]) == "--yes")
        command.yes = true;
    else if (!rest.empty() || command.kind == Kind::revoke)
        return std::nullopt;
    return command;
}

int run(const Command& command, Settings& settings, const std::optional<std::string>& address,
        Terminal terminal) {
    PhoneRegistry phones(settings);
    switch (command.kind) {
    case Kind::pair:
    case Kind::pairingURL:
    case Kind::pairingQR:
        return pair(command, settings, address, terminal);
    case Kind::phones: {
        const auto list = phones.phones();
        if (list.empty())
            terminal.err << "登録済みのスマホはありません\n";
        for (const PhoneRegistry::Phone& phone : list)
            terminal.out << phone.name << '\t' << phone.id << "\t登録 " << timeText(phone.paired)
                         << "\t最終接続 " << timeText(phone.lastSeen) << '\n';
        return 0;
    }
    case Kind::revoke:
        if (const auto revoked = phones.revoke(command.name)) {
            if (!revoked->stored) {
                terminal.err << unsaved;
                return 1;
            }
            terminal.out << "「" << revoked->name << "」の接続を取り消しました\n";
            return 0;
        }
        terminal.err << "「" << command.name
                     << "」というスマホは登録されていません（torvane --phones で確かめられます）\n";
        return 1;
    case Kind::revokeAll:
        return revokeAll(command, phones, terminal);
    case Kind::renewToken:
        if (!PairingSecret(settings).regenerate()) {
            terminal.err << "設定ファイルに書き込めなかったため、合言葉を作り直せませんでした\n";
            return 1;
        }
        terminal.out << "スクリプト用の合言葉を作り直しました（スマホの登録はそのままです）\n";
        return 0;
    }
    return 1;
}

} // namespace torvane::PhoneCommands
