#include "app/platform/linux/SysfsText.hpp"

#include "common/UniqueFd.hpp"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>

namespace torvane::sysfs {

std::optional<std::string> readAttribute(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    // sysfs attributes are at most one page long.
    char buffer[4096];
    std::size_t length = 0;
    while (length < sizeof buffer) {
        const ssize_t got = ::read(fd.get(), buffer + length, sizeof buffer - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        length += static_cast<std::size_t>(got);
    }
    std::string_view text(buffer, length);
    const auto isSpace = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::optional<std::int64_t> readInteger(const std::filesystem::path& path) {
    const std::optional<std::string> text = readAttribute(path);
    if (!text || text->empty())
        return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [ptr, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

} // namespace torvane::sysfs
