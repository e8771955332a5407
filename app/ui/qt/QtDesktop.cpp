#include "app/ui/qt/QtDesktop.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

namespace torvane {

void QtDesktop::beep() {
    QApplication::beep();
}

void QtDesktop::openFile(const std::filesystem::path& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path.string())));
}

void QtDesktop::terminate() {
    // exit() rather than quit(): it ends every running event loop, a modal alert's included, without
    // asking windows whether they may close. Queued, so the caller returns first.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

} // namespace torvane
