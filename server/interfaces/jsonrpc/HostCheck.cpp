#include "interfaces/jsonrpc/HostCheck.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "common/HostName.h"
#include "common/SettingsFile.h"
#include "platform/platform.h"

namespace hostcheck {

namespace {

const char* const ALLOWED_HOSTS_TMP = "/userconfig/network/http_hosts.new";
std::mutex file_lock;  // one writer of the list at a time, and no reader of a half-written one

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool ends_with(const std::string& name, const std::string& tail) {
    return name.size() > tail.size() && same_name(name.substr(name.size() - tail.size()), tail);
}

// The name without its port: "[::1]:8050" gives "::1", "pulser:8050" gives "pulser", "::1"
// itself. False when the port is not a number.
bool strip_port(const std::string& host, std::string& name) {
    size_t end = host.size();
    std::string rest;
    if (!host.empty() && host[0] == '[') {
        end = host.find(']');
        if (end == std::string::npos) return false;
        name = host.substr(1, end - 1);
        rest = host.substr(end + 1);
    } else if (host.find(':') != host.rfind(':')) {
        name = host;  // an IPv6 address without brackets (and so without a port)
    } else {
        end = host.find(':');
        name = host.substr(0, end);
        rest = end == std::string::npos ? "" : host.substr(end);
    }
    if (rest.empty()) return true;
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
    for (size_t i = 1; i < rest.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
    return true;
}

// An address of this machine (loopback included), IPv4 or IPv6.
bool own_address(const std::string& name) {
    in_addr v4{};
    in6_addr v6{};
    const bool is4 = inet_pton(AF_INET, name.c_str(), &v4) == 1;
    const bool is6 = !is4 && inet_pton(AF_INET6, name.c_str(), &v6) == 1;
    if (!is4 && !is6) return false;
    if (is4 && (ntohl(v4.s_addr) >> 24) == 127) return true;
    if (is6 && IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    if (is4) {
        sockaddr eth{};
        if (platform::if_addr("eth0", &eth) == 0 && eth.sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(&eth)->sin_addr.s_addr == v4.s_addr)
            return true;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (const ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr) continue;
        if (is4 && a->ifa_addr->sa_family == AF_INET)
            found = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == v4.s_addr;
        else if (is6 && a->ifa_addr->sa_family == AF_INET6)
            found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr, &v6, sizeof v6) == 0;
    }
    freeifaddrs(list);
    return found;
}

// The domains the system resolves bare names in ("domain" and "search" of resolv.conf).
std::vector<std::string> domains() {
    std::vector<std::string> found;
    std::ifstream in(platform::path("/etc/resolv.conf"));
    std::string line, word;
    for (int lines = 0; lines < 64 && std::getline(in, line); ++lines) {
        std::istringstream words(line);
        words >> word;
        if (word != "domain" && word != "search") continue;
        while (words >> word && found.size() < 8)
            if (valid_host_name(word)) found.push_back(word);
    }
    return found;
}

// The instrument's hostname, bare, with ".local" or with a domain of its own.
bool own_name(const std::string& name) {
    std::string self = platform::hostname();
    self = self.substr(0, self.find('\0'));
    if (self.empty()) return false;
    const std::string bare = self.substr(0, self.find('.'));
    if (same_name(name, self) || same_name(name, bare) || same_name(name, bare + ".local")) return true;
    for (const std::string& domain : domains())
        if (same_name(name, bare + "." + domain)) return true;
    return false;
}

}  // namespace

bool names_instrument(const char* host) {
    if (!host) return true;
    std::string name;
    if (std::strlen(host) > 300 || !strip_port(host, name)) return false;
    if (!name.empty() && name.back() == '.') name.pop_back();  // a name given in full ("pulser.lab.")
    if (name.empty()) return false;
    if (same_name(name, "localhost") || ends_with(name, ".localhost")) return true;
    if (own_address(name) || own_name(name)) return true;
    for (const std::string& allowed : allowed_hosts())
        if (same_name(name, allowed)) return true;
    return false;
}

std::vector<std::string> allowed_hosts() {
    std::lock_guard<std::mutex> g(file_lock);
    std::vector<std::string> names;
    std::ifstream in(platform::path(ALLOWED_HOSTS_FILE));
    std::string line;
    while (names.size() < MAX_ALLOWED_HOSTS && std::getline(in, line))
        if (valid_host_name(line)) names.push_back(line);
    return names;
}

int set_allowed_hosts(const std::vector<std::string>& names) {
    if (names.size() > MAX_ALLOWED_HOSTS) return -1;
    std::string text;
    for (const std::string& name : names) {
        if (!valid_host_name(name)) return -1;
        text += name + "\n";
    }
    std::lock_guard<std::mutex> g(file_lock);
    return settings::replace_file(platform::path(ALLOWED_HOSTS_TMP), platform::path(ALLOWED_HOSTS_FILE), text) ? 0 : -1;
}

}  // namespace hostcheck
