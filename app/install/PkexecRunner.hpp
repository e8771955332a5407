#pragma once

#include "app/platform/PrivilegedRunner.hpp"

#include <string>

namespace torvane {

// Linux: "pkexec /bin/bash SCRIPT ARGS…"; polkit's agent asks for the password. pkexec exits 126 when
// the user dismisses its prompt, which is reported in the same words as a cancelled macOS prompt.
class PkexecRunner : public PrivilegedRunner {
public:
    static constexpr int dismissedStatus = 126;
    static constexpr std::string_view cancelText = "User canceled. (-128)";

    explicit PkexecRunner(std::string pkexecPath = "/usr/bin/pkexec");

    PrivilegedRunResult run(const std::string& scriptPath,
                            const std::vector<std::string>& arguments) override;

private:
    std::string pkexecPath_;
};

} // namespace torvane
