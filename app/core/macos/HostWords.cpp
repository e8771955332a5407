#include "app/core/HostWords.hpp"

namespace torvane {

// The spaces keep the Latin names apart from the Japanese around them.
const HostWords hostWords{
    .machine = "Mac",
    .thisMachine = "このMac",
    .sleepGuardian = "macOS ",
    .passwordPrompt = " macOS のパスワード入力画面",
    .statusArea = "メニューバー",
    .idleLock = "IOPMAssertion ",
};

} // namespace torvane
