#pragma once

#include "app/power/CarryPolicy.hpp"

#include <optional>
#include <string>
#include <vector>

namespace torvane {

// What one evaluation's guards have to say.
struct CarryReport {
    std::vector<std::string> lines;    // for the log, in order
    std::vector<std::string> releases; // the texts of the releases made, for the notification
};

// Each setting's warning goes just before its own guard's lines.
CarryReport reportGuards(const CarryDecision& decision, const CarryInputs& inputs,
                         const std::optional<std::string>& floorWarning,
                         const std::optional<std::string>& limitWarning);

} // namespace torvane
