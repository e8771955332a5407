#include "app/tmux/ControlProtocol.hpp"

#include <algorithm>

namespace torvane::control {

void LineSplitter::feed(std::string_view bytes, const LineHandler& onLine) {
    while (!bytes.empty()) {
        const auto end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (dropped_ > 0) {
            dropped_ += piece.size();
        } else if (partial_.size() + piece.size() > cap_) {
            dropped_ = partial_.size() + piece.size();
            if (partial_.size() < headSize)
                partial_.append(piece.substr(0, headSize - partial_.size()));
            partial_.resize(std::min(partial_.size(), headSize));
        } else if (end != std::string_view::npos && partial_.empty()) {
            onLine(piece, 0); // the common case: straight from the read buffer, no copy
            bytes.remove_prefix(end + 1);
            continue;
        } else {
            partial_.append(piece);
        }
        if (end == std::string_view::npos)
            return;
        onLine(partial_, dropped_);
        partial_.clear();
        if (partial_.capacity() > 1 << 20)
            partial_.shrink_to_fit(); // one long line does not keep its memory
        dropped_ = 0;
        bytes.remove_prefix(end + 1);
    }
}

std::optional<Guard> parseGuard(std::string_view line) {
    Guard guard{};
    std::string_view rest;
    for (const auto& [prefix, kind] : {std::pair{std::string_view("%begin "), Guard::Kind::begin},
                                       std::pair{std::string_view("%end "), Guard::Kind::end},
                                       std::pair{std::string_view("%error "), Guard::Kind::error}}) {
        if (line.substr(0, prefix.size()) == prefix) {
            guard.kind = kind;
            rest = line.substr(prefix.size());
            break;
        }
    }
    if (rest.empty())
        return std::nullopt;
    // Three numbers separated by single spaces.
    int fields = 1;
    for (const char c : rest) {
        if (c == ' ')
            ++fields;
        else if (c < '0' || c > '9')
            return std::nullopt;
    }
    if (fields != 3 || rest.front() == ' ' || rest.back() == ' ' || rest.find("  ") != std::string_view::npos)
        return std::nullopt;
    guard.stamp = rest;
    guard.fromClient = rest.substr(rest.rfind(' ') + 1) == "1";
    return guard;
}

std::size_t decodeOutput(std::string_view escaped, std::string& out) {
    out.clear();
    out.reserve(escaped.size());
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    for (std::size_t i = 0; i < escaped.size();) {
        const auto next = escaped.find('\\', i);
        out.append(escaped.substr(i, next - i));
        if (next == std::string_view::npos)
            break;
        if (next + 3 < escaped.size() && octal(escaped[next + 1]) && octal(escaped[next + 2]) &&
            octal(escaped[next + 3])) {
            out.push_back(static_cast<char>(((escaped[next + 1] - '0') << 6) |
                                            ((escaped[next + 2] - '0') << 3) | (escaped[next + 3] - '0')));
            i = next + 4;
        } else {
            out.push_back('\\'); // tmux never writes this; kept as it came
            i = next + 1;
        }
    }
    return out.size();
}

std::optional<std::string> quoteArgument(std::string_view text) {
    if (text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos)
        return std::nullopt;
    std::string quoted = "'";
    quoted.reserve(text.size() + 2);
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

bool isSingleCommand(std::string_view line) {
    // The command's name first: lower-case letters and "-", then a space or the end.
    std::size_t name = 0;
    while (name < line.size() &&
           ((line[name] >= 'a' && line[name] <= 'z') || (name > 0 && line[name] == '-')))
        ++name;
    if (name == 0 || (name < line.size() && line[name] != ' '))
        return false;
    enum class In { plain, single, dbl } in = In::plain;
    for (std::size_t i = name; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\n' || c == '\r' || c == '\0')
            return false;
        switch (in) {
        case In::plain:
            if (c == ';' || c == '#' || c == '{' || c == '}')
                return false;
            if (c == '\\' && ++i >= line.size())
                return false;
            if (c == '\'')
                in = In::single;
            else if (c == '"')
                in = In::dbl;
            break;
        case In::single:
            if (c == '\'')
                in = In::plain;
            break;
        case In::dbl:
            if (c == '\\' && ++i >= line.size())
                return false;
            if (c == '"')
                in = In::plain;
            break;
        }
        // An escaped character is skipped above; a line break escaped is still refused.
        if (i < line.size() && (line[i] == '\n' || line[i] == '\r' || line[i] == '\0'))
            return false;
    }
    return in == In::plain;
}

} // namespace torvane::control
