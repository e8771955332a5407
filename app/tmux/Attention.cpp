#include "app/tmux/Attention.hpp"

namespace torvane {

std::string_view attentionName(Attention a) {
    switch (a) {
    case Attention::input:
        return "input";
    case Attention::working:
        return "working";
    case Attention::shell:
        return "shell";
    case Attention::ended:
        return "ended";
    }
    return "working";
}

std::string_view attentionSymbol(Attention a) {
    switch (a) {
    case Attention::input:
        return "◆";
    case Attention::working:
        return "●";
    case Attention::shell:
        return "○";
    case Attention::ended:
        return "×";
    }
    return "●";
}

std::string attentionText(Attention a, std::string_view command) {
    switch (a) {
    case Attention::input:
        return "入力待ち";
    case Attention::working:
        return "作業中（" + std::string(command) + "）";
    case Attention::shell:
        return "待機中";
    case Attention::ended:
        return "終了";
    }
    return "";
}

int attentionRank(Attention a) {
    return static_cast<int>(a);
}

Attention AttentionJudge::next(const PaneLook& look, Clock::time_point now) {
    if (!identity_)
        identity_ = look.identity;
    // A pid taken over by another process is not our pane coming back.
    if (current_ == Attention::ended || !look.present || look.identity != *identity_)
        return current_ = Attention::ended;

    const bool sameJob = last_ && last_->foreground == look.foreground && last_->members == look.members;
    bool quiet = false;
    if (sameJob && look.cpuTicks && last_->cpuTicks && look.written && last_->written) {
        // Counters only grow for one set of processes; anything else is treated as activity.
        quiet = *look.cpuTicks >= *last_->cpuTicks && *look.cpuTicks - *last_->cpuTicks <= idleTicks &&
                *look.written == *last_->written;
    }
    last_ = look;

    if (look.shellInFront) {
        quietSince_.reset();
        // The shell busy with its own builtins (a loop at the prompt) is working.
        return current_ = look.wait == TerminalWait::none ? Attention::working : Attention::shell;
    }
    if (look.wait == TerminalWait::none) {
        quietSince_.reset();
        return current_ = Attention::working;
    }
    if (!quiet || !quietSince_) {
        // This look starts a new quiet stretch: what came before it was activity or unknown.
        quietSince_ = now;
        return current_ = Attention::working;
    }
    const auto needed = look.wait == TerminalWait::certain ? certainAfter : maybeAfter;
    return current_ = now - *quietSince_ >= needed ? Attention::input : Attention::working;
}

} // namespace torvane
