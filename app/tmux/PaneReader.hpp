#pragma once

#include "app/tmux/Attention.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace torvane {

// What the attention of a pane is decided on: one look at its processes. One thread only.
class PaneReader {
public:
    virtual ~PaneReader() = default;
    // Once before each round of looks; a reader that indexes the processes does it here.
    virtual void beginRound() {}
    // The pane whose process is `pid` and whose terminal is `tty` ("/dev/pts/3").
    virtual PaneLook look(int pid, const std::string& tty) = 0;
    // A digest of the processes the parent of `pid` started (for a pane: tmux's panes); another value
    // tells of a pane begun or ended. None where that cannot be read.
    virtual std::optional<std::uint64_t> siblingsMark(int /*pid*/) { return std::nullopt; }
};

// The platform's reader: /proc on Linux. Elsewhere a reader that can tell nothing, so every pane
// shows as working until tmux no longer lists it.
std::unique_ptr<PaneReader> makePaneReader();

} // namespace torvane
