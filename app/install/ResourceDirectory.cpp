#include "app/install/ResourceDirectory.hpp"

namespace torvane {

std::optional<std::filesystem::path> resourceDirectoryFor(const std::filesystem::path& executable,
                                                          const std::filesystem::path& relativeToBinDir) {
    if (executable.empty())
        return std::nullopt;
    const auto dir = (executable.parent_path() / relativeToBinDir).lexically_normal();
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        return std::nullopt;
    return dir;
}

} // namespace torvane
