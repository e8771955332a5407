#include "app/platform/Platform.hpp"
#include "app/platform/macos/CFHandle.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/ps/IOPowerSources.h>

namespace torvane {

namespace {

std::optional<std::string> text(CFStringRef string) {
    char buffer[512];
    if (!CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer);
}

// Values of other kinds are left out: the walk treats them as it treats a missing key.
std::optional<PowerDescription> describe(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFDictionaryGetTypeID())
        return std::nullopt;
    const auto dictionary = static_cast<CFDictionaryRef>(value);
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> keys(static_cast<std::size_t>(count)), values(static_cast<std::size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    PowerDescription description;
    for (CFIndex i = 0; i < count; ++i) {
        if (CFGetTypeID(keys[i]) != CFStringGetTypeID())
            return std::nullopt;
        const std::optional<std::string> key = text(static_cast<CFStringRef>(keys[i]));
        if (!key)
            return std::nullopt;
        const CFTypeID type = CFGetTypeID(values[i]);
        if (type == CFStringGetTypeID()) {
            if (auto string = text(static_cast<CFStringRef>(values[i])))
                description[*key] = *string;
        } else if (type == CFBooleanGetTypeID()) {
            description[*key] = CFBooleanGetValue(static_cast<CFBooleanRef>(values[i])) != 0;
        } else if (type == CFNumberGetTypeID() && !CFNumberIsFloatType(static_cast<CFNumberRef>(values[i]))) {
            std::int64_t number = 0;
            if (CFNumberGetValue(static_cast<CFNumberRef>(values[i]), kCFNumberSInt64Type, &number))
                description[*key] = number;
        }
    }
    return description;
}

class MacPowerSources final : public PowerSources {
public:
    PowerSnapshot snapshot() override {
        PowerSnapshot snapshot;
        const CFHandle<CFTypeRef> info(IOPSCopyPowerSourcesInfo());
        if (!info)
            return snapshot;
        const CFHandle<CFArrayRef> list(IOPSCopyPowerSourcesList(info.get()));
        if (!list || CFGetTypeID(list.get()) != CFArrayGetTypeID())
            return snapshot;
        for (CFIndex i = 0; i < CFArrayGetCount(list.get()); ++i) {
            // Not owned: the description belongs to the snapshot.
            const CFTypeRef source = CFArrayGetValueAtIndex(list.get(), i);
            snapshot.sources.push_back(describe(IOPSGetPowerSourceDescription(info.get(), source)));
        }
        return snapshot;
    }
};

} // namespace

std::unique_ptr<PowerSources> platform::makePowerSources() {
    return std::make_unique<MacPowerSources>();
}

} // namespace torvane
