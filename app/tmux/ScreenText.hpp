#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What `capture-pane -e` prints, turned into lines a reader can draw one by one: tmux carries the
// attributes of one line's end into the next, so each line here starts from the plain style and
// opens with what it inherited. Only SGR sequences ("ESC [ … m") are kept; anything else that looks
// like an escape is dropped.
namespace torvane::screen {

// One line per "\n"-ended line of `capture` (a last line without "\n" counts too); each line valid
// UTF-8 (bad bytes become U+FFFD) and self-contained.
std::vector<std::string> selfContainedLines(std::string_view capture);

// The line without its escape sequences.
std::string visibleText(std::string_view line);

// Cells the visible text takes on a terminal: wide characters two, combining marks none.
std::size_t cellWidth(std::string_view line);

// Rows a line joined from wrapped rows (`capture-pane -J`) takes at `width` columns: at least one.
std::size_t rowsAt(std::string_view line, std::size_t width);

// Code points of the visible text in front of cell `cell`; past the end, the spaces up to it count
// one each.
std::size_t codePointsBefore(std::string_view line, std::size_t cell);

} // namespace torvane::screen
