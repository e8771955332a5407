#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// One entry of the system's interface address list, reduced to what the choice needs.
struct InterfaceAddress {
    std::string name;
    bool up = false;
    bool loopback = false;
    bool ipv4 = false;
    std::optional<std::string> numericHost; // none when there is no address or it cannot be shown
};

// Which interfaces a phone on the same network is likely to reach us through.
struct InterfacePolicy {
    std::vector<std::string_view> preferredPrefixes; // the first address on one of these wins
    std::vector<std::string_view> skippedPrefixes;   // never chosen (container and VM bridges)
};

// The policy of the platform this binary was built for.
const InterfacePolicy& hostInterfacePolicy();

// The system's interface addresses (getifaddrs, getnameinfo), in the system's order.
std::vector<InterfaceAddress> systemInterfaceAddresses();

// The IPv4 address of an up, non-loopback interface, preferring the policy's interfaces;
// otherwise the first usable one in list order; none if there is none.
std::optional<std::string> chooseLocalAddress(const std::vector<InterfaceAddress>& addresses,
                                              const InterfacePolicy& policy);

} // namespace torvane
