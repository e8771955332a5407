#pragma once

#include "app/tmux/AgentSession.hpp"
#include "common/FileChange.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace torvane {

// When each session last printed, on the boot clock. tmux tells that time by the wall clock, which
// may be stepped: only a change of it counts, placed within the time since the listing before (as a
// file's change is), so a clock step neither ages new output nor freshens old.
class OutputWatch {
public:
    // A listing received at `wallNow`, `now` on the boot clock; sessions no longer listed are forgotten.
    void see(const std::vector<AgentSession>& sessions, SystemTime wallNow, BootSeconds now);
    // The shortest time without output over the sessions of the last listing; unlimited for none. A
    // session first seen with an output time ahead of the wall clock counts as quiet since then.
    std::int64_t quietSeconds(BootSeconds now) const;

private:
    struct Seen {
        FileChangeWatch output;
        BootSeconds first{};
    };
    std::map<std::string, Seen> sessions_;
};

} // namespace torvane
