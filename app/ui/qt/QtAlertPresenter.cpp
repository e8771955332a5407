#include "app/ui/qt/QtAlertPresenter.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>

namespace torvane {

namespace {

QMessageBox::Icon iconFor(AlertStyle style) {
    switch (style) {
    case AlertStyle::warning:
        return QMessageBox::Warning;
    case AlertStyle::critical:
        return QMessageBox::Critical;
    case AlertStyle::informational:
        break;
    }
    return QMessageBox::Information;
}

QImage toImage(const GrayImage& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() !=
            static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height))
        return {};
    QImage image(picture.width, picture.height, QImage::Format_Grayscale8);
    for (int y = 0; y < picture.height; ++y)
        std::copy_n(picture.pixels.data() +
                        static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width),
                    picture.width, image.scanLine(y));
    return image;
}

} // namespace

const char* const QtAlertPresenter::indexProperty = "torvaneButtonIndex";

std::size_t QtAlertPresenter::cancelIndex(std::size_t buttonCount) {
    // A question ("続ける" / "やめる") is declined by Escape; any other alert is simply acknowledged,
    // never answered with one of its further actions.
    return buttonCount == 2 ? 1 : 0;
}

std::unique_ptr<QMessageBox> QtAlertPresenter::makeMessageBox(const Alert& alert) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(QApplication::applicationDisplayName());
    box->setTextFormat(Qt::PlainText);
    box->setIcon(iconFor(alert.style));
    box->setText(QString::fromStdString(alert.message));
    box->setInformativeText(QString::fromStdString(alert.informativeText));
    if (auto* info = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        info->setTextFormat(Qt::PlainText);
    if (alert.image) {
        if (const QImage image = toImage(*alert.image); !image.isNull())
            box->setIconPixmap(QPixmap::fromImage(image));
    }

    std::vector<std::string> buttons = alert.buttons;
    if (buttons.empty())
        buttons.push_back("OK");
    const std::size_t cancel = cancelIndex(buttons.size());
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        QMessageBox::ButtonRole role = QMessageBox::ActionRole;
        if (i == 0)
            role = QMessageBox::AcceptRole;
        else if (i == cancel)
            role = QMessageBox::RejectRole;
        QPushButton* button = box->addButton(QString::fromStdString(buttons[i]), role);
        button->setProperty(indexProperty, static_cast<qulonglong>(i));
        if (i == 0)
            box->setDefaultButton(button);
        if (i == cancel)
            box->setEscapeButton(button);
    }
    return box;
}

std::size_t QtAlertPresenter::run(const Alert& alert) {
    std::unique_ptr<QMessageBox> box = makeMessageBox(alert);
    box->show();
    box->raise();
    box->activateWindow();
    box->exec();
    // The button box orders its buttons by role, so each button carries its own index.
    if (QAbstractButton* clicked = box->clickedButton()) {
        bool ok = false;
        const qulonglong index = clicked->property(indexProperty).toULongLong(&ok);
        if (ok)
            return static_cast<std::size_t>(index);
    }
    return cancelIndex(alert.buttons.size());
}

} // namespace torvane
