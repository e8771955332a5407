#include "common/Text.hpp"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace torvane::text {

namespace {

// Decodes one scalar at s[i]; returns its length or 0 when the bytes there are not valid UTF-8.
std::size_t decode(std::string_view s, std::size_t i, char32_t& out) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) {
        out = c;
        return 1;
    }
    std::size_t len;
    char32_t cp;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    out = cp;
    return len;
}

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

} // namespace

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp;
        const std::size_t n = decode(bytes, i, cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size() + 8);
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        std::size_t length = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) {
                low = 0xA0; // no overlong forms
            } else if (lead == 0xED) {
                high = 0x9F; // no surrogates
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) {
                low = 0x90;
            } else if (lead == 0xF4) {
                high = 0x8F; // nothing above U+10FFFF
            }
        }
        if (length == 0) {
            out.append(replacement);
            ++i;
            continue;
        }
        // A maximal valid prefix of a sequence counts as one replacement (as the Unicode
        // standard recommends); the byte that broke it starts the next round.
        std::size_t taken = 1;
        while (taken < length && i + taken < bytes.size()) {
            const auto c = static_cast<std::uint8_t>(bytes[i + taken]);
            const std::uint8_t lo = taken == 1 ? low : 0x80;
            const std::uint8_t hi = taken == 1 ? high : 0xBF;
            if (c < lo || c > hi) {
                break;
            }
            ++taken;
        }
        if (taken == length) {
            out.append(bytes.substr(i, length));
        } else {
            out.append(replacement);
        }
        i += taken;
    }
    return out;
}

std::string_view trimWhitespaceAndNewlines(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        char32_t cp;
        const std::size_t n = decode(s, begin, cp);
        if (n == 0 || !isWhitespaceOrNewline(cp))
            break;
        begin += n;
    }
    std::size_t end = s.size();
    while (end > begin) {
        // Step back to the start of the last scalar.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        char32_t cp;
        const std::size_t n = decode(s, start, cp);
        if (n == 0 || start + n != end || !isWhitespaceOrNewline(cp))
            break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

std::string errorText(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return strerror_r(errnum, buf, sizeof buf);
#else
    if (strerror_r(errnum, buf, sizeof buf) != 0)
        return "error " + std::to_string(errnum);
    return buf;
#endif
}

std::string localTime(long long seconds, const char* format, std::string_view never) {
    if (seconds <= 0)
        return std::string(never);
    const std::time_t time = seconds;
    std::tm local{};
    char text[64] = "";
    localtime_r(&time, &local);
    std::strftime(text, sizeof text, format, &local);
    return text;
}

} // namespace torvane::text
