#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace torvane {

// One value of a power source's description.
using PowerValue = std::variant<std::string, std::int64_t, bool>;
// A power source's description: "Type", "Current Capacity", "Max Capacity", "Power Source State", ...
using PowerDescription = std::map<std::string, PowerValue>;

struct PowerSnapshot {
    // One entry per source in the platform's stable order; nullopt where a source's description
    // could not be read. Empty when the platform has no sources or no snapshot at all.
    std::vector<std::optional<PowerDescription>> sources;
};

// The machine's power supplies, read afresh on every call. Thread-safe.
class PowerSources {
public:
    virtual ~PowerSources() = default;

    virtual PowerSnapshot snapshot() = 0;

    // The platform's, which the whole process shares, created on first use.
    static PowerSources& shared();
};

} // namespace torvane
