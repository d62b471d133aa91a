#include "DaroriCore/External/Hub/NetworkMonitor.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>
#include <fstream>
#include <sstream>
#include <string>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace darori {

namespace {

std::string readText(const char* path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool interfaceIsUp(std::string_view name) {
    if (name.size() >= IFNAMSIZ) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    name.copy(request.ifr_name, name.size());
    const bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING);
    close(fd);
    return up;
}

std::vector<std::string> fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string f; in >> f;) out.push_back(f);
    return out;
}

}  // namespace

bool NetworkStateActor::shouldUseOfflineMode() const {
    const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
    if (disabled && std::string_view(disabled) == "1") return false;
    return !isConnected();
}

void NetworkStateActor::update(bool isConnected, bool isExpensive, bool isConstrained) {
    std::lock_guard guard(mutex_);
    isConnected_ = isConnected;
    isExpensive_ = isExpensive;
    isConstrained_ = isConstrained;
}

bool NetworkStateActor::isConnected() const {
    std::lock_guard guard(mutex_);
    return isConnected_;
}
bool NetworkStateActor::isExpensive() const {
    std::lock_guard guard(mutex_);
    return isExpensive_;
}
bool NetworkStateActor::isConstrained() const {
    std::lock_guard guard(mutex_);
    return isConstrained_;
}

bool NetworkMonitor::hasUsablePath(std::string_view ipv4Routes, std::string_view ipv6Routes,
                                   bool (*isUp)(std::string_view name)) {
    constexpr unsigned long RTF_UP_FLAG = 0x0001, RTF_REJECT_FLAG = 0x0200;
    // /proc/net/route: Iface Destination Gateway Flags ... Mask (hex); a header line first.
    std::istringstream v4{std::string(ipv4Routes)};
    std::string line;
    std::getline(v4, line);
    while (std::getline(v4, line)) {
        const auto f = fields(line);
        if (f.size() < 8 || f[0] == "lo") continue;
        const unsigned long flags = std::strtoul(f[3].c_str(), nullptr, 16);
        if (f[1] == "00000000" && f[7] == "00000000" && (flags & RTF_UP_FLAG) && !(flags & RTF_REJECT_FLAG) && isUp(f[0])) return true;
    }
    // /proc/net/ipv6_route: dest prefixlen src srclen nexthop metric refcnt use flags iface.
    std::istringstream v6{std::string(ipv6Routes)};
    while (std::getline(v6, line)) {
        const auto f = fields(line);
        if (f.size() < 10 || f[9] == "lo") continue;
        const unsigned long flags = std::strtoul(f[8].c_str(), nullptr, 16);
        if (f[0] == std::string(32, '0') && f[1] == "00" && (flags & RTF_UP_FLAG) && !(flags & RTF_REJECT_FLAG) && isUp(f[9])) return true;
    }
    return false;
}

NetworkMonitor& NetworkMonitor::shared() {
    static NetworkMonitor* monitor = new NetworkMonitor();  // never destroyed: runs until the process ends
    return *monitor;
}

NetworkMonitor::NetworkMonitor() { startMonitoring(); }

NetworkMonitor::~NetworkMonitor() {
    std::lock_guard guard(mutex_);
    if (thread_.joinable()) {
        thread_.request_stop();
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
}

void NetworkMonitor::startMonitoring() {
    std::lock_guard guard(mutex_);
    if (thread_.joinable()) return;
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void NetworkMonitor::run(std::stop_token stop) {
    const int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (sock >= 0) {
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    auto report = [this] {
        const bool connected = hasUsablePath(readText("/proc/net/route"), readText("/proc/net/ipv6_route"), interfaceIsUp);
        state_.update(connected, false, false);
    };
    report();
    while (!stop.stop_requested() && sock >= 0) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        char buffer[8192];
        while (recv(sock, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        report();
    }
    if (sock >= 0) close(sock);
}

}  // namespace darori
