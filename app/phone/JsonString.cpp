#include "app/phone/JsonString.hpp"

#include "common/Text.hpp"

#include <cstdio>

namespace torvane {

std::string jsonString(std::string_view text) {
    const std::string valid = text::decodeUtf8Lossy(text);
    std::string out;
    out.reserve(valid.size() + 2);
    out.push_back('"');
    for (const char c : valid) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\t':
            out.append("\\t");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out.append(escaped);
            } else {
                out.push_back(c); // multi-byte sequences pass through byte by byte
            }
        }
    }
    out.push_back('"');
    return out;
}

} // namespace torvane
