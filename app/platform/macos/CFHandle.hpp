#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <memory>
#include <type_traits>

namespace torvane {

struct CFReleaser {
    void operator()(const void* object) const {
        if (object)
            CFRelease(object);
    }
};

// Owns one Core Foundation object obtained from a Copy or Create call.
template <class Ref> using CFHandle = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

} // namespace torvane
