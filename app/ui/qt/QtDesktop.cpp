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
    // Queued, so that the menu action that asked has returned before the event loop ends.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

} // namespace torvane
