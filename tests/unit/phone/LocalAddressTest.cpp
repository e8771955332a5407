#include "app/phone/LocalAddress.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

InterfaceAddress v4(std::string name, std::string host, bool up = true, bool loopback = false) {
    return {std::move(name), up, loopback, true, std::move(host)};
}

InterfaceAddress v6(std::string name) {
    return {std::move(name), true, false, false, "fe80::1"};
}

const InterfacePolicy enOnly{{"en"}, {}};
const InterfacePolicy linuxLike{{"en", "wl"}, {"docker", "br-", "virbr", "veth", "podman", "cni", "lxc"}};

TEST(LocalAddress, PrefersAWiredOrWirelessInterfaceOverEarlierOnes) {
    const std::vector<InterfaceAddress> list{v4("lo", "127.0.0.1", true, true), v4("tun0", "10.8.0.2"),
                                             v4("wlp2s0", "192.168.1.20"), v4("enp3s0", "192.168.1.21")};
    EXPECT_EQ(chooseLocalAddress(list, linuxLike), "192.168.1.20");
    // Where only "en" counts, the first usable address is kept until an "en" one turns up.
    EXPECT_EQ(chooseLocalAddress(list, enOnly), "192.168.1.21");
}

TEST(LocalAddress, FallsBackToTheFirstUsableAddressAndSkipsBridges) {
    const std::vector<InterfaceAddress> list{v4("docker0", "172.17.0.1"),   v4("br-1a2b", "172.18.0.1"),
                                             v4("virbr0", "192.168.122.1"), v4("veth12", "169.254.1.1"),
                                             v4("eth0", "192.168.5.5"),     v4("usb0", "172.20.10.2")};
    EXPECT_EQ(chooseLocalAddress(list, linuxLike), "192.168.5.5");
    EXPECT_EQ(chooseLocalAddress(list, enOnly), "172.17.0.1");
}

TEST(LocalAddress, OnlyLoopbackIPv6DownOrUnnamedInterfacesGiveNoAddress) {
    const std::vector<InterfaceAddress> list{v4("lo", "127.0.0.1", true, true),
                                             v6("en0"),
                                             v4("en1", "192.168.1.9", false),
                                             {"en2", true, false, true, std::nullopt}};
    EXPECT_EQ(chooseLocalAddress(list, linuxLike), std::nullopt);
    EXPECT_EQ(chooseLocalAddress({}, linuxLike), std::nullopt);
}

TEST(LocalAddress, TheSystemListShowsTheLoopbackAsSuch) {
    const auto list = systemInterfaceAddresses();
    const auto loopback = std::find_if(list.begin(), list.end(), [](const InterfaceAddress& a) {
        return a.ipv4 && a.numericHost == "127.0.0.1";
    });
    ASSERT_NE(loopback, list.end());
    EXPECT_TRUE(loopback->loopback);
    EXPECT_TRUE(loopback->up);
    // Whatever the machine has, the choice never falls on a loopback address.
    const auto chosen = chooseLocalAddress(list, hostInterfacePolicy());
    if (chosen) {
        EXPECT_FALSE(chosen->starts_with("127."));
    }
}

} // namespace
} // namespace torvane
