// Connectivity for the hub client's offline decision. On Linux the kernel's routing view is the
// source: the path counts as usable while some interface other than loopback is up and carries a
// default route (IPv4 or IPv6). A monitor thread re-reads that view whenever the kernel announces
// a change of links, addresses or routes over a netlink socket. "Expensive" and "constrained" are
// never reported here and stay false.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace darori {

// The latest connectivity state. Starts connected (before the first report the network counts as
// usable). Thread-safe: the three flags are written together and read consistently.
class NetworkStateActor {
public:
    // False when the environment variable CI_DISABLE_NETWORK_MONITOR is exactly "1"; otherwise
    // whether the last report said there was no usable path.
    bool shouldUseOfflineMode() const;
    void update(bool isConnected, bool isExpensive, bool isConstrained);
    bool isConnected() const;
    bool isExpensive() const;
    bool isConstrained() const;

private:
    mutable std::mutex mutex_;
    bool isConnected_ = true;    // guarded by mutex_
    bool isExpensive_ = false;   // guarded by mutex_
    bool isConstrained_ = false;  // guarded by mutex_
};

class NetworkMonitor {
public:
    // The process-wide monitor, made (and started) on first use; it runs until the process ends.
    static NetworkMonitor& shared();

    // Makes the state and starts monitoring.
    NetworkMonitor();
    // Stops the monitor thread and waits for it.
    ~NetworkMonitor();
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // Starts the monitor thread; on a monitor that already runs it does nothing. The thread reports
    // the current path at once and then after each change. Thread-safe.
    void startMonitoring();

    NetworkStateActor& state() { return state_; }

    // Whether a usable path exists, from the texts of /proc/net/route and /proc/net/ipv6_route and
    // a test telling whether an interface is up. Pure; exposed for tests.
    static bool hasUsablePath(std::string_view ipv4Routes, std::string_view ipv6Routes,
                              bool (*interfaceIsUp)(std::string_view name));

private:
    void run(std::stop_token stop);

    NetworkStateActor state_;
    std::mutex mutex_;
    std::jthread thread_;  // guarded by mutex_
    int wakeFd_ = -1;
};

}  // namespace darori
