#include "app/phone/LocalAddress.hpp"

#include <algorithm>
#include <asio/ip/address.hpp>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace torvane {

namespace {

bool startsWithAny(std::string_view name, const std::vector<std::string_view>& prefixes) {
    for (const std::string_view prefix : prefixes) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

bool usable(const InterfaceAddress& address, const InterfacePolicy& policy) {
    return address.up && !address.loopback && address.ipv4 && address.numericHost &&
           !startsWithAny(address.name, policy.skippedPrefixes);
}

std::string_view trimmed(std::string_view word) {
    const auto begin = word.find_first_not_of(" \t");
    return begin == std::string_view::npos ? std::string_view()
                                           : word.substr(begin, word.find_last_not_of(" \t") - begin + 1);
}

struct IfaddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

} // namespace

std::vector<InterfaceAddress> systemInterfaceAddresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return {};
    }
    const std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);
    std::vector<InterfaceAddress> result;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress address;
        address.name = entry->ifa_name != nullptr ? entry->ifa_name : "";
        address.up = (entry->ifa_flags & IFF_UP) != 0;
        address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        if (entry->ifa_addr != nullptr) {
            address.ipv4 = entry->ifa_addr->sa_family == AF_INET;
            if (address.ipv4) {
                char host[NI_MAXHOST + 1] = {};
                if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                                  NI_NUMERICHOST) == 0) {
                    address.numericHost = host;
                }
            }
        }
        result.push_back(std::move(address));
    }
    return result;
}

std::vector<std::string> lanAddresses(const std::vector<InterfaceAddress>& addresses,
                                      const InterfacePolicy& policy) {
    std::vector<std::string> result;
    for (const InterfaceAddress& address : addresses) {
        if (usable(address, policy) &&
            std::find(result.begin(), result.end(), *address.numericHost) == result.end()) {
            result.push_back(*address.numericHost);
        }
    }
    return result;
}

ListenPlan ListenPlan::parse(std::string_view setting) {
    ListenPlan plan;
    while (!setting.empty()) {
        const auto comma = setting.find(',');
        const std::string_view word = trimmed(setting.substr(0, comma));
        setting = comma == std::string_view::npos ? std::string_view() : setting.substr(comma + 1);
        asio::error_code error;
        const auto address = asio::ip::make_address(std::string(word), error);
        if (word.empty()) {
            continue;
        } else if (word == "lan") {
            plan.lan = true;
        } else if (word == "loopback") {
            plan.loopback = true;
        } else if (word == "all") {
            plan.all = true;
        } else if (!error && !address.is_unspecified() && !address.is_multicast()) {
            plan.addresses.push_back(address.to_string());
        } else {
            plan.unknown.emplace_back(word);
        }
    }
    if (!plan.all && !plan.loopback && plan.addresses.empty()) {
        plan.lan = true; // unset, or nothing usable in it
    }
    return plan;
}

std::vector<std::string> ListenPlan::resolve(const std::vector<InterfaceAddress>& interfaces,
                                             const InterfacePolicy& policy) const {
    if (all) {
        return {};
    }
    std::vector<std::string> result;
    if (lan || loopback) {
        result = {"127.0.0.1", "::1"};
    }
    if (lan) {
        for (auto& address : lanAddresses(interfaces, policy)) {
            result.push_back(std::move(address));
        }
    }
    for (const auto& address : addresses) {
        if (std::find(result.begin(), result.end(), address) == result.end()) {
            result.push_back(address);
        }
    }
    return result;
}

std::optional<std::string> ListenPlan::pairingAddress(const std::vector<InterfaceAddress>& interfaces,
                                                      const InterfacePolicy& policy) const {
    if (narrowed()) {
        // Only the addresses the setting names are listened on: offer the first a phone can reach.
        for (const auto& address : addresses) {
            if (address.find(':') == std::string::npos && !address.starts_with("127.")) {
                return address;
            }
        }
        return std::nullopt;
    }
    return chooseLocalAddress(interfaces, policy);
}

std::optional<std::string> chooseLocalAddress(const std::vector<InterfaceAddress>& addresses,
                                              const InterfacePolicy& policy) {
    std::optional<std::string> fallback;
    for (const InterfaceAddress& address : addresses) {
        if (!usable(address, policy)) {
            continue;
        }
        if (startsWithAny(address.name, policy.preferredPrefixes)) {
            return address.numericHost;
        }
        if (!fallback) {
            fallback = address.numericHost;
        }
    }
    return fallback;
}

} // namespace torvane
