// The simulated board's network side: the state of "eth0" as the kernel would report it, and the
// FPGA's DHCP fall-back request (control word 0x3C, bit 16), which a button on the board raises.
#pragma once

#include <string>

namespace sim {

struct Eth0State {
    bool link_up;  // up and running
    std::string ip;
    std::string netmask;
    std::string mac;
};

Eth0State eth0();
// Changes eth0 of the process's device; empty strings leave a value as it is.
void set_eth0(bool link_up, const std::string& ip = "", const std::string& netmask = "", const std::string& mac = "");

// Raises (true) or withdraws (false) the DHCP fall-back request.
void request_dhcp_fallback(bool on);
bool dhcp_fallback_requested();

}  // namespace sim
