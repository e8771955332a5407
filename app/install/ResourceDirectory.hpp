#pragma once

#include <filesystem>
#include <optional>

namespace torvane {

// The application's resource directory for an executable at `executable`, found at `relativeToBinDir`
// from the executable's directory ("../share/torvane" on Linux, installed or in the build tree;
// "../Resources" in a macOS bundle). Absent when no such directory exists.
std::optional<std::filesystem::path> resourceDirectoryFor(const std::filesystem::path& executable,
                                                          const std::filesystem::path& relativeToBinDir);

// The running application's resource directory (platform file picks the executable and the layout).
std::optional<std::filesystem::path> hostResourceDirectory();

} // namespace torvane
