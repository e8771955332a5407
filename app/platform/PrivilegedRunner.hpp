#pragma once

#include "common/Cancellation.hpp"

#include <string>
#include <vector>

namespace torvane {

// What a privileged run of a script came to.
struct PrivilegedRunResult {
    bool started = false;
    std::string startFailure; // the user-facing text when the runner itself could not be started
    int exitStatus = -1;      // the script's status; a dismissed password prompt leaves its own status
    std::string out;
    std::string err;        // a dismissed prompt always contains "User canceled. (-128)" here
    bool cancelled = false; // ended by cancel(): there is nothing to report
};

// Runs "/bin/bash SCRIPT ARGS…" as root after the system has asked the user for administrator rights.
// Blocks until the prompt and the script are over; both output streams are collected in full.
class PrivilegedRunner {
public:
    virtual ~PrivilegedRunner() = default;
    virtual PrivilegedRunResult run(const std::string& scriptPath,
                                    const std::vector<std::string>& arguments) = 0;

    // For the end of the application, from any thread: a run still at its prompt is ended with it, and
    // no later run starts. A script already running as root cannot be stopped by us and runs to its end.
    void cancel() { cancellation_.cancel(); }

protected:
    const Cancellation& cancellation() const { return cancellation_; }

private:
    Cancellation cancellation_;
};

} // namespace torvane
