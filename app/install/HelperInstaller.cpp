#include "app/install/HelperInstaller.hpp"

#include "app/core/Log.hpp"
#include "app/install/ResourceDirectory.hpp"
#include "common/Text.hpp"

#include <unistd.h>

namespace torvane {

namespace {

std::string_view validUtf8OrEmpty(const std::string& bytes) {
    return text::isValidUtf8(bytes) ? std::string_view(bytes) : std::string_view();
}

bool isCancelText(std::string_view err) {
    return err.find("-128") != std::string_view::npos || err.find("User canceled") != std::string_view::npos;
}

} // namespace

HelperInstaller::HelperInstaller(std::optional<std::filesystem::path> resourceDir,
                                 std::shared_ptr<PrivilegedRunner> runner)
    : resourceDir_(std::move(resourceDir)), runner_(std::move(runner)) {}

HelperInstaller& HelperInstaller::shared() {
    static HelperInstaller instance(hostResourceDirectory(), makeHostPrivilegedRunner());
    return instance;
}

bool HelperInstaller::isAvailable() const {
    return scriptPath(installScript).has_value();
}

std::optional<std::filesystem::path> HelperInstaller::scriptPath(std::string_view name) const {
    if (!resourceDir_)
        return std::nullopt;
    auto path = *resourceDir_ / name;
    // Handed to /bin/bash, so it must be readable, not executable.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || ::access(path.c_str(), R_OK) != 0)
        return std::nullopt;
    return path;
}

void HelperInstaller::cancel() {
    runner_->cancel();
}

HelperInstaller::Result HelperInstaller::install() {
    return run(installScript, {});
}

HelperInstaller::Result HelperInstaller::uninstall() {
    return run(uninstallScript, {std::string(uninstallArgument)});
}

HelperInstaller::Result HelperInstaller::run(std::string_view name,
                                             const std::vector<std::string>& arguments) {
    const auto path = scriptPath(name);
    if (!path)
        return Failure::scriptMissing();

    const PrivilegedRunResult outcome = runner_->run(path->string(), arguments);
    if (outcome.cancelled)
        return Failure::cancelled();
    if (!outcome.started)
        return Failure::failed(outcome.startFailure);

    const std::string scriptName(name);
    if (outcome.exitStatus == 0) {
        Log::write(scriptName + " を実行しました");
        return std::nullopt;
    }

    const std::string_view err = validUtf8OrEmpty(outcome.err);
    if (isCancelText(err))
        return Failure::cancelled();

    // Standard error that holds only blank lines says nothing; the reason may then be on standard output.
    std::string_view detail = text::trimWhitespaceAndNewlines(err);
    if (detail.empty())
        detail = text::trimWhitespaceAndNewlines(validUtf8OrEmpty(outcome.out));
    Log::write(scriptName + " が失敗しました: " + std::string(detail));
    if (detail.empty())
        return Failure::failed("原因を特定できませんでした");
    return Failure::failed(std::string(detail));
}

} // namespace torvane
