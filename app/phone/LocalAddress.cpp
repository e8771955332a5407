#include "app/phone/LocalAddress.hpp"

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

std::optional<std::string> chooseLocalAddress(const std::vector<InterfaceAddress>& addresses,
                                              const InterfacePolicy& policy) {
    std::optional<std::string> fallback;
    for (const InterfaceAddress& address : addresses) {
        if (!address.up || address.loopback || !address.ipv4 || !address.numericHost) {
            continue;
        }
        if (startsWithAny(address.name, policy.skippedPrefixes)) {
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
