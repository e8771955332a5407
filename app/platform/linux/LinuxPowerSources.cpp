#include "app/platform/linux/LinuxPowerSources.hpp"

#include "app/platform/linux/SysfsText.hpp"

#include <algorithm>
#include <system_error>

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

    // External power is judged from the Mains and USB supplies; a machine without any (some tablets,
    // virtual machines) only has the battery's own status to go by.
    const bool hasExternal =
        std::any_of(supplies.begin(), supplies.end(), [](const Supply& s) { return s.isExternalPower(); });
    const bool externalOnline = std::any_of(supplies.begin(), supplies.end(), [](const Supply& s) {
        return s.isExternalPower() && s.online.value_or(0) > 0;
    });

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
            snapshot.sources.push_back(std::move(d));
            continue;
        }
        d["Type"] = std::string("InternalBattery");
        if (usable(s.energyNow, s.energyFull)) {
            d["Current Capacity"] = *s.energyNow;
            d["Max Capacity"] = *s.energyFull;
        } else if (usable(s.chargeNow, s.chargeFull)) {
            d["Current Capacity"] = *s.chargeNow;
            d["Max Capacity"] = *s.chargeFull;
        } else if (s.capacity) {
            d["Current Capacity"] = *s.capacity;
            d["Max Capacity"] = std::int64_t{100};
        }
        const bool onAC = hasExternal ? externalOnline : s.status != "Discharging";
        d["Power Source State"] = std::string(onAC ? "AC Power" : "Battery Power");
        snapshot.sources.push_back(std::move(d));
    }
    return snapshot;
}

} // namespace torvane
