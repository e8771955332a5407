#pragma once

#include "app/platform/PowerAssertions.hpp"

#include <set>
#include <string>
#include <vector>

namespace torvane::test {

// Hands out identifiers 1, 2, ... unless told to refuse a type; records every call.
class FakePowerAssertions final : public PowerAssertions {
public:
    struct Call {
        std::string type;
        std::string name;
    };

    AssertionResult create(std::string_view type, std::string_view name) override {
        created.push_back({std::string(type), std::string(name)});
        if (type == PowerAssertions::noIdleSleep && idleRefusal != 0)
            return {.code = idleRefusal};
        if (type == PowerAssertions::preventSleep && lidRefusal != 0)
            return {.code = lidRefusal};
        const AssertionID id = nextID++;
        held.insert(id);
        return {.code = 0, .identifier = id};
    }

    void release(AssertionID identifier) override {
        released.push_back(identifier);
        held.erase(identifier);
    }

    std::int32_t idleRefusal = 0; // non-zero: create() of that type fails with this code
    std::int32_t lidRefusal = 0;
    AssertionID nextID = 1;
    std::vector<Call> created;
    std::vector<AssertionID> released;
    std::set<AssertionID> held;
};

} // namespace torvane::test
