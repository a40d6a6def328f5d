// Network settings: the live state of "eth0", the stored settings in network.conf, trying
// settings out with "testip", storing them (with a reboot), and the network watcher.
//
// `settings` and `permanent` are guarded by settings_lock: the watcher runs without pulser_lock
// and the interface threads call in with it. Storing holds settings_lock for the whole file
// replacement so the watcher's DHCP fall-back and an interface store never interleave.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "common/SettingsFile.h"
#include "device/Pulser.h"
#include "platform/platform.h"
#include "device/register_access.h"

using namespace reg;

namespace {

const char* const NETWORK_CONF = "/userconfig/network/network.conf";
const char* const NETWORK_TMP = "/userconfig/network/tmp_writefile";
const char* const NO_NETWORK_CONF = "no network.conf in /userconfig/network";

// Network status codes (control word 0x08, bits 5:3).
constexpr uint32_t NET_DHCP_LINK_LOCAL = 1;
constexpr uint32_t NET_DHCP_NO_ADDRESS = 2;
constexpr uint32_t NET_DHCP_ADDRESS = 3;
constexpr uint32_t NET_STATIC_DOWN = 4;
constexpr uint32_t NET_STATIC_UP = 5;

// Reads one number as "%d" does: leading white space, an optional sign, at least one digit.
// Values beyond the range of int saturate, so they stay out of range for an address byte.
bool scan_int(const char*& p, long long& value) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (v < (1LL << 40)) v = v * 10 + (*p - '0');
        ++p;
    }
    value = negative ? -v : v;
    return true;
}

// Parses "a.b.c.d" (text after the fourth number is ignored) and rebuilds it from the four
// numbers in plain decimal. False unless there are four numbers, each 0..255.
bool rebuild_address(const std::string& text, std::string& out) {
    const char* p = text.c_str();
    long long n[4];
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.') return false;
        if (!scan_int(p, n[i])) return false;
    }
    std::string rebuilt;
    for (int i = 0; i < 4; ++i) {
        if (n[i] < 0 || n[i] > 255) return false;
        rebuilt += (i ? "." : "") + std::to_string(n[i]);
    }
    out = rebuilt;
    return true;
}

// The gateway as rebuild_address gives it; no gateway at all is the empty text.
bool rebuild_gateway(const std::string& text, std::string& out) {
    if (text.empty()) {
        out.clear();
        return true;
    }
    return rebuild_address(text, out);
}

std::string dotted(const struct sockaddr& sa) {
    const auto* sin = reinterpret_cast<const struct sockaddr_in*>(&sa);
    char buf[INET_ADDRSTRLEN] = {0};
    if (!inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof(buf))) return "0.0.0.0";
    return buf;
}

uint32_t network_status(bool dhcp, const ConfigEthx& eth) {
    if (!dhcp) return eth.link_up ? NET_STATIC_UP : NET_STATIC_DOWN;
    if (!eth.link_up || eth.ip == "0.0.0.0") return NET_DHCP_NO_ADDRESS;
    if (eth.ip.compare(0, 7, "169.254") == 0 && eth.netmask == "255.255.0.0") return NET_DHCP_LINK_LOCAL;
    return NET_DHCP_ADDRESS;
}

// The new contents of network.conf for `s`, built from the lines of the present file. Lines
// are only rewritten, never added or removed.
std::string rewrite_lines(std::istream& in, const network_settings& s) {
    std::string out, line;
    auto has = [&line](const char* key) { return line.find(key) != std::string::npos; };
    while (std::getline(in, line)) {
        if (has("PERMANENT="))
            out += s.dhcp ? "PERMANENT=0" : "PERMANENT=1";
        else if (s.dhcp)
            out += line;
        else if (has("IP="))
            out += "IP=" + s.ip;
        else if (has("NETMASK="))
            out += "NETMASK=" + s.netmask;
        else if (has("GATEWAY="))
            out += "GATEWAY=" + s.gateway;
        else
            out += line;
        out += "\n";
    }
    return out;
}

// Makes `s` the stored settings: rewrites network.conf through the temporary file. Returns
// 0 when the new file is in place (the caller reboots), -1 otherwise (the old file is kept).
int store_settings(const network_settings& s) {
    std::cout << "Write network settings permanent to file and reboot system" << std::endl;
    const std::string conf = platform::path(NETWORK_CONF);
    const std::string tmp = platform::path(NETWORK_TMP);

    std::string contents;
    {
        std::ifstream in(conf);
        if (!in) {
            std::cout << NO_NETWORK_CONF << std::endl;
            return -1;
        }
        contents = rewrite_lines(in, s);
        if (in.bad()) {
            std::cerr << "network.conf: read error" << std::endl;
            return -1;
        }
    }
    const char* step = "";
    if (!settings::replace_file(tmp, conf, contents, &step)) {
        std::perror(std::string(step) == "rename" ? "rename" : "tmp_writefile");
        return -1;
    }
    return 0;
}

}  // namespace

ConfigEthx Pulser::getConfigEth0() {
    ConfigEthx eth;
    char name[IFNAMSIZ] = {0};
    std::strncpy(name, "eth0", IFNAMSIZ - 1);
    short flags = 0;
    if (platform::if_flags(name, &flags) != 0) {
        std::perror("SIOCGIFFLAGS");
        return eth;
    }
    if ((flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING)) {
        struct sockaddr addr, mask;
        std::memset(&addr, 0, sizeof(addr));
        std::memset(&mask, 0, sizeof(mask));
        platform::if_addr(name, &addr);
        platform::if_netmask(name, &mask);
        eth.ip = dotted(addr);
        eth.netmask = dotted(mask);
        eth.link_up = true;
    } else {
        eth.link_up = false;
        eth.ip = "127.0.0.1";
        eth.netmask = "255.0.0.0";
    }
    return eth;
}

int Pulser::setNetworkConfiguration(bool dhcp, std::string ip, std::string netmask, std::string gateway,
                                    bool testmode) {
    // Each field reaches network.conf and "testip": each is rebuilt from what it parses to, so no
    // other text gets there.
    std::string ip_text, mask_text, gateway_text;
    if (!dhcp && (!rebuild_address(ip, ip_text) || !rebuild_address(netmask, mask_text) ||
                  !rebuild_gateway(gateway, gateway_text))) {
        std::cout << "Bad address format" << std::endl;
        return 1;
    }

    int result;
    {
        std::lock_guard<std::mutex> g(settings_lock);
        if (!dhcp) {
            settings.ip = ip_text;
            settings.netmask = mask_text;
            settings.gateway = gateway_text;
        }
        settings.dhcp = dhcp;
        if (testmode) {
            startNetworkTest();
            return 0;
        }
        result = store_settings(settings);
    }
    if (result == 0) reboot();
    return result;
}

int Pulser::applyNetworkConfiguration() {
    network_settings s;
    {
        std::lock_guard<std::mutex> g(settings_lock);
        s = settings;
    }
    return setNetworkConfiguration(s.dhcp, s.ip, s.netmask, s.gateway, false);
}

void Pulser::startNetworkTest() {
    std::lock_guard<std::mutex> g(network_test_lock);
    if (network_test_running) {
        network_test_again = true;
        return;
    }
    std::thread(&Pulser::testNetworkConf, this).detach();
    network_test_running = true;
}

void Pulser::testNetworkConf() {
    for (;;) {
        std::cout << "exec testip" << std::endl;
        network_settings s;
        {
            std::lock_guard<std::mutex> g(settings_lock);
            s = settings;
        }
        // Each setting is one argument: no shell ever sees the text.
        platform::run({"testip", std::string("DHCP=") + (s.dhcp ? "1" : "0"), "IP=" + s.ip, "NETMASK=" + s.netmask,
                       "GATEWAY=" + s.gateway});
        std::lock_guard<std::mutex> g(network_test_lock);
        if (!network_test_again) {
            network_test_running = false;
            return;
        }
        network_test_again = false;
    }
}

network_settings Pulser::getNetworkConfiguration(bool permanent_settings) {
    std::cout << "Getting network config" << std::endl;
    std::lock_guard<std::mutex> g(settings_lock);
    if (!permanent_settings && !settings.dhcp) return settings;

    network_settings result;
    result.dhcp = settings.dhcp;
    std::ifstream in(platform::path(NETWORK_CONF));
    if (!in) {
        std::cout << NO_NETWORK_CONF << std::endl;
        result.ip = result.netmask = result.gateway = "-";
        return result;
    }

    bool seen_permanent = false, seen_ip = false, seen_netmask = false, seen_gateway = false;
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        std::string word;
        std::istringstream(value) >> word;
        if (key == "PERMANENT") {
            permanent = !value.empty() && value[0] == '1';
            seen_permanent = true;
        } else if (key == "IP") {
            result.ip = word;
            seen_ip = true;
        } else if (key == "NETMASK") {
            result.netmask = word;
            seen_netmask = true;
        } else if (key == "GATEWAY") {
            result.gateway = word;
            seen_gateway = true;
        } else {
            std::cerr << "std::invalid_argument -> " << key << " not found" << std::endl;
            break;
        }
    }

    if (seen_permanent && seen_ip && seen_netmask && seen_gateway) {
        std::cout << "network configuration file successfully read" << std::endl;
    } else {
        std::cout << "network configuration file corrupted: " << seen_permanent << " | " << seen_ip << " | "
                  << seen_netmask << " | " << seen_gateway << std::endl;
    }
    return result;
}

void Pulser::network_daemon() {
    getNetworkConfiguration(false);
    do {
        const ConfigEthx eth = getConfigEth0();
        bool dhcp;
        {
            std::lock_guard<std::mutex> g(settings_lock);
            dhcp = settings.dhcp;
        }
        field_set(ctrl, ctrl::NET_STATUS, network_status(dhcp, eth));

        if (field_read(ctrl, ctrl::DHCP_FALLBACK)) {
            int result;
            {
                std::lock_guard<std::mutex> g(settings_lock);
                settings.dhcp = true;
                result = store_settings(settings);
            }
            if (result == 0) reboot();
            reboot();
        }
    } while (watcherSleep(std::chrono::milliseconds(1000)));
}
