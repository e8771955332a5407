#include "app/phone/LocalAddress.hpp"

namespace torvane {

// Ethernet and Wi-Fi are both "en…" here.
const InterfacePolicy& hostInterfacePolicy() {
    static const InterfacePolicy policy{{"en"}, {}};
    return policy;
}

} // namespace torvane
