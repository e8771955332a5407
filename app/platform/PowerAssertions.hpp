#pragma once

#include <cstdint>
#include <string_view>

namespace torvane {

using AssertionID = std::uint32_t;

struct AssertionResult {
    std::int32_t code = 0;      // 0: held; anything else is the platform's error code
    AssertionID identifier = 0; // meaningful only when code is 0

    bool ok() const { return code == 0; }
};

// User-level locks against sleep, each held until released by its identifier.
class PowerAssertions {
public:
    // The two kinds the power manager asks for.
    static constexpr std::string_view noIdleSleep = "NoIdleSleepAssertion";
    static constexpr std::string_view preventSleep = "InternalPreventSleep";

    virtual ~PowerAssertions() = default;

    // `type` is one of the kinds above; `name` says who holds it and why.
    virtual AssertionResult create(std::string_view type, std::string_view name) = 0;
    // Releases one identifier that create() handed out; others are ignored.
    virtual void release(AssertionID identifier) = 0;
};

} // namespace torvane
