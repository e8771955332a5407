#pragma once

namespace torvane {

// The words that name this machine and its parts in user-visible texts and the log. The build picks the
// platform's set, so a text reads "Mac" only where there is one.
struct HostWords {
    const char* machine;        // "ふたを閉じても〇〇を眠らせない"
    const char* thisMachine;    // "〇〇では読み取れません"
    const char* sleepGuardian;  // "設定は、〇〇が管理者権限で守っています"
    const char* passwordPrompt; // "このあと〇〇が出ます"
    const char* statusArea;     // where the icon sits: "〇〇の表示が…"
    const char* idleLock;       // what the app's own sleep lock is: "〇〇の取得に失敗しました"
};

extern const HostWords hostWords;

} // namespace torvane
