#pragma once

#include "app/platform/PrivilegedRunner.hpp"

#include <string>

namespace torvane {

// macOS: an AppleScript "do shell script … with administrator privileges" run by osascript, which shows
// the system's password prompt. A dismissed prompt makes osascript fail with "User canceled. (-128)".
class OsascriptRunner : public PrivilegedRunner {
public:
    explicit OsascriptRunner(std::string osascriptPath = "/usr/bin/osascript");

    PrivilegedRunResult run(const std::string& scriptPath,
                            const std::vector<std::string>& arguments) override;

private:
    std::string osascriptPath_;
};

} // namespace torvane
