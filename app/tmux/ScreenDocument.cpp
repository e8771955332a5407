#include "app/tmux/ScreenDocument.hpp"

#include "app/tmux/ScreenText.hpp"

#include <algorithm>

namespace torvane {

namespace {

using Line = ScreenDocument::Line;

// Rows scrolled into history between two looks that a small capture still covers.
constexpr std::size_t spareRows = 16;
// Rows of the history already seen that a capture takes along to place the new ones after.
constexpr std::size_t anchorRows = 8;

bool same(const Line& a, const Line& b) {
    return a == b || *a == *b;
}

std::vector<Line> shared(std::vector<std::string> lines) {
    std::vector<Line> out;
    out.reserve(lines.size());
    for (auto& line : lines)
        out.push_back(std::make_shared<const std::string>(std::move(line)));
    return out;
}

// The first line of the last `height` rows.
std::size_t screenStart(const std::vector<Line>& lines, std::size_t width, std::size_t height) {
    std::size_t rows = 0;
    std::size_t i = lines.size();
    while (i > 0 && rows < height)
        rows += screen::rowsAt(*lines[--i], width);
    return i;
}

} // namespace

bool ScreenDocument::needsAll(const Pane& pane) const {
    return !last_ || last_->id != pane.id || last_->width != pane.width ||
           (last_->alternate && !pane.alternate);
}

std::size_t ScreenDocument::rowsToCapture(const Pane& pane) const {
    if (pane.alternate)
        return 0;
    if (needsAll(pane))
        return std::min(pane.history, maxHistory);
    // While tmux's history grows, it says how many rows came since the last look: those, and a few of
    // the history before them to place them by.
    std::size_t rows = pane.height + spareRows;
    if (pane.history >= last_->history && pane.history < pane.historyLimit)
        rows = std::min(rows, pane.history - last_->history + anchorRows);
    return std::min(pane.history, rows);
}

bool ScreenDocument::merge(const Pane& pane, const std::string& capture, bool whole) {
    std::vector<Line> window = shared(screen::selfContainedLines(capture));
    Look next;
    next.width = pane.width;
    next.height = pane.height;
    next.alternate = pane.alternate;
    if (pane.alternate) {
        window.resize(pane.height, std::make_shared<const std::string>());
        for (auto& line : window)
            if (!line)
                line = std::make_shared<const std::string>();
        next.lines = std::move(window);
        if (pane.cursorShown && pane.cursorY < next.lines.size())
            next.cursor =
                Cursor{pane.cursorY, screen::codePointsBefore(*next.lines[pane.cursorY], pane.cursorX)};
        look_ = std::move(next);
        last_ = pane;
        return true;
    }
    const std::size_t windowTop = screenStart(window, pane.width, pane.height);
    if (whole) {
        next.lines = std::move(window); // the whole history came
        next.top = windowTop;
    } else {
        // The window's history ends where the last look's history now ends: somewhere from its old
        // end down through its old screen. Its first line may be the tail of a wrapped one, so it is
        // not compared; lines of the old history must match exactly, those of the old screen may
        // have changed before they scrolled away.
        if (!last_ || last_->alternate || windowTop < 2)
            return false;
        const auto& old = look_.lines;
        const std::size_t anchor = windowTop - 1;
        const std::size_t oldTop = look_.top;
        auto fits = [&](std::size_t end) {
            if (end < anchor || end - anchor >= oldTop)
                return false; // nothing of the old history to check against
            const std::size_t start = end - anchor;
            for (std::size_t i = start; i < oldTop; ++i)
                if (!same(old[i], window[1 + i - start]))
                    return false;
            return true;
        };
        // Where the rows tmux added to its history say it ends, if that fits; else the least scroll.
        std::optional<std::size_t> end;
        if (pane.history >= last_->history && pane.history < pane.historyLimit) {
            std::size_t added = pane.history - last_->history, i = oldTop;
            while (added > 0 && i < old.size())
                added -= std::min(added, screen::rowsAt(*old[i++], last_->width));
            if (added == 0 && fits(i))
                end = i;
        }
        for (std::size_t e = oldTop; !end && e <= old.size(); ++e)
            if (fits(e))
                end = e;
        if (!end)
            return false;
        const std::size_t start = *end - anchor;
        next.lines.assign(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(start));
        for (std::size_t i = 1; i < window.size(); ++i) {
            const std::size_t at = start + i - 1;
            next.lines.push_back(at < old.size() && same(old[at], window[i]) ? old[at] : window[i]);
        }
        next.top = start + anchor;
    }
    // No more than tmux itself keeps: lines it has let go of stay gone here too.
    const std::size_t keptHistory = std::min(maxHistory, pane.historyLimit);
    if (next.top > keptHistory) {
        const std::size_t drop = next.top - keptHistory;
        next.lines.erase(next.lines.begin(), next.lines.begin() + static_cast<std::ptrdiff_t>(drop));
        next.top -= drop;
    }
    // The cursor's line and column among the joined lines.
    std::size_t row = 0, cursorLine = next.lines.size();
    for (std::size_t i = next.top; i < next.lines.size(); ++i) {
        const std::size_t rowsHere = screen::rowsAt(*next.lines[i], pane.width);
        if (pane.cursorY < row + rowsHere) {
            cursorLine = i;
            if (pane.cursorShown)
                next.cursor =
                    Cursor{i, screen::codePointsBefore(*next.lines[i],
                                                       (pane.cursorY - row) * pane.width + pane.cursorX)};
            break;
        }
        row += rowsHere;
    }
    // The blank rows under the prompt would push it off a small screen.
    std::size_t keep = next.lines.size();
    const std::size_t guard = cursorLine < next.lines.size() ? cursorLine + 1 : next.top;
    while (keep > guard &&
           screen::visibleText(*next.lines[keep - 1]).find_first_not_of(' ') == std::string::npos)
        --keep;
    next.lines.resize(keep);
    look_ = std::move(next);
    last_ = pane;
    return true;
}

LineSplice spliceBetween(const std::vector<Line>& from, const std::vector<Line>& to) {
    LineSplice splice;
    // Lines gone from the top: where the new first lines begin among the old ones, if they do.
    if (!to.empty()) {
        const std::size_t limit = std::min<std::size_t>(from.size(), 4096);
        for (std::size_t t = 0; t < limit; ++t) {
            std::size_t k = 0;
            while (k < 8 && t + k < from.size() && k < to.size() && same(from[t + k], to[k]))
                ++k;
            if (k == 8 || k == to.size() || (k > 0 && t + k == from.size())) {
                splice.trim = t;
                break;
            }
        }
    }
    const std::size_t left = from.size() - splice.trim;
    std::size_t prefix = 0;
    while (prefix < left && prefix < to.size() && same(from[splice.trim + prefix], to[prefix]))
        ++prefix;
    std::size_t suffix = 0;
    while (suffix < left - prefix && suffix < to.size() - prefix &&
           same(from[from.size() - 1 - suffix], to[to.size() - 1 - suffix]))
        ++suffix;
    splice.at = prefix;
    splice.removed = left - prefix - suffix;
    splice.inserted.assign(to.begin() + static_cast<std::ptrdiff_t>(prefix),
                           to.end() - static_cast<std::ptrdiff_t>(suffix));
    return splice;
}

} // namespace torvane
