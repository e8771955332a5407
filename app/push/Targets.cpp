#include "app/push/Targets.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"

#include <algorithm>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace torvane::push {

namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

std::optional<std::string> part(CURLU* u, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(u, which, &value, 0) != CURLUE_OK || !value)
        return std::nullopt;
    std::string out(value);
    curl_free(value);
    return out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::optional<std::string> searchPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (dir.empty() || dir.front() != '/')
            continue; // a relative PATH entry would depend on where the app was started
        std::string candidate = std::string(dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

} // namespace

std::string Targets::description() const {
    std::string where;
    if (endpoint)
        where = endpoint->place;
    if (command) {
        const std::string& exe = command->executable;
        where += (where.empty() ? "" : "、") + std::string("コマンド ") + exe.substr(exe.rfind('/') + 1);
    }
    return where;
}

Parsed<Endpoint> parseEndpoint(std::string_view text) {
    if (text.empty())
        return {};
    if (std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; }))
        return {std::nullopt, "空白や制御文字を含んでいます"};
    const std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, std::string(text).c_str(), 0) != CURLUE_OK)
        return {std::nullopt, "URL として読めません"};
    const std::string scheme = lower(part(u.get(), CURLUPART_SCHEME).value_or(""));
    if (scheme != "http" && scheme != "https")
        return {std::nullopt, "http:// か https:// で始まる URL にしてください"};
    const std::optional<std::string> host = part(u.get(), CURLUPART_HOST);
    if (!host || host->empty())
        return {std::nullopt, "ホスト名がありません"};
    const std::string path = part(u.get(), CURLUPART_PATH).value_or("/");
    if (path.find_first_not_of('/') == std::string::npos)
        return {std::nullopt, "トピック名がありません（例: https://ntfy.sh/トピック名）"};
    std::string place = *host;
    if (const std::optional<std::string> port = part(u.get(), CURLUPART_PORT))
        place += ":" + *port;
    return {Endpoint{std::string(text), std::move(place)}, {}};
}

Parsed<Command> parseCommand(std::string_view json) {
    if (json.empty())
        return {};
    // A program alone (one item in the settings file) needs no brackets.
    const nlohmann::json doc = json.front() == '[' ? nlohmann::json::parse(json, nullptr, false)
                                                   : nlohmann::json::array({std::string(json)});
    if (doc.is_discarded() || !doc.is_array())
        return {std::nullopt,
                "文字列の JSON 配列にしてください（例: [\"/usr/bin/notify-tool\", \"--stdin\"]）"};
    if (doc.empty())
        return {std::nullopt, "空の配列です。最初の要素に実行するプログラムを書いてください"};
    std::vector<std::string> argv;
    for (const nlohmann::json& item : doc) {
        if (!item.is_string())
            return {std::nullopt, "要素はすべて文字列にしてください"};
        argv.push_back(item.get<std::string>());
    }
    Command command{argv.front(), {argv.begin() + 1, argv.end()}};
    if (command.executable.empty())
        return {std::nullopt, "最初の要素（プログラム）が空です"};
    if (command.executable.find('/') == std::string::npos) {
        std::optional<std::string> found = searchPath(command.executable);
        if (!found)
            return {std::nullopt, "プログラム " + command.executable + " が PATH に見つかりません"};
        command.executable = std::move(*found);
    } else if (command.executable.front() != '/') {
        return {std::nullopt, "プログラムは絶対パスか、PATH にある名前で指定してください"};
    } else if (::access(command.executable.c_str(), X_OK) != 0) {
        return {std::nullopt, "プログラム " + command.executable + " を実行できません"};
    }
    return {std::move(command), {}};
}

void TargetReader::warnOnce(std::string_view key, const std::string& value, const std::string& error) {
    std::string id = std::string(key) + "=" + value;
    if (std::find(warned_.begin(), warned_.end(), id) != warned_.end())
        return;
    warned_.push_back(std::move(id));
    // The value itself stays out of the log: a topic URL is as good as a password.
    Log::write("WARN: 設定 " + std::string(key) + " は使えないため無視します: " + error);
}

Targets TargetReader::read(const Settings& settings) {
    using namespace Config;
    Targets t;
    const std::string url = settings.string(Key::notifyURL).value_or("");
    Parsed<Endpoint> endpoint = parseEndpoint(url);
    t.endpoint = std::move(endpoint.value);
    if (!endpoint.error.empty())
        warnOnce(Key::notifyURL, url, endpoint.error);

    const std::string command = settings.string(Key::notifyCommand).value_or("");
    Parsed<Command> parsed = parseCommand(command);
    t.command = std::move(parsed.value);
    if (!parsed.error.empty())
        warnOnce(Key::notifyCommand, command, parsed.error);

    if (const std::optional<long long> lines = settings.integer(Key::notifyScreenLines)) {
        if (*lines >= 0 && *lines <= maxScreenLines)
            t.screenLines = static_cast<int>(*lines);
        else
            warnOnce(Key::notifyScreenLines, std::to_string(*lines),
                     "0 から " + std::to_string(maxScreenLines) +
                         " の整数にしてください（0: 画面を送らない）");
    } else if (settings.string(Key::notifyScreenLines).value_or("") != "") {
        warnOnce(Key::notifyScreenLines, *settings.string(Key::notifyScreenLines), "整数にしてください");
    }
    t.off = settings.boolean(Key::notifyOff).value_or(false);
    t.desktop = settings.boolean(Key::notifyDesktop).value_or(false);
    return t;
}

} // namespace torvane::push
