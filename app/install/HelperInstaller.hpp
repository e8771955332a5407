#pragma once

#include "app/platform/PrivilegedRunner.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// Puts the daemon in place and takes it away again by running one of the two scripts shipped among the
// application's resources as root, through the platform's privileged runner. Keeps no state: whether the
// daemon is installed is read from the shared directory, not remembered here.
class HelperInstaller {
public:
    static constexpr std::string_view installScript = "install-helper.sh";
    static constexpr std::string_view uninstallScript = "uninstall.sh";
    static constexpr std::string_view uninstallArgument = "--keep-app";

    struct Failure {
        enum class Case { failed, scriptMissing, cancelled };

        Case kind;
        std::string text; // for `failed`: what to show the user

        static Failure failed(std::string text) { return {Case::failed, std::move(text)}; }
        static Failure scriptMissing() { return {Case::scriptMissing, {}}; }
        static Failure cancelled() { return {Case::cancelled, {}}; }
        bool operator==(const Failure&) const = default;
    };

    // Empty on success.
    using Result = std::optional<Failure>;

    // `resourceDir` absent: the application has no resources, so no script can be found.
    HelperInstaller(std::optional<std::filesystem::path> resourceDir,
                    std::shared_ptr<PrivilegedRunner> runner);

    // The application's own instance: its resource directory and the platform's runner.
    static HelperInstaller& shared();

    // "install-helper.sh" is a readable file among the resources.
    bool isAvailable() const;

    // The full path of a readable file of that name among the resources.
    std::optional<std::filesystem::path> scriptPath(std::string_view name) const;

    // Synchronous: return once the password prompt and the script are over.
    [[nodiscard]] Result install();
    [[nodiscard]] Result uninstall();
    // Any thread: see PrivilegedRunner::cancel(); the run then comes back as cancelled.
    void cancel();

private:
    Result run(std::string_view name, const std::vector<std::string>& arguments);

    std::optional<std::filesystem::path> resourceDir_;
    std::shared_ptr<PrivilegedRunner> runner_;
};

// Chosen by the build: pkexec on Linux, osascript on macOS.
std::unique_ptr<PrivilegedRunner> makeHostPrivilegedRunner();

} // namespace torvane
