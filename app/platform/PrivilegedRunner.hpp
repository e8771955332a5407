#pragma once

#include <string>
#include <vector>

namespace torvane {

// What a privileged run of a script came to.
struct PrivilegedRunResult {
    bool started = false;
    std::string startFailure; // the user-facing text when the runner itself could not be started
    int exitStatus = -1;      // the script's status; a dismissed password prompt leaves its own status
    std::string out;
    std::string err; // a dismissed prompt always contains "User canceled. (-128)" here
};

// Runs "/bin/bash SCRIPT ARGS…" as root after the system has asked the user for administrator rights.
// Blocks until the prompt and the script are over; both output streams are collected in full.
class PrivilegedRunner {
public:
    virtual ~PrivilegedRunner() = default;
    virtual PrivilegedRunResult run(const std::string& scriptPath,
                                    const std::vector<std::string>& arguments) = 0;
};

} // namespace torvane
