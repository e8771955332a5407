#include "app/ui/qt/QtClipboard.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>

namespace torvane {

void QtClipboard::setText(const std::string& text) {
    // setText replaces the clipboard's whole content with one plain-text entry.
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromStdString(text), QClipboard::Clipboard);
}

} // namespace torvane
