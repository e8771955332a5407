#include "app/core/RangedSetting.hpp"

namespace torvane {

RangedSetting::Value RangedSetting::read(const Settings& settings) const {
    const std::optional<long long> stored = settings.integer(key_);
    if (stored && *stored >= low_ && *stored <= high_) {
        warned_.reset();
        return {static_cast<int>(*stored), std::nullopt};
    }
    // Text that is no number is out of range too; a key that is absent is simply the default.
    const std::optional<std::string> value = stored ? std::to_string(*stored) : settings.string(key_);
    if (!value || value == warned_)
        return {fallback_, std::nullopt};
    warned_ = value;
    return {fallback_, "WARN: 設定 " + std::string(key_) + "=" + *value + " は範囲外（" +
                           std::to_string(low_) + "〜" + std::to_string(high_) + "）のため既定値 " +
                           std::to_string(fallback_) + " を使います"};
}

} // namespace torvane
