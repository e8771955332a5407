#include "app/install/HelperInstallFlow.hpp"

#include "app/core/HostWords.hpp"

namespace torvane {

namespace {
using namespace std::string_literals;
const HostWords& w = hostWords;
} // namespace

std::optional<HelperInstallFlow::MenuRow> HelperInstallFlow::menuRow(bool installerAvailable,
                                                                     HelperStatus status) {
    if (!installerAvailable)
        return std::nullopt;
    if (status == HelperStatus::ok)
        return MenuRow{"\u3000ヘルパーを取り外す…", Action::uninstallHelper};
    return MenuRow{"\u3000ふた閉じ抑止を有効にする…", Action::installHelper};
}

HelperInstallFlow::HelperInstallFlow(HelperInstaller& installer, Present present, Evaluate evaluate,
                                     Offload offload)
    : installer_(installer), present_(std::move(present)), evaluate_(std::move(evaluate)),
      offload_(std::move(offload)) {}

HelperInstallFlow::Alert HelperInstallFlow::installConfirmation() {
    return {
        Style::informational,
        "ふた閉じ抑止を有効にしますか？",
        "ふたを閉じても"s + w.machine + "を眠らせない設定は、" + w.sleepGuardian +
            "が管理者権限で守っています。そのため、小さな補助プログラムを1つだけ入れる必要があります。\n\n"
            "このあと" +
            w.passwordPrompt +
            "が出ます。入力するのは最初の一度だけです。\n\n"
            "補助プログラムがするのは電源設定の切り替えだけで、通信もファイルの読み書きもしません。"
            "メニューの「ヘルパーを取り外す」で、いつでも元に戻せます。",
        {"続ける", "やめる"}};
}

HelperInstallFlow::Alert HelperInstallFlow::installSuccess() {
    return {Style::informational,
            "ふた閉じ抑止を有効にしました",
            "Caps Lock を ON にすると、ふたを閉じても"s + w.machine + "は眠りません。\n\n" + w.statusArea +
                "の表示が「ふた閉じ抑止: 有効（ヘルパー経由）」に変わっていることを確認してください。",
            {"OK"}};
}

HelperInstallFlow::Alert HelperInstallFlow::uninstallConfirmation() {
    return {Style::warning,
            "ヘルパーを取り外しますか？",
            "電源設定は元に戻り、ふたを閉じると"s + w.machine +
                "は通常どおり眠るようになります。\n\n"
                "取り外したあと、設定が本当に戻ったかを自動で確認します。",
            {"取り外す", "やめる"}};
}

HelperInstallFlow::Alert HelperInstallFlow::uninstallSuccess() {
    return {Style::informational,
            "ヘルパーを取り外しました",
            "電源設定は元に戻りました。ふたを閉じれば"s + w.machine + "は眠ります。",
            {"OK"}};
}

HelperInstallFlow::Alert HelperInstallFlow::failureAlert(const HelperInstaller::Failure& failure) {
    std::string text = failure.text;
    if (failure.kind == HelperInstaller::Failure::Case::scriptMissing)
        text = "アプリの中にあるはずのファイルが見つかりませんでした。ダウンロードし直してからもう一度お試し"
               "ください。";
    return {Style::critical, "うまくいきませんでした", std::move(text), {"OK"}};
}

void HelperInstallFlow::installHelper() {
    perform(installConfirmation(), &HelperInstaller::install, installSuccess());
}

void HelperInstallFlow::uninstallHelper() {
    perform(uninstallConfirmation(), &HelperInstaller::uninstall, uninstallSuccess());
}

void HelperInstallFlow::perform(const Alert& confirmation,
                                HelperInstaller::Result (HelperInstaller::*operation)(),
                                const Alert& success) {
    if (present_(confirmation) != 0)
        return;
    // The flow itself may be gone when the result comes: the rest keeps its own copies.
    auto finish = [present = present_, evaluate = evaluate_,
                   success](const HelperInstaller::Result& failure) {
        if (!failure) {
            // The success alert already reflects the new state.
            evaluate(evaluationReason);
            present(success);
            return;
        }
        if (failure->kind == HelperInstaller::Failure::Case::cancelled)
            return;
        present(failureAlert(*failure));
        evaluate(evaluationReason);
    };
    Operation work = [&installer = installer_, operation] { return (installer.*operation)(); };
    if (offload_)
        offload_(std::move(work), std::move(finish));
    else
        finish(work());
}

} // namespace torvane
