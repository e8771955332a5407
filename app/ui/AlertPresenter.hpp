#pragma once

#include "app/ui/GrayImage.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

enum class AlertStyle { warning, informational, critical };

// A black-and-white picture shown inside an alert (the pairing QR code).
using AlertImage = GrayImage;

struct Alert {
    AlertStyle style = AlertStyle::informational;
    std::string message;                    // the bold title line
    std::string informativeText;            // the body; line feeds are kept
    std::vector<std::string> buttons{"OK"}; // in order of adding; the first is the default
    std::optional<AlertImage> image;
};

// Shows modal alerts. The application is brought to the front first, so the alert is never hidden
// behind another program's window.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Returns the index of the chosen button. Closing the alert without a button counts as declining
    // a two-button question (index 1) and as the first button of any other alert.
    virtual std::size_t run(const Alert& alert) = 0;
};

} // namespace torvane
