#pragma once

#include "app/ui/AlertPresenter.hpp"

#include <memory>

class QMessageBox;

namespace torvane {

// Alerts as QMessageBox dialogs, run modally.
class QtAlertPresenter final : public AlertPresenter {
public:
    std::size_t run(const Alert& alert) override;

    // The dialog for `alert`, not yet shown. Texts are plain text, never markup; the first button is
    // the default, and Escape gives the alert's cancel button.
    static std::unique_ptr<QMessageBox> makeMessageBox(const Alert& alert);
    // The index of the button Escape or closing the window stands for.
    static std::size_t cancelIndex(std::size_t buttonCount);
    // Each button's index in Alert::buttons, as a property of the button.
    static const char* const indexProperty;
};

} // namespace torvane
