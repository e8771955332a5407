#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

struct SubprocessOptions {
    // Past this the child is killed (SIGKILL) and the run counts as failed.
    std::optional<std::chrono::milliseconds> timeLimit = std::nullopt;
    // Replaces the inherited environment when set ("NAME=value" entries).
    std::optional<std::vector<std::string>> environment = std::nullopt;
    // Once readable (see Cancellation), the child is killed (SIGKILL) and the run ends as cancelled.
    // A child that may no longer be signalled (one that has made itself root) is not waited for.
    int cancelFd = -1;
    // Given to the child on standard input, then end of file; without it standard input is /dev/null.
    // Text passed here stays out of the child's argv, which every local user can read in /proc.
    std::optional<std::string> input = std::nullopt;
};

struct SubprocessResult {
    bool started = false;
    std::string startError; // the system's text when the child could not be started
    bool timedOut = false;  // killed at the time limit
    bool cancelled = false; // ended through cancelFd
    bool signaled = false;  // ended by a signal (exitStatus then holds its number)
    int exitStatus = -1;
    std::string out;
    std::string err;

    bool ok() const { return started && !timedOut && !signaled && exitStatus == 0; }
};

// Runs `executable` (a path, never searched, never through a shell) with `arguments` after argv[0].
// Standard input is /dev/null (or `input`) and no other descriptor of ours is inherited; standard output and
// error are drained together, so a child that fills either pipe cannot stall. Returns once the child has
// exited (or was killed at the time limit).
SubprocessResult runSubprocess(const std::string& executable, const std::vector<std::string>& arguments,
                               const SubprocessOptions& options = {});

} // namespace torvane
