#include "app/platform/linux/LinuxPowerSources.hpp"

#include "app/platform/linux/SysfsText.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <utility>

namespace torvane {

namespace {

struct Supply {
    std::string name;
    std::optional<std::string> type;
    std::optional<std::string> scope;
    std::optional<std::string> present;
    std::optional<std::string> status;
    std::optional<std::int64_t> online;
    std::optional<std::int64_t> energyNow, energyFull;
    std::optional<std::int64_t> chargeNow, chargeFull;
    std::optional<std::int64_t> capacity;

    bool saysOnline() const { return online.has_value(); }
    // A peripheral's battery (mouse, headset) has scope Device; a battery slot can report itself empty.
    bool isSystemBattery() const { return type == "Battery" && scope != "Device" && present != "0"; }
    // USB supplies report "USB" or, on older kernels, "USB_C", "USB_PD" and the like.
    bool isExternalPower() const { return type && (*type == "Mains" || type->starts_with("USB")); }
};

Supply readSupply(const std::filesystem::path& dir, std::string name) {
    Supply s;
    s.name = std::move(name);
    s.type = sysfs::readAttribute(dir / "type");
    s.scope = sysfs::readAttribute(dir / "scope");
    s.present = sysfs::readAttribute(dir / "present");
    s.status = sysfs::readAttribute(dir / "status");
    s.online = sysfs::readInteger(dir / "online");
    s.energyNow = sysfs::readInteger(dir / "energy_now");
    s.energyFull = sysfs::readInteger(dir / "energy_full");
    s.chargeNow = sysfs::readInteger(dir / "charge_now");
    s.chargeFull = sysfs::readInteger(dir / "charge_full");
    s.capacity = sysfs::readInteger(dir / "capacity");
    return s;
}

// A pair counts only when both halves are there and the full value is usable; a worn-out gauge that
// reports energy_full 0 still has its charge_* or capacity to offer.
bool usable(const std::optional<std::int64_t>& now, const std::optional<std::int64_t>& full) {
    return now && full && *full > 0;
}

// A worn battery's gauge can run a little past its last full charge before it learns the new one:
// that is a full battery, not a reading out of range.
std::pair<std::int64_t, std::int64_t> level(std::int64_t now, std::int64_t full) {
    return {now > full && now - full <= full / 20 ? full : now, full};
}

enum class Unit { energy, charge, percent, none };

Unit unitOf(const Supply& s) {
    if (usable(s.energyNow, s.energyFull))
        return Unit::energy;
    if (usable(s.chargeNow, s.chargeFull))
        return Unit::charge;
    return s.capacity ? Unit::percent : Unit::none;
}

// Current and full capacity of the batteries taken together. Energy and charge add up only when every
// battery reports the same one; otherwise each battery's percent counts alike. Batteries without any
// reading are left out; none with one gives nothing.
std::optional<std::pair<std::int64_t, std::int64_t>>
combinedCapacity(const std::vector<const Supply*>& batteries) {
    std::vector<std::pair<const Supply*, Unit>> read;
    for (const Supply* b : batteries)
        if (const Unit unit = unitOf(*b); unit != Unit::none)
            read.emplace_back(b, unit);
    if (read.empty())
        return std::nullopt;
    const Unit common =
        std::all_of(read.begin(), read.end(), [&](const auto& r) { return r.second == read[0].second; })
            ? read[0].second
            : Unit::percent;
    std::int64_t now = 0, full = 0;
    for (const auto& [b, unit] : read) {
        std::pair<std::int64_t, std::int64_t> part{0, 100};
        if (common == Unit::energy)
            part = level(*b->energyNow, *b->energyFull);
        else if (common == Unit::charge)
            part = level(*b->chargeNow, *b->chargeFull);
        else if (unit == Unit::percent)
            part.first = *b->capacity;
        else { // energy or charge among batteries without it: its own percent
            const auto [n, f] = unit == Unit::energy ? level(*b->energyNow, *b->energyFull)
                                                     : level(*b->chargeNow, *b->chargeFull);
            part.first = static_cast<std::int64_t>(
                std::clamp(std::round(100.0 * static_cast<double>(n) / static_cast<double>(f)), -1e15, 1e15));
        }
        // A gauge reporting nonsense must not overflow the sum.
        if (__builtin_add_overflow(now, part.first, &now) || __builtin_add_overflow(full, part.second, &full))
            return std::nullopt;
    }
    return std::pair{now, full};
}

// Without a supply that says whether it is online, only the batteries' status tells. "Unknown", or no
// status at all, says nothing: such a battery may well be draining, so it must not read as mains.
std::optional<bool> onACByStatus(const std::vector<const Supply*>& batteries) {
    const auto any = [&](auto pred) { return std::any_of(batteries.begin(), batteries.end(), pred); };
    if (any([](const Supply* b) { return b->status == "Charging"; }))
        return true;
    if (any([](const Supply* b) { return b->status == "Discharging"; }))
        return false;
    if (any([](const Supply* b) { return b->status != "Full" && b->status != "Not charging"; }))
        return std::nullopt;
    return true; // full or held at a charge limit: both happen only on external power
}

} // namespace

LinuxPowerSources::LinuxPowerSources(std::filesystem::path root) : root_(std::move(root)) {}

PowerSnapshot LinuxPowerSources::snapshot() {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());

    std::vector<Supply> supplies;
    supplies.reserve(names.size());
    for (auto& name : names)
        supplies.push_back(readSupply(root_ / name, name));

    // External power is judged from the Mains and USB supplies that say whether they are online; a
    // machine without any (some tablets, virtual machines) only has the battery's own status to go by.
    const bool externalSays = std::any_of(supplies.begin(), supplies.end(), [](const Supply& s) {
        return s.isExternalPower() && s.saysOnline();
    });
    const bool externalOnline = std::any_of(supplies.begin(), supplies.end(), [](const Supply& s) {
        return s.isExternalPower() && s.online.value_or(0) > 0;
    });

    // Every system battery reads as one internal battery (a laptop with BAT0 and BAT1 drains both):
    // the sum of what they hold over the sum of what they can hold, as the desktop's own indicator does.
    std::vector<const Supply*> batteries;
    for (const Supply& s : supplies)
        if (s.type && s.isSystemBattery())
            batteries.push_back(&s);

    PowerSnapshot snapshot;
    for (const Supply& s : supplies) {
        if (!s.type) { // not a supply, or one we may not read
            snapshot.sources.push_back(std::nullopt);
            continue;
        }
        PowerDescription d;
        d["Name"] = s.name;
        if (!s.isSystemBattery()) {
            d["Type"] = *s.type;
            // Says whether mains is there even when no battery can be read.
            if (s.isExternalPower() && s.saysOnline())
                d["Power Source State"] = std::string(*s.online > 0 ? "AC Power" : "Off Line");
            snapshot.sources.push_back(std::move(d));
            continue;
        }
        if (&s != batteries.front())
            continue; // counted in the first one
        d["Type"] = std::string("InternalBattery");
        if (const auto capacity = combinedCapacity(batteries)) {
            d["Current Capacity"] = capacity->first;
            d["Max Capacity"] = capacity->second;
        }
        if (const std::optional<bool> onAC = externalSays ? externalOnline : onACByStatus(batteries))
            d["Power Source State"] = std::string(*onAC ? "AC Power" : "Battery Power");
        snapshot.sources.push_back(std::move(d));
    }
    return snapshot;
}

} // namespace torvane
