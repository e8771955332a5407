#include "app/install/HelperInstallFlow.hpp"

#include "tests/fakes/FakePrivilegedRunner.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <deque>
#include <gtest/gtest.h>
#include <memory>

using namespace torvane;
using Flow = HelperInstallFlow;

namespace {

// Records alerts, runs and evaluations in one sequence; answers each alert with the next scripted button.
struct FlowFixture {
    test::TempDir dir;
    std::shared_ptr<test::FakePrivilegedRunner> runner = std::make_shared<test::FakePrivilegedRunner>();
    HelperInstaller installer{dir.path(), runner};
    std::vector<std::string> events;
    std::vector<Flow::Alert> alerts;
    std::deque<int> answers;
    Flow flow{installer,
              [this](const Flow::Alert& alert) {
                  alerts.push_back(alert);
                  events.push_back("alert " + alert.message);
                  if (answers.empty())
                      return 0;
                  const int answer = answers.front();
                  answers.pop_front();
                  return answer;
              },
              [this](std::string_view reason) { events.push_back("evaluate " + std::string(reason)); }};

    FlowFixture() {
        test::writeFile(dir / "install-helper.sh", "exit 0\n");
        test::writeFile(dir / "uninstall.sh", "exit 0\n");
        runner->onRun = [this] { events.push_back("run " + runner->calls.back().scriptPath); };
    }

    std::string script(std::string_view name) const { return (dir / name).string(); }

    static PrivilegedRunResult exited(int status, std::string err = {}) {
        PrivilegedRunResult result;
        result.started = true;
        result.exitStatus = status;
        result.err = std::move(err);
        return result;
    }
};

} // namespace

TEST(HelperInstallFlow, DecliningTheConfirmationRunsLogsAndEvaluatesNothing) {
    for (int answer : {1, -1}) { // "やめる", or the alert closed some other way
        FlowFixture f;
        test::LogCapture log;
        f.answers = {answer};
        f.flow.installHelper();
        f.answers = {answer};
        f.flow.uninstallHelper();
        EXPECT_EQ(f.events, (std::vector<std::string>{"alert ふた閉じ抑止を有効にしますか？",
                                                      "alert ヘルパーを取り外しますか？"}));
        EXPECT_TRUE(f.runner->calls.empty());
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST(HelperInstallFlow, SuccessfulInstallationEvaluatesBeforeTheSuccessAlert) {
    FlowFixture f;
    test::LogCapture log;
    f.flow.installHelper();
    EXPECT_EQ(f.events, (std::vector<std::string>{"alert ふた閉じ抑止を有効にしますか？",
                                                  "run " + f.script("install-helper.sh"), "evaluate helper",
                                                  "alert ふた閉じ抑止を有効にしました"}));
    EXPECT_TRUE(f.runner->calls[0].arguments.empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"install-helper.sh を実行しました"}));

    ASSERT_EQ(f.alerts.size(), 2u);
    EXPECT_EQ(f.alerts[0].style, Flow::Style::informational);
    EXPECT_EQ(f.alerts[0].buttons, (std::vector<std::string>{"続ける", "やめる"}));
    EXPECT_EQ(f.alerts[1].style, Flow::Style::informational);
    EXPECT_EQ(f.alerts[1].buttons, (std::vector<std::string>{"OK"}));
}

TEST(HelperInstallFlow, SuccessfulRemovalPassesKeepAppAndEvaluatesBeforeTheSuccessAlert) {
    FlowFixture f;
    f.flow.uninstallHelper();
    EXPECT_EQ(f.events,
              (std::vector<std::string>{"alert ヘルパーを取り外しますか？", "run " + f.script("uninstall.sh"),
                                        "evaluate helper", "alert ヘルパーを取り外しました"}));
    EXPECT_EQ(f.runner->calls[0].arguments, (std::vector<std::string>{"--keep-app"}));
    EXPECT_EQ(f.alerts[0].style, Flow::Style::warning);
    EXPECT_EQ(f.alerts[0].buttons, (std::vector<std::string>{"取り外す", "やめる"}));
    EXPECT_EQ(f.alerts[1].informativeText, "電源設定は元に戻りました。ふたを閉じればMacは眠ります。");
}

TEST(HelperInstallFlow, CancelledPromptEndsSilently) {
    FlowFixture f;
    test::LogCapture log;
    f.runner->results = {FlowFixture::exited(1, "execution error: User canceled. (-128)")};
    f.flow.installHelper();
    f.runner->results = {FlowFixture::exited(126, "User canceled. (-128)")};
    f.flow.uninstallHelper();
    EXPECT_EQ(f.events, (std::vector<std::string>{
                            "alert ふた閉じ抑止を有効にしますか？", "run " + f.script("install-helper.sh"),
                            "alert ヘルパーを取り外しますか？", "run " + f.script("uninstall.sh")}));
    EXPECT_TRUE(log.lines().empty());
}

TEST(HelperInstallFlow, FailedScriptShowsItsReasonThenEvaluatesAfterTheAlertCloses) {
    FlowFixture f;
    test::LogCapture log;
    f.runner->results = {FlowFixture::exited(1, "systemd が見つかりません\n")};
    f.flow.installHelper();
    EXPECT_EQ(f.events, (std::vector<std::string>{"alert ふた閉じ抑止を有効にしますか？",
                                                  "run " + f.script("install-helper.sh"),
                                                  "alert うまくいきませんでした", "evaluate helper"}));
    EXPECT_EQ(
        f.alerts.back(),
        (Flow::Alert{Flow::Style::critical, "うまくいきませんでした", "systemd が見つかりません", {"OK"}}));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"install-helper.sh が失敗しました: systemd が見つかりません"}));

    FlowFixture silent;
    silent.runner->results = {FlowFixture::exited(2)};
    silent.flow.uninstallHelper();
    EXPECT_EQ(silent.alerts.back().informativeText, "原因を特定できませんでした");
    EXPECT_EQ(silent.events.back(), "evaluate helper");
}

TEST(HelperInstallFlow, RunnerThatCannotStartIsShownAndEvaluated) {
    FlowFixture f;
    test::LogCapture log;
    PrivilegedRunResult notStarted;
    notStarted.startFailure = "pkexec を起動できませんでした: No such file or directory";
    f.runner->results = {notStarted};
    f.flow.installHelper();
    EXPECT_EQ(f.alerts.back().informativeText, "pkexec を起動できませんでした: No such file or directory");
    EXPECT_EQ(f.events.back(), "evaluate helper");
    EXPECT_TRUE(log.lines().empty());
}

TEST(HelperInstallFlow, MissingRemovalScriptShowsTheMissingFileAlertThenEvaluates) {
    FlowFixture f;
    std::filesystem::remove(f.dir / "uninstall.sh");
    test::LogCapture log;
    f.flow.uninstallHelper();
    EXPECT_EQ(f.events, (std::vector<std::string>{"alert ヘルパーを取り外しますか？",
                                                  "alert うまくいきませんでした", "evaluate helper"}));
    EXPECT_EQ(f.alerts.back().informativeText, "アプリの中にあるはずのファイルが見つかりませんでした。ダウン"
                                               "ロードし直してからもう一度お試しください。");
    EXPECT_EQ(f.alerts.back().style, Flow::Style::critical);
    EXPECT_TRUE(f.runner->calls.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST(HelperInstallFlow, MenuRowOffersInstallOrRemovalOnlyWhileTheScriptIsThere) {
    using Row = Flow::MenuRow;
    const Row install{"\u3000ふた閉じ抑止を有効にする…", Flow::Action::installHelper};
    const Row remove{"\u3000ヘルパーを取り外す…", Flow::Action::uninstallHelper};
    EXPECT_EQ(Flow::menuRow(true, HelperStatus::notInstalled), install);
    EXPECT_EQ(Flow::menuRow(true, HelperStatus::notResponding), install);
    EXPECT_EQ(Flow::menuRow(true, HelperStatus::ok), remove);
    for (auto status : {HelperStatus::ok, HelperStatus::notInstalled, HelperStatus::notResponding})
        EXPECT_EQ(Flow::menuRow(false, status), std::nullopt);
}
