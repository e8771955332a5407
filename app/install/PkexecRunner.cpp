#include "app/install/PkexecRunner.hpp"

#include "common/Subprocess.hpp"

namespace torvane {

PkexecRunner::PkexecRunner(std::string pkexecPath) : pkexecPath_(std::move(pkexecPath)) {}

PrivilegedRunResult PkexecRunner::run(const std::string& scriptPath,
                                      const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"/bin/bash", scriptPath};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // No time limit: the password prompt stays open as long as the user needs.
    PrivilegedRunResult result;
    if (cancellation().isCancelled()) {
        result.cancelled = true;
        return result;
    }
    const SubprocessResult child = runSubprocess(pkexecPath_, argv, {.cancelFd = cancellation().fd()});
    result.cancelled = child.cancelled;
    if (!child.started) {
        result.startFailure = "pkexec を起動できませんでした: " + child.startError;
        return result;
    }
    result.started = true;
    result.exitStatus = child.signaled ? 128 + child.exitStatus : child.exitStatus;
    result.out = child.out;
    result.err = child.err;
    if (!child.signaled && child.exitStatus == dismissedStatus) {
        if (!result.err.empty() && result.err.back() != '\n')
            result.err += '\n';
        result.err += cancelText;
    }
    return result;
}

} // namespace torvane
