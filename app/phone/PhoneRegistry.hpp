#pragma once

#include "app/core/Settings.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/Token.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// The phones paired with this computer, each with a random key of its own; the phones revoked, whose
// keys are kept so that such a phone can be told so, sealed; and the pairing codes not yet used. All
// of it lives in the settings, which the command line (another process) changes as well: every
// change is one read-modify-write under Settings::exclusive, and every look reads the settings
// afresh. Thread-safe.
class PhoneRegistry {
public:
    using Clock = std::function<long long()>; // seconds: since the epoch, or since boot

    // A pairing code is good for one pairing within ten minutes.
    static constexpr long long codeSeconds = 600;
    // A phone's last-seen time is written at most this often.
    static constexpr long long seenSeconds = 600;
    static constexpr std::size_t codesKept = 16;
    static constexpr std::size_t tombstonesKept = 64;

    struct Phone {
        std::string id; // not secret: it names the key on the wire
        std::string name;
        seal::Key key{};
        long long paired = 0;   // seconds since the epoch; for a code: its end on the boot clock
        long long lastSeen = 0; // for a revoked phone: when it was revoked; for a code: its end
    };
    enum class Kind { phone, revoked, code };
    struct Entry {
        Kind kind;
        seal::Key key;
    };

    explicit PhoneRegistry(Settings& settings, token::RandomSource random = token::secureRandom,
                           Clock clock = systemSeconds, Clock boot = bootSeconds);

    // A fresh pairing code, "ID.KEY", for the pairing URL's fragment: the key seals the exchange
    // that gives the phone a key of its own. `name`, when given, names that phone. None when no
    // random bytes can be had or it cannot be stored.
    std::optional<std::string> newCode(std::string_view name = {});
    // The codes not yet used are no longer good.
    void dropCodes();

    // The key named `id`: a phone's, a revoked phone's, or an unused code's within its ten minutes.
    std::optional<Entry> find(std::string_view id);
    // Uses up the code `codeId` for a new phone, named as the code says or else `offered` (made
    // printable, short and unique). None when the code is unknown, used or expired.
    std::optional<Phone> redeem(std::string_view codeId, std::string_view offered);
    // The phone `id` was heard from now.
    void seen(std::string_view id);

    std::vector<Phone> phones();
    struct Revoked {
        std::string name;
        bool stored; // false: it holds for this process only (Settings could not save it)
    };
    // Revokes the phone of this name (or id); none when there is no such phone.
    std::optional<Revoked> revoke(std::string_view nameOrId);
    // Revokes every phone; how many there were, or none when that could not be stored.
    std::optional<std::size_t> revokeAll();

    static long long systemSeconds();
    static long long bootSeconds();

private:
    struct Lists {
        std::vector<Phone> phones;
        std::vector<Phone> revoked;
        std::vector<Phone> codes; // a code as a phone to be: the name it will have, if given
    };
    Lists read() const;
    // Runs `change` on the lists as stored now and stores each list it changed; whether all of that
    // was stored.
    bool update(const std::function<void(Lists&)>& change);
    std::optional<std::string> freshId();
    bool live(const Phone& code) const;

    Settings& settings_;
    const token::RandomSource random_;
    const Clock clock_;
    const Clock boot_;
    std::mutex mutex_;
    std::map<std::string, long long, std::less<>> seenWritten_; // guarded by mutex_
};

} // namespace torvane
