#include "app/ui/qt/QtTextPrompt.hpp"

#include <QInputDialog>

namespace torvane {

std::optional<std::string> QtTextPrompt::ask(const std::string& title, const std::string& label,
                                             const std::string& initial) {
    QInputDialog dialog;
    dialog.setWindowTitle(QString::fromStdString(title));
    dialog.setLabelText(QString::fromStdString(label));
    dialog.setTextValue(QString::fromStdString(initial));
    dialog.resize(520, dialog.sizeHint().height()); // a whole topic URL stays visible
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue().toStdString();
}

} // namespace torvane
