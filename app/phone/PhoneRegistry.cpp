#include "app/phone/PhoneRegistry.hpp"

#include "app/core/Config.hpp"
#include "common/FileChange.hpp"
#include "common/Text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <sodium.h>

namespace torvane {

namespace {

// Each list is one setting: entries separated by "|", each of five fields separated by spaces:
// id, key (URL-safe base64), two times in seconds, the name in URL-safe base64.
constexpr char entrySeparator = '|';
constexpr std::size_t idBytes = 9; // 12 characters

// Every part, the empty ones too (an empty name); none of an empty text.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    if (text.empty()) {
        return parts;
    }
    for (auto end = text.find(separator); end != std::string_view::npos; end = text.find(separator)) {
        parts.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    parts.push_back(text);
    return parts;
}

std::optional<long long> number(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() ? std::optional(value) : std::nullopt;
}

std::optional<std::string> nameFromText(std::string_view text) {
    std::string name(text.size(), '\0');
    std::size_t size = 0;
    if (sodium_init() < 0 || sodium_base642bin(reinterpret_cast<unsigned char*>(name.data()), name.size(),
                                               text.data(), text.size(), nullptr, &size, nullptr,
                                               sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0) {
        return std::nullopt;
    }
    name.resize(size);
    return name;
}

std::string nameText(std::string_view name) {
    return token::base64Url({reinterpret_cast<const unsigned char*>(name.data()), name.size()});
}

// One stored entry.
std::optional<PhoneRegistry::Phone> parseEntry(std::string_view text) {
    const auto fields = split(text, ' ');
    if (fields.size() != 5 || fields[0].empty()) {
        return std::nullopt;
    }
    const auto key = seal::keyFromText(fields[1]);
    const auto first = number(fields[2]);
    const auto second = number(fields[3]);
    const auto name = nameFromText(fields[4]);
    if (!key || !first || !second || !name) {
        return std::nullopt;
    }
    return PhoneRegistry::Phone{std::string(fields[0]), *name, *key, *first, *second};
}

std::vector<PhoneRegistry::Phone> parseList(const std::optional<std::string>& text) {
    std::vector<PhoneRegistry::Phone> list;
    const std::string all = text.value_or("");
    for (const std::string_view entry : split(all, entrySeparator)) {
        if (auto phone = parseEntry(entry)) {
            list.push_back(std::move(*phone));
        }
    }
    return list;
}

std::string formatList(const std::vector<PhoneRegistry::Phone>& list) {
    std::string text;
    for (const auto& phone : list) {
        if (!text.empty()) {
            text += entrySeparator;
        }
        text += phone.id + ' ' + seal::keyText(phone.key) + ' ' + std::to_string(phone.paired) + ' ' +
                std::to_string(phone.lastSeen) + ' ' + nameText(phone.name);
    }
    return text;
}

// Printable, on one line, at most 40 bytes of UTF-8; "スマホ" when nothing is left.
std::string cleanName(std::string_view offered) {
    std::string name;
    for (const char c : text::decodeUtf8Lossy(offered)) {
        const auto byte = static_cast<unsigned char>(c);
        name += byte < 0x20 || byte == 0x7f ? ' ' : c;
    }
    name = std::string(text::trimWhitespaceAndNewlines(name));
    if (name.size() > 40) {
        std::size_t end = 40;
        while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
            --end;
        }
        name = std::string(text::trimWhitespaceAndNewlines(name.substr(0, end)));
    }
    return name.empty() ? "スマホ" : name;
}

} // namespace

PhoneRegistry::PhoneRegistry(Settings& settings, token::RandomSource random, Clock clock, Clock boot)
    : settings_(settings), random_(std::move(random)), clock_(std::move(clock)), boot_(std::move(boot)) {}

long long PhoneRegistry::bootSeconds() {
    return static_cast<long long>(bootNow().count());
}

// A code counts for its ten minutes on the boot clock, which no one steps; the wall clock only tells
// a code of an earlier boot (whose end on the boot clock means nothing now) and may end one early.
bool PhoneRegistry::live(const Phone& code) const {
    const long long boot = boot_();
    return code.lastSeen > clock_() && code.paired > boot && code.paired - boot <= codeSeconds;
}

long long PhoneRegistry::systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

PhoneRegistry::Lists PhoneRegistry::read() const {
    return {parseList(settings_.string(Config::Key::phones)),
            parseList(settings_.string(Config::Key::revokedPhones)),
            parseList(settings_.string(Config::Key::pairingCodes))};
}

bool PhoneRegistry::update(const std::function<void(Lists&)>& change) {
    const std::lock_guard lock(mutex_);
    bool stored = true;
    settings_.exclusive([&] {
        const Lists before = read();
        Lists after = before;
        change(after);
        std::erase_if(after.codes, [this](const Phone& code) { return !live(code); });
        if (after.codes.size() > codesKept) {
            after.codes.erase(after.codes.begin(), after.codes.end() - codesKept);
        }
        if (after.revoked.size() > tombstonesKept) {
            after.revoked.erase(after.revoked.begin(), after.revoked.end() - tombstonesKept);
        }
        // A used code goes first: should the rest not be stored, it must not be usable again.
        for (const auto& [key, list, old] :
             {std::tuple{Config::Key::pairingCodes, &after.codes, &before.codes},
              std::tuple{Config::Key::revokedPhones, &after.revoked, &before.revoked},
              std::tuple{Config::Key::phones, &after.phones, &before.phones}}) {
            if (const std::string text = formatList(*list); text != formatList(*old)) {
                stored = settings_.setString(key, text) && stored;
            }
        }
    });
    return stored;
}

std::optional<std::string> PhoneRegistry::freshId() {
    std::array<unsigned char, idBytes> bytes{};
    if (!random_ || !random_(bytes)) {
        return std::nullopt;
    }
    return token::base64Url(bytes);
}

std::optional<std::string> PhoneRegistry::newCode(std::string_view name) {
    const auto id = freshId();
    seal::Key key{};
    if (!id || !random_(key)) {
        return std::nullopt;
    }
    const std::string given = name.empty() ? std::string() : cleanName(name);
    // A code not stored would not outlive this process: the command line's would be useless.
    if (!update([&](Lists& lists) {
            lists.codes.push_back({*id, given, key, boot_() + codeSeconds, clock_() + codeSeconds});
        })) {
        return std::nullopt;
    }
    return *id + "." + seal::keyText(key);
}

void PhoneRegistry::dropCodes() {
    update([](Lists& lists) { lists.codes.clear(); });
}

std::optional<PhoneRegistry::Entry> PhoneRegistry::find(std::string_view id) {
    // No lock: the server's thread must not wait behind another process's change.
    const Lists lists = read();
    for (const auto& [kind, list] :
         {std::pair{Kind::phone, &lists.phones}, std::pair{Kind::revoked, &lists.revoked}}) {
        for (const Phone& phone : *list) {
            if (phone.id == id) {
                return Entry{kind, phone.key};
            }
        }
    }
    for (const Phone& code : lists.codes) {
        if (code.id == id && live(code)) {
            return Entry{Kind::code, code.key};
        }
    }
    return std::nullopt;
}

std::optional<PhoneRegistry::Phone> PhoneRegistry::redeem(std::string_view codeId, std::string_view offered) {
    const auto id = freshId();
    seal::Key key{};
    if (!id || !random_(key)) {
        return std::nullopt;
    }
    std::optional<Phone> paired;
    update([&](Lists& lists) {
        const long long now = clock_();
        const auto code = std::find_if(lists.codes.begin(), lists.codes.end(),
                                       [&](const Phone& code) { return code.id == codeId && live(code); });
        if (code == lists.codes.end()) {
            return;
        }
        const std::string base = code->name.empty() ? cleanName(offered) : code->name;
        lists.codes.erase(code);
        std::string name = base;
        for (int n = 2; std::any_of(lists.phones.begin(), lists.phones.end(),
                                    [&](const Phone& phone) { return phone.name == name; });
             ++n) {
            name = base + " (" + std::to_string(n) + ")";
        }
        paired = Phone{*id, name, key, now, now};
        lists.phones.push_back(*paired);
    });
    if (paired) {
        const std::lock_guard lock(mutex_);
        seenWritten_[paired->id] = paired->lastSeen;
    }
    return paired;
}

void PhoneRegistry::seen(std::string_view id) {
    const long long now = clock_();
    {
        const std::lock_guard lock(mutex_);
        const auto written = seenWritten_.find(id);
        if (written != seenWritten_.end() && now - written->second < seenSeconds && now >= written->second) {
            return;
        }
        seenWritten_.insert_or_assign(std::string(id), now);
    }
    update([&](Lists& lists) {
        for (Phone& phone : lists.phones) {
            if (phone.id == id) {
                phone.lastSeen = now;
            }
        }
    });
}

std::vector<PhoneRegistry::Phone> PhoneRegistry::phones() {
    return read().phones;
}

std::optional<PhoneRegistry::Revoked> PhoneRegistry::revoke(std::string_view nameOrId) {
    std::optional<Revoked> revoked;
    const bool stored = update([&](Lists& lists) {
        auto found = std::find_if(lists.phones.begin(), lists.phones.end(),
                                  [&](const Phone& phone) { return phone.name == nameOrId; });
        if (found == lists.phones.end()) {
            found = std::find_if(lists.phones.begin(), lists.phones.end(),
                                 [&](const Phone& phone) { return phone.id == nameOrId; });
        }
        if (found == lists.phones.end()) {
            return;
        }
        revoked = Revoked{found->name, false};
        found->lastSeen = clock_();
        lists.revoked.push_back(std::move(*found));
        lists.phones.erase(found);
    });
    if (revoked) {
        revoked->stored = stored;
    }
    return revoked;
}

std::optional<std::size_t> PhoneRegistry::revokeAll() {
    std::size_t count = 0;
    const bool stored = update([&](Lists& lists) {
        count = lists.phones.size();
        for (Phone& phone : lists.phones) {
            phone.lastSeen = clock_();
            lists.revoked.push_back(std::move(phone));
        }
        lists.phones.clear();
    });
    return stored ? std::optional(count) : std::nullopt;
}

} // namespace torvane
