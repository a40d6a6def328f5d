#include "sim/Modules.h"
#include "sim/Network.h"

#include <arpa/inet.h>

#include "hardware/registers.h"
#include "sim/Control.h"
#include "sim/Fpga.h"
#include "sim/System.h"

namespace sim {

namespace {

struct NetworkState {
    bool fallback = false;
};

void install(Fpga& f) {
    // The request bit is driven by the board, whatever was written to the word.
    f.on_read(reg::CTRL_BASE + reg::ctrl::SENSOR, [](Fpga& dev, uint64_t, uint32_t value) {
        const uint32_t mask = reg::ctrl::DHCP_FALLBACK.mask;
        return dev.state<NetworkState>("network").fallback ? (value | mask) : (value & ~mask);
    });
}

}  // namespace

namespace {

control::Json eth0_reply() {
    Eth0State e = eth0();
    return control::Json::object()
        .set("link_up", e.link_up)
        .set("ip", e.ip)
        .set("netmask", e.netmask)
        .set("mac", e.mac);
}

control::Json cmd_eth0(const control::Request& q) {
    Eth0State e = eth0();
    set_eth0(q.flag("link_up", e.link_up), q.text("ip", ""), q.text("netmask", ""), q.text("mac", ""));
    return eth0_reply();
}

// "testip DHCP=d IP=a NETMASK=m GATEWAY=g" tries settings on the running interface: with DHCP=0
// eth0 takes the address and mask (when both are addresses); with DHCP=1 it keeps its lease.
int emulate_testip(const std::vector<std::string>& argv) {
    std::string dhcp, ip, netmask;
    for (const auto& a : argv) {
        if (a.rfind("DHCP=", 0) == 0)
            dhcp = a.substr(5);
        else if (a.rfind("IP=", 0) == 0)
            ip = a.substr(3);
        else if (a.rfind("NETMASK=", 0) == 0)
            netmask = a.substr(8);
    }
    in_addr probe;
    if (dhcp != "0" || inet_pton(AF_INET, ip.c_str(), &probe) != 1 || inet_pton(AF_INET, netmask.c_str(), &probe) != 1)
        return dhcp == "1" ? 0 : 1;
    set_eth0(true, ip, netmask);
    return 0;
}

const bool testip_registered = (on_program("testip", emulate_testip), true);

control::Json cmd_dhcp_fallback(const control::Request& q) {
    if (q.has("on")) request_dhcp_fallback(q.flag("on", false));
    return control::Json::object().set("on", dhcp_fallback_requested());
}

}  // namespace

Eth0State eth0() {
    Fpga& f = device();
    std::lock_guard<std::recursive_mutex> g(f.lock());
    const Config& c = f.config();
    return Eth0State{c.link_up, c.ip, c.netmask, c.mac};
}

void set_eth0(bool link_up, const std::string& ip, const std::string& netmask, const std::string& mac) {
    Fpga& f = device();
    std::lock_guard<std::recursive_mutex> g(f.lock());
    Config& c = f.config();
    c.link_up = link_up;
    if (!ip.empty()) c.ip = ip;
    if (!netmask.empty()) c.netmask = netmask;
    if (!mac.empty()) c.mac = mac;
}

void request_dhcp_fallback(bool on) {
    Fpga& f = device();
    std::lock_guard<std::recursive_mutex> g(f.lock());
    f.state<NetworkState>("network").fallback = on;
}

bool dhcp_fallback_requested() {
    Fpga& f = device();
    std::lock_guard<std::recursive_mutex> g(f.lock());
    return f.state<NetworkState>("network").fallback;
}

void register_network() {
    add_feature("network", install);
    control::on_command("eth0", cmd_eth0,
                        "{link_up, ip, netmask, mac}: the state of eth0 (up and running, address, mask, hardware "
                        "address); members left out stay as they are");
    control::on_command("dhcp_fallback", cmd_dhcp_fallback,
                        "{on}: raises (true) or withdraws (false) the DHCP fall-back request (control 0x3C bit 16)");
}

}  // namespace sim
