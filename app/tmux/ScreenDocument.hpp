#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

// A pane as a reader scrolls it: its history and its screen as whole lines (rows tmux wrapped are
// joined; rows the program broke stay apart), each self-contained (screen::selfContainedLines), and
// where the cursor is. Kept up to date from small captures of the pane's end, so a busy pane costs a
// screenful per look rather than its whole history.
class ScreenDocument {
public:
    using Line = std::shared_ptr<const std::string>; // shared with the earlier looks that hold it
    static constexpr std::size_t maxHistory = 2000;

    // What tmux says of the pane at one look.
    struct Pane {
        std::string id; // "%3"
        std::size_t history = 0, historyLimit = 0, width = 0, height = 0;
        std::size_t cursorX = 0, cursorY = 0;
        bool cursorShown = true;
        bool alternate = false; // a full-screen program's own screen: no history
    };
    struct Cursor {
        std::size_t line = 0, column = 0; // column: code points of the line's visible text before it
    };
    struct Look {
        std::vector<Line> lines;
        std::size_t top = 0; // the first line of the screen; those before it are history
        std::optional<Cursor> cursor;
        std::size_t width = 0, height = 0;
        bool alternate = false;
    };

    // The history rows to capture in front of the screen (capture-pane -S -N): a little more than a
    // screen; all of it (up to maxHistory) when this look cannot build on the last one.
    std::size_t rowsToCapture(const Pane& pane) const;
    bool needsAll(const Pane& pane) const;
    // Takes a capture of history rows plus the screen (joined with -J; of the screen alone, not
    // joined, for an alternate screen); `whole`: it holds all the history wanted, and replaces what
    // was seen before. Else false when it cannot be placed after what was seen before (more
    // scrolled by than it holds): capture the whole and merge again.
    bool merge(const Pane& pane, const std::string& capture, bool whole);
    const Look& look() const { return look_; }
    void reset() { *this = ScreenDocument(); }

private:
    Look look_;
    std::optional<Pane> last_;
};

// How to turn one list of lines into another: drop `trim` from the front, then replace `removed`
// lines at `at` by `inserted`. Small when the second is the first with lines gone from the top,
// changed near the bottom and added at the end.
struct LineSplice {
    std::size_t trim = 0, at = 0, removed = 0;
    std::vector<ScreenDocument::Line> inserted;
};
LineSplice spliceBetween(const std::vector<ScreenDocument::Line>& from,
                         const std::vector<ScreenDocument::Line>& to);

} // namespace torvane
