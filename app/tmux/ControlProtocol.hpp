#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The text side of tmux's control mode (tmux 3.3a): lines, answer blocks, escaped output and the
// quoting of command arguments. No processes, no threads.
namespace torvane::control {

// Splits a byte stream into lines without a fixed buffer. A line longer than `cap` is not kept: its
// first `headSize` bytes and its length are handed over once its end arrives, so the stream stays in
// step and the caller still learns what kind of line it was.
class LineSplitter {
public:
    static constexpr std::size_t headSize = 64;
    using LineHandler = std::function<void(std::string_view line, std::size_t overlongSize)>;

    explicit LineSplitter(std::size_t cap) : cap_(cap) {}

    // Calls `onLine` for each complete line (without its "\n"); overlongSize is 0 for a kept line,
    // else the dropped line's length (and `line` its head).
    void feed(std::string_view bytes, const LineHandler& onLine);

private:
    std::size_t cap_;
    std::string partial_;
    std::size_t dropped_ = 0; // > 0 while inside an overlong line: its length so far
};

// "%begin T N F", "%end T N F", "%error T N F".
struct Guard {
    enum class Kind { begin, end, error } kind;
    std::string_view stamp;  // "T N F", which the closing line repeats exactly
    bool fromClient = false; // F = 1: the answer to a line this client wrote
};
std::optional<Guard> parseGuard(std::string_view line);

// "%output" data: tmux writes bytes below 0x20 and "\" as three octal digits after "\"; the rest are
// the bytes themselves. Appends to `out` (cleared first) and returns the decoded size.
std::size_t decodeOutput(std::string_view escaped, std::string& out);

// One argument for tmux's command parser, taken literally: single quotes (inside which tmux replaces
// nothing: no $, ~, \ or #{), a ' written as '\''. None for text holding a line break or NUL, which
// no command line can carry.
std::optional<std::string> quoteArgument(std::string_view text);

// Whether `line` is exactly one command that tmux answers with exactly one block. The answers are
// matched to the lines by order, so anything that makes none (a blank line, a comment, "%hidden",
// "NAME=value") or several (";") would put every later answer on the wrong command: refused, as are
// braces, an unquoted "#", an unclosed quote, a trailing "\" (tmux would join the next line) and any
// line break or NUL. Quote such text with quoteArgument.
bool isSingleCommand(std::string_view line);

} // namespace torvane::control
