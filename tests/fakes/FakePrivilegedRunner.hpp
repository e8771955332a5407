#pragma once

#include "app/platform/PrivilegedRunner.hpp"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace torvane::test {

// Answers each run with the next scripted result (exit 0 when none is left) and remembers the calls.
class FakePrivilegedRunner : public PrivilegedRunner {
public:
    struct Call {
        std::string scriptPath;
        std::vector<std::string> arguments;
    };

    std::deque<PrivilegedRunResult> results;
    std::vector<Call> calls;
    std::function<void()> onRun; // lets a test see what happened before the run

    PrivilegedRunResult run(const std::string& scriptPath,
                            const std::vector<std::string>& arguments) override {
        calls.push_back({scriptPath, arguments});
        if (onRun)
            onRun();
        if (results.empty()) {
            PrivilegedRunResult success;
            success.started = true;
            success.exitStatus = 0;
            return success;
        }
        auto next = results.front();
        results.pop_front();
        return next;
    }
};

} // namespace torvane::test
