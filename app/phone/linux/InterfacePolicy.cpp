#include "app/phone/LocalAddress.hpp"

namespace torvane {

// Wired and wireless interfaces ("en…" under predictable naming, "wl…" for Wi-Fi); bridges of
// containers and virtual machines are not where a phone can reach us.
const InterfacePolicy& hostInterfacePolicy() {
    static const InterfacePolicy policy{
        {"en", "wl"},
        {"docker", "br-", "virbr", "veth", "podman", "cni", "lxc"},
    };
    return policy;
}

} // namespace torvane
