#include "app/install/OsascriptRunner.hpp"

#include "app/install/AppleScriptSource.hpp"
#include "common/Subprocess.hpp"

namespace torvane {

OsascriptRunner::OsascriptRunner(std::string osascriptPath) : osascriptPath_(std::move(osascriptPath)) {}

PrivilegedRunResult OsascriptRunner::run(const std::string& scriptPath,
                                         const std::vector<std::string>& arguments) {
    // No time limit: the password prompt stays open as long as the user needs.
    PrivilegedRunResult result;
    if (cancellation().isCancelled()) {
        result.cancelled = true;
        return result;
    }
    const SubprocessResult child = runSubprocess(
        osascriptPath_, {"-e", appleScriptSource(scriptPath, arguments)}, {.cancelFd = cancellation().fd()});
    result.cancelled = child.cancelled;
    if (!child.started) {
        result.startFailure = "osascript を起動できませんでした: " + child.startError;
        return result;
    }
    result.started = true;
    // A runner killed by a signal did not succeed; give it a status no script returns on success.
    result.exitStatus = child.signaled ? 128 + child.exitStatus : child.exitStatus;
    result.out = child.out;
    result.err = child.err;
    return result;
}

} // namespace torvane
