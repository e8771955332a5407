#include "app/tmux/ScreenText.hpp"

#include "common/Text.hpp"

#include <array>
#include <utf8proc.h>

namespace torvane::screen {

namespace {

// The attributes in force, as SGR parameters: enough to start the next line where this one ended.
struct Style {
    std::array<bool, 10> on{}; // 1 bold … 9 strike, by their SGR number
    std::string fg, bg;        // "" default; else "33", "38;5;200", "38;2;1;2;3", …

    bool plain() const {
        for (const bool b : on)
            if (b)
                return false;
        return fg.empty() && bg.empty();
    }

    std::string sequence() const {
        std::string params;
        for (std::size_t i = 1; i < on.size(); ++i)
            if (on[i])
                params += std::to_string(i) + ";";
        if (!fg.empty())
            params += fg + ";";
        if (!bg.empty())
            params += bg + ";";
        params.pop_back();
        return "\x1b[" + params + "m";
    }

    // One SGR's parameters ("1;38;5;200", "4:3", ""), as tmux writes them.
    void apply(std::string_view params) {
        std::vector<std::string_view> items;
        for (std::size_t start = 0;;) {
            const std::size_t end = params.find(';', start);
            items.push_back(params.substr(start, end == std::string_view::npos ? end : end - start));
            if (end == std::string_view::npos)
                break;
            start = end + 1;
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            const std::string_view item = items[i];
            const std::string_view head = item.substr(0, item.find(':'));
            int n = 0;
            for (const char c : head)
                n = c >= '0' && c <= '9' && n < 1000 ? n * 10 + (c - '0') : 1000;
            if (n == 38 || n == 48) {
                std::string& colour = n == 38 ? fg : bg;
                if (item.find(':') != std::string_view::npos) {
                    colour = std::string(item); // "38:2::r:g:b" carries its values itself
                    continue;
                }
                const std::size_t count = i + 1 < items.size() && items[i + 1] == "5"   ? 2
                                          : i + 1 < items.size() && items[i + 1] == "2" ? 4
                                                                                        : 0;
                if (count == 0 || i + count >= items.size())
                    return; // malformed: the rest cannot be told apart
                colour = std::to_string(n);
                for (std::size_t k = 1; k <= count; ++k)
                    colour += ";" + std::string(items[i + k]);
                i += count;
            } else if (n == 0) {
                *this = Style{};
            } else if (n >= 1 && n <= 9) {
                on[n] = !(n == 4 && item == "4:0");
            } else if (n == 21 || n == 22) {
                on[1] = on[2] = false;
                if (n == 21)
                    on[4] = true; // double underline, drawn as underline
            } else if (n >= 23 && n <= 29 && n != 26) {
                on[n - 20] = false;
            } else if ((n >= 30 && n <= 37) || (n >= 90 && n <= 97)) {
                fg = std::to_string(n);
            } else if ((n >= 40 && n <= 47) || (n >= 100 && n <= 107)) {
                bg = std::to_string(n);
            } else if (n == 39) {
                fg.clear();
            } else if (n == 49) {
                bg.clear();
            }
        }
    }
};

// The length of an escape sequence at `at` (text[at] == ESC), and whether it is an SGR.
std::size_t escapeLength(std::string_view text, std::size_t at, bool& sgr) {
    sgr = false;
    if (at + 1 >= text.size() || text[at + 1] != '[')
        return at + 1 < text.size() ? 2 : 1;
    std::size_t i = at + 2;
    while (i < text.size() && text[i] >= 0x30 && text[i] <= 0x3f)
        ++i; // parameters
    while (i < text.size() && text[i] >= 0x20 && text[i] <= 0x2f)
        ++i; // intermediates
    if (i >= text.size())
        return text.size() - at;
    sgr = text[i] == 'm';
    return i + 1 - at;
}

// Calls `onChar` with each code point of the visible text and its bytes.
template <typename F> void eachVisible(std::string_view line, F onChar) {
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == '\x1b') {
            bool sgr = false;
            i += escapeLength(line, i, sgr);
            continue;
        }
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(line.data() + i),
                                        static_cast<utf8proc_ssize_t>(line.size() - i), &cp);
        const std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 1;
        onChar(n > 0 ? cp : 0xFFFD, line.substr(i, size));
        i += size;
    }
}

std::size_t widthOf(utf8proc_int32_t cp) {
    const int width = utf8proc_charwidth(cp);
    return width < 0 ? 0 : static_cast<std::size_t>(width);
}

} // namespace

std::vector<std::string> selfContainedLines(std::string_view capture) {
    std::vector<std::string> lines;
    Style style;
    while (!capture.empty()) {
        const std::size_t end = capture.find('\n');
        const std::string raw = text::decodeUtf8Lossy(capture.substr(0, end));
        capture.remove_prefix(end == std::string_view::npos ? capture.size() : end + 1);
        std::string line = style.plain() ? std::string() : style.sequence();
        for (std::size_t i = 0; i < raw.size();) {
            const std::size_t next = raw.find('\x1b', i);
            line.append(raw, i, next == std::string::npos ? std::string::npos : next - i);
            if (next == std::string::npos)
                break;
            bool sgr = false;
            const std::size_t length = escapeLength(raw, next, sgr);
            if (sgr) {
                line.append(raw, next, length);
                style.apply(std::string_view(raw).substr(next + 2, length - 3));
            }
            i = next + length;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string visibleText(std::string_view line) {
    std::string text;
    eachVisible(line, [&](utf8proc_int32_t, std::string_view bytes) { text += bytes; });
    return text;
}

std::size_t cellWidth(std::string_view line) {
    std::size_t cells = 0;
    eachVisible(line, [&](utf8proc_int32_t cp, std::string_view) { cells += widthOf(cp); });
    return cells;
}

std::size_t rowsAt(std::string_view line, std::size_t width) {
    const std::size_t cells = cellWidth(line);
    return width == 0 || cells <= width ? 1 : (cells + width - 1) / width;
}

std::size_t codePointsBefore(std::string_view line, std::size_t cell) {
    std::size_t cells = 0;
    std::size_t points = 0;
    eachVisible(line, [&](utf8proc_int32_t cp, std::string_view) {
        if (cells >= cell)
            return;
        cells += widthOf(cp);
        ++points;
    });
    return points + (cell > cells ? cell - cells : 0);
}

} // namespace torvane::screen
