#include "app/power/PowerState.hpp"

#include <cmath>
#include <limits>

namespace torvane {

namespace {

template <class T> const T* valueOf(const PowerDescription& description, const char* key) {
    const auto it = description.find(key);
    return it == description.end() ? nullptr : std::get_if<T>(&it->second);
}

// Whole percent, halves away from zero; absent when the ratio does not fit an int (a gauge reporting
// nonsense must not make the conversion undefined).
std::optional<int> percentOf(std::int64_t current, std::int64_t maximum) {
    const double value = std::round(static_cast<double>(current) / static_cast<double>(maximum) * 100.0);
    if (!(value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max()))
        return std::nullopt;
    return static_cast<int>(value);
}

} // namespace

PowerState PowerState::current() {
    return from(PowerSources::shared());
}

PowerState PowerState::from(PowerSources& sources) {
    return from(sources.snapshot());
}

PowerState PowerState::from(const PowerSnapshot& snapshot) {
    std::optional<bool> externalOnline;
    for (const std::optional<PowerDescription>& source : snapshot.sources) {
        if (!source)
            continue;
        const std::string* type = valueOf<std::string>(*source, "Type");
        if (type && *type != "InternalBattery") {
            if (const std::string* sourceState = valueOf<std::string>(*source, "Power Source State"))
                externalOnline = externalOnline.value_or(false) || *sourceState == "AC Power";
            continue;
        }

        PowerState state;
        state.hasBattery = true;
        const std::int64_t* current = valueOf<std::int64_t>(*source, "Current Capacity");
        const std::int64_t* maximum = valueOf<std::int64_t>(*source, "Max Capacity");
        if (current && maximum && *maximum > 0)
            state.percent = percentOf(*current, *maximum);
        const std::string* sourceState = valueOf<std::string>(*source, "Power Source State");
        state.onAC = sourceState && *sourceState == "AC Power";
        state.powerSaid = sourceState != nullptr;
        return state;
    }
    PowerState state;
    state.onAC = externalOnline.value_or(true);
    state.powerSaid = externalOnline.has_value();
    return state;
}

std::string PowerState::description() const {
    if (!percent && hasBattery)
        return onAC ? "電源接続あり・残量不明" : "バッテリー駆動・残量不明";
    if (!percent)
        return onAC ? "常時電源（バッテリー未検出）" : "電源未接続（バッテリー未検出）";
    return (onAC ? "電源接続あり・" : "バッテリー駆動・") + std::to_string(*percent) + "%";
}

} // namespace torvane
