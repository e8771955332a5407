#include "QrSupport.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/qt/QtAlertPresenter.hpp"
#include "app/ui/qt/QtClipboard.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/ui/QtTestApp.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <gtest/gtest.h>

namespace torvane {
namespace {

const std::string url = "http://192.0.2.10:8787/?t=ghijklmnopqrstuvwxyz0123456789-_";

TEST(PairingDialog, ShowsTheTextAndACodeThatReadsBackFromTheScreen) {
    test::qtApp();
    const Alert alert = Pairing::pairingAlert(url);
    std::unique_ptr<QMessageBox> box = QtAlertPresenter::makeMessageBox(alert);
    EXPECT_EQ(box->text(), QStringLiteral("スマホのカメラで読み取ってください"));
    EXPECT_EQ(box->informativeText(), QString::fromStdString(alert.informativeText));
    EXPECT_TRUE(box->informativeText().startsWith(QString::fromStdString(url) + "\n\n"));
    EXPECT_EQ(box->iconPixmap().size(), QSize(220, 220));
    EXPECT_EQ(box->buttons().size(), 3);

    // The dialog as drawn, not only the picture handed to it: scaling or smoothing on the way
    // would show here.
    box->show();
    QCoreApplication::processEvents();
    const QImage shot = box->grab().toImage();
    box->hide();
    test::TempDir dir;
    const QString file = QString::fromStdString((dir / "dialog.png").string());
    ASSERT_TRUE(shot.save(file));
    EXPECT_EQ(test::decodeQr(dir / "dialog.png"), url);

    const auto* icon = box->findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->pixmap().toImage().convertToFormat(QImage::Format_Grayscale8),
              box->iconPixmap().toImage().convertToFormat(QImage::Format_Grayscale8));
}

TEST(QtClipboard, ReplacesTheClipboardWithThePlainURL) {
    test::qtApp();
    auto* older = new QMimeData;
    older->setHtml(QStringLiteral("<b>something older</b>"));
    older->setText(QStringLiteral("something older"));
    QGuiApplication::clipboard()->setMimeData(older);
    QtClipboard clipboard;
    clipboard.setText(url);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(url));
    EXPECT_FALSE(QGuiApplication::clipboard()->mimeData()->hasHtml());
}

} // namespace
} // namespace torvane
