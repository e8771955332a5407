#pragma once

#include "helper/SleepControl.hpp"

#include <optional>
#include <string>
#include <vector>

namespace torvane::test {

// A system sleep setting in memory. It behaves like a real one: a successful switch changes what the
// query reports. Every call is recorded as "query", "set 1", "set 0" or "restore".
class FakeSleepControl : public helper::SleepControl {
public:
    bool disabled = false;      // the system's setting
    bool queryAnswers = true;   // false: the query gives no answer
    bool switchSucceeds = true; // false: set and restore fail and change nothing
    std::vector<std::string> calls;

    std::optional<bool> currentSleepDisabled() override {
        calls.push_back("query");
        if (!queryAnswers)
            return std::nullopt;
        return disabled;
    }
    void setSleepDisabled(bool value) override {
        calls.push_back(value ? "set 1" : "set 0");
        if (switchSucceeds)
            disabled = value;
    }
    bool restoreSleep() override {
        calls.push_back("restore");
        if (switchSucceeds)
            disabled = false;
        return switchSucceeds;
    }

    // The calls that changed or tried to change the setting, queries left out.
    std::vector<std::string> switches() const {
        std::vector<std::string> result;
        for (const auto& call : calls)
            if (call != "query")
                result.push_back(call);
        return result;
    }
};

} // namespace torvane::test
