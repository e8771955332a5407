#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace torvane::sysfs {

// The attribute's text without surrounding ASCII white space; nullopt when it cannot be read. Never
// blocks on a FIFO and reads at most a page.
std::optional<std::string> readAttribute(const std::filesystem::path& path);

// The attribute as a whole decimal integer; nullopt when unreadable or not a number.
std::optional<std::int64_t> readInteger(const std::filesystem::path& path);

} // namespace torvane::sysfs
