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

// The IPv4 addresses of the up, non-loopback interfaces the policy does not skip, in list order:
// those the pairing address is chosen among.
std::vector<std::string> lanAddresses(const std::vector<InterfaceAddress>& addresses,
                                      const InterfacePolicy& policy);

// Where the phone link listens, from the setting Config::Key::listenAddresses: words separated by
// commas, "lan" (the default: the LAN addresses and loopback), "loopback" (127.0.0.1 and ::1), "all"
// (every address, IPv6 and IPv4) or addresses.
struct ListenPlan {
    bool all = false;
    bool lan = false;
    bool loopback = false;
    std::vector<std::string> addresses; // numeric, as written back by the parser
    std::vector<std::string> unknown;   // words that are none of these, ignored

    static ListenPlan parse(std::string_view setting);
    // The addresses to listen on now; none for `all`.
    std::vector<std::string> resolve(const std::vector<InterfaceAddress>& interfaces,
                                     const InterfacePolicy& policy) const;
    // The address a pairing URL names: one listened on that a phone can reach; none if there is none.
    std::optional<std::string> pairingAddress(const std::vector<InterfaceAddress>& interfaces,
                                              const InterfacePolicy& policy) const;
    // Only the addresses the setting names (and maybe loopback) are listened on.
    bool narrowed() const { return !all && !lan; }
};

// The IPv4 address of an up, non-loopback interface, preferring the policy's interfaces;
// otherwise the first usable one in list order; none if there is none.
std::optional<std::string> chooseLocalAddress(const std::vector<InterfaceAddress>& addresses,
                                              const InterfacePolicy& policy);

} // namespace torvane
