#include "app/install/AppleScriptSource.hpp"
#include "app/install/HelperInstallFlow.hpp"
#include "app/install/OsascriptRunner.hpp"
#include "app/install/PkexecRunner.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/StatusMenu.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using Failure = HelperInstaller::Failure;
using Strings = std::vector<std::string>;

// Both runners against a stand-in that, like the real ones after the prompt, runs what it is given
// (pkexec) or plays the outcome (osascript): the same outcome must read the same way on both.
TEST(HelperInstaller, SuccessCancelAndFailuresReadTheSameThroughEitherRunner) {
    const std::string failed = "install-helper.sh が失敗しました: ";
    // clang-format off
    const std::vector<std::tuple<std::string, std::string, HelperInstaller::Result, Strings>> rows = {
        {"exit 0", "exit 0", std::nullopt, {"install-helper.sh を実行しました"}},
        {"exit 126", "echo '0:97: execution error: User canceled. (-128)' >&2; exit 1", Failure::cancelled(), {}},
        {"exec \"$@\"", "echo out; printf '  \\tsystemd が必要です\\n\\n' >&2; exit 1",
         Failure::failed("systemd が必要です"), {failed + "systemd が必要です"}},
        {"printf '\\xff' >&2; echo 理由; exit 1", "printf ' \\n' >&2; echo 理由; exit 1", Failure::failed("理由"),
         {failed + "理由"}},
        {"kill -KILL $$", "exit 1", Failure::failed("原因を特定できませんでした"), {failed}}};
    // clang-format on
    for (const auto& [pkexecBody, osascriptBody, result, logged] : rows) {
        test::TempDir dir;
        test::writeFile(dir / "install-helper.sh",
                        "echo out; printf '  \\tsystemd が必要です\\n\\n' >&2; exit 1\n");
        test::writeExecutable(dir / "pkexec", "#!/bin/bash\n" + pkexecBody + "\n");
        test::writeExecutable(dir / "osascript", "#!/bin/bash\n" + osascriptBody + "\n");
        const std::vector<std::shared_ptr<PrivilegedRunner>> runners{
            std::make_shared<PkexecRunner>((dir / "pkexec").string()),
            std::make_shared<OsascriptRunner>((dir / "osascript").string())};
        for (const auto& runner : runners) {
            SCOPED_TRACE(pkexecBody);
            test::LogCapture log;
            EXPECT_EQ(HelperInstaller(dir.path(), runner).install(), result);
            EXPECT_EQ(log.lines(), logged);
        }
    }
}

TEST(HelperInstallFlow, AFailureIsShownWithItsReasonBeforeReEvaluation) {
    test::TempDir dir;
    test::writeFile(dir / "install-helper.sh", "");
    test::writeExecutable(dir / "pkexec", "#!/bin/bash\necho 'systemd が見つかりません' >&2; exit 1\n");
    HelperInstaller installer(dir.path(), std::make_shared<PkexecRunner>((dir / "pkexec").string()));
    Strings events;
    HelperInstallFlow flow(
        installer,
        [&](const HelperInstallFlow::Alert& alert) {
            const bool critical = alert.style == HelperInstallFlow::Style::critical;
            events.push_back(alert.message + (critical ? ": " + alert.informativeText : ""));
            return 0;
        },
        [&](std::string_view reason) { events.push_back("evaluate " + std::string(reason)); });
    flow.installHelper();
    EXPECT_EQ(events, (Strings{"ふた閉じ抑止を有効にしますか？",
                               "うまくいきませんでした: systemd が見つかりません", "evaluate helper"}));
}

TEST(AppleScriptSource, PathsAndArgumentsBecomeQuotedLiterals) {
    // Written out by hand from the quoting rule: backslashes doubled first, then quotes escaped.
    EXPECT_EQ(appleScriptSource(R"(/Users/a b/My "Apps"\x/山田.sh)", {R"(a\"b)", "it's", ""}),
              R"(do shell script ("/bin/bash " & quoted form of "/Users/a b/My \"Apps\"\\x/山田.sh")"
              R"( & " " & quoted form of "a\\\"b" & " " & quoted form of "it's" & " " & quoted form of ""))"
              R"( with administrator privileges)");
}

TEST(HostTexts, TheLinuxBuildSpeaksOfThisComputerItsSystemAndItsTray) {
    using Flow = HelperInstallFlow;
    const std::string confirmation = Flow::installConfirmation().informativeText;
    for (const char* words :
         {"システム（systemd）が管理者権限", "このあと管理者パスワードの入力画面が出ます"})
        EXPECT_NE(confirmation.find(words), std::string::npos) << words;
    EXPECT_NE(Flow::installSuccess().informativeText.find("トレイの表示が"), std::string::npos);
    for (const std::string& text :
         {confirmation, Flow::installSuccess().informativeText, Flow::uninstallConfirmation().informativeText,
          Flow::uninstallSuccess().informativeText,
          Pairing::pairingAlert("http://192.0.2.1:8787/?t=x").informativeText, StatusMenu::aboutText(20)}) {
        EXPECT_NE(text.find("このパソコン"), std::string::npos) << text;
        for (const char* mac : {"Mac", "macOS", "メニューバー"})
            EXPECT_EQ(text.find(mac), std::string::npos) << text;
    }
}
