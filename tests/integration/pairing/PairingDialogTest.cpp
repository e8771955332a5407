#include "QrSupport.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/qt/QtAlertPresenter.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/integration/ui/QtTestApp.hpp"

#include <QImage>
#include <QMessageBox>
#include <gtest/gtest.h>

namespace torvane {
namespace {

// The dialog as Qt draws it, not only the picture handed to it: scaling or smoothing on the way
// would stop a camera from reading it.
TEST(PairingDialog, ShowsTheURLAsTextAndACodeThatReadsBackFromTheDrawnDialog) {
    test::qtApp();
    const std::string url =
        "http://192.0.2.10:8787/#p=AAECAwQFBgcI.2eDrkVxrlEU9KI1n4dEZHWq8Rq95-shHaniLlRuavuU";
    std::unique_ptr<QMessageBox> box = QtAlertPresenter::makeMessageBox(Pairing::pairingAlert(url));
    EXPECT_TRUE(box->informativeText().startsWith(QString::fromStdString(url) + "\n\n"));
    box->show();
    QCoreApplication::processEvents();
    const QImage shot = box->grab().toImage();
    box->hide();
    test::TempDir dir;
    ASSERT_TRUE(shot.save(QString::fromStdString((dir / "dialog.png").string())));
    EXPECT_EQ(test::decodeQr(dir / "dialog.png"), url);
}

} // namespace
} // namespace torvane
