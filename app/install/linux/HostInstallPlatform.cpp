#include "app/install/HelperInstaller.hpp"
#include "app/install/PkexecRunner.hpp"
#include "app/install/ResourceDirectory.hpp"

#include <memory>

namespace torvane {

// PREFIX/bin/torvane finds PREFIX/share/torvane; the build tree mirrors it (build/app/torvane,
// build/share/torvane).
std::optional<std::filesystem::path> hostResourceDirectory() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::nullopt;
    return resourceDirectoryFor(self, "../share/torvane");
}

std::unique_ptr<PrivilegedRunner> makeHostPrivilegedRunner() {
    return std::make_unique<PkexecRunner>();
}

} // namespace torvane
