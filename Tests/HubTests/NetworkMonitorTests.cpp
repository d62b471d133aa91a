#include "DaroriCore/External/Hub/NetworkMonitor.hpp"

#include <cstdlib>

#include <gtest/gtest.h>

using namespace darori;

namespace {
bool allUp(std::string_view) { return true; }
bool noneUp(std::string_view) { return false; }
bool onlyEth1(std::string_view name) { return name == "eth1"; }

const char* V4_HEADER = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
const std::string V6_DEFAULT = "00000000000000000000000000000000 00 00000000000000000000000000000000 00 fe800000000000000000000000000001 00000400 00000001 00000000 00000003 wlan0\n";
}  // namespace

TEST(NetworkMonitor, UsablePathFromTheRoutingTables) {
    struct Case {
        const char* name;
        std::string v4, v6;
        bool (*up)(std::string_view);
        bool usable;
    };
    const std::string v4 = V4_HEADER;
    const Case cases[] = {
        {"IPv4 default route", v4 + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", "", allUp, true},
        {"interface down", v4 + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", "", noneUp, false},
        {"only a subnet route", v4 + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", "", allUp, false},
        {"default route on loopback", v4 + "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", "", allUp, false},
        {"rejecting default route", v4 + "eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n", "", allUp, false},
        {"default on the second interface", v4 + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\neth1\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", "", onlyEth1, true},
        {"IPv6 default route", v4, V6_DEFAULT, allUp, true},
        {"nothing", v4, "", allUp, false},
        {"garbage", "x", "y z", allUp, false},
    };
    for (const Case& c : cases) EXPECT_EQ(NetworkMonitor::hasUsablePath(c.v4, c.v6, c.up), c.usable) << c.name;
}

TEST(NetworkMonitor, OfflineVerdictAndItsOverride) {
    NetworkStateActor state;
    EXPECT_TRUE(state.isConnected()) << "connected before the first report";
    unsetenv("CI_DISABLE_NETWORK_MONITOR");
    EXPECT_FALSE(state.shouldUseOfflineMode());
    state.update(true, true, true);
    EXPECT_FALSE(state.shouldUseOfflineMode()) << "expensive and constrained do not count";
    state.update(false, false, false);
    EXPECT_TRUE(state.shouldUseOfflineMode());
    for (const char* value : {"true", "01", ""}) {
        setenv("CI_DISABLE_NETWORK_MONITOR", value, 1);
        EXPECT_TRUE(state.shouldUseOfflineMode()) << '"' << value << '"';
    }
    setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    EXPECT_FALSE(state.shouldUseOfflineMode());
    unsetenv("CI_DISABLE_NETWORK_MONITOR");

    // A running monitor reports this machine's view, and starting it again keeps one thread.
    NetworkMonitor monitor;
    monitor.startMonitoring();
    monitor.startMonitoring();
}
