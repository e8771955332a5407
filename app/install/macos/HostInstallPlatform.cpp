#include "app/install/HelperInstaller.hpp"
#include "app/install/OsascriptRunner.hpp"
#include "app/install/ResourceDirectory.hpp"

#include <cstdint>
#include <mach-o/dyld.h>
#include <memory>
#include <string>

namespace torvane {

// Torvane.app/Contents/MacOS/Torvane finds Torvane.app/Contents/Resources.
std::optional<std::filesystem::path> hostResourceDirectory() {
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string buffer(size, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0)
        return std::nullopt;
    buffer.resize(buffer.find('\0') == std::string::npos ? buffer.size() : buffer.find('\0'));
    std::error_code ec;
    const auto self = std::filesystem::weakly_canonical(buffer, ec);
    if (ec)
        return std::nullopt;
    return resourceDirectoryFor(self, "../Resources");
}

std::unique_ptr<PrivilegedRunner> makeHostPrivilegedRunner() {
    return std::make_unique<OsascriptRunner>();
}

} // namespace torvane
