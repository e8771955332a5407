#pragma once

namespace torvane {

class LidSensor {
public:
    virtual ~LidSensor() = default;

    // True when the lid is closed; false when it is open or its state cannot be read.
    virtual bool lidClosed() = 0;
};

} // namespace torvane
