#pragma once

#include <array>
#include <optional>

namespace torvane {

// The heat limit's latch, over one reading per evaluation. Two of the last three readings taken while
// carry mode is active at or above the limit release it: one may be a moment's peak, but a laptop
// that keeps going back up is hot even if every other reading dips. Only a reading
// Config::heatRecoveryMargin below the limit lifts the release. A sensor that stops answering counts as
// its last reading for two more evaluations, so pulling a zone away does not hide the heat; after that
// the temperature is unknown, which neither releases nor lifts.
class HeatGuard {
public:
    enum class Change { none, released, recovered };
    struct Result {
        Change change = Change::none;
        std::optional<int> celsius; // the reading decided on: the sensor's, or the last one held over
        bool lost = false;          // the held-over reading has just run out
    };

    Result update(std::optional<int> reading, int limit, bool active);
    bool blocked() const { return blocked_; }

private:
    static constexpr int heldEvaluations = 2;

    bool blocked_ = false;
    std::array<bool, 3> hot_{}; // the last three readings while active, at or above the limit
    std::optional<int> last_;   // the last reading the sensor gave
    int missed_ = 0;            // evaluations since, without one
};

} // namespace torvane
