#include "app/core/HostWords.hpp"

namespace torvane {

const HostWords hostWords{
    .machine = "このパソコン",
    .thisMachine = "このパソコン",
    .sleepGuardian = "システム（systemd）",
    .passwordPrompt = "管理者パスワードの入力画面",
    .statusArea = "トレイ",
    .idleLock = "logind の抑止ロック",
};

} // namespace torvane
