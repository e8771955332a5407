#pragma once

#include "common/UniqueFd.hpp"

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The control client's process: started with its standard input and output ours, nothing else inherited.
namespace torvane::control {

struct Spawned {
    pid_t pid = -1; // -1 when it could not be started (error says why)
    // A socket: writing to a client that has gone fails with EPIPE instead of raising SIGPIPE.
    UniqueFd input;
    UniqueFd output;
    std::string error;
};

// Standard error goes to /dev/null; the process leads a process group of its own.
Spawned spawnClient(const std::string& path, const std::vector<std::string>& arguments);

// -1 where the system has none.
int openPidFd(pid_t pid);

// Writes all of `bytes` to a socket before `deadline`; false if it could not.
bool writeAll(int fd, std::string_view bytes, std::chrono::steady_clock::time_point deadline);

} // namespace torvane::control
