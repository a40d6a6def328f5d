// The instrument's hostname: the system's current name, and storing a new one in the hostname
// file, handing it to the system and restarting the discovery server so its replies carry it.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/SettingsFile.h"
#include "device/Pulser.h"
#include "platform/platform.h"

namespace {
const char* const HOSTNAME_FILE = "/userconfig/network/hostname";
const char* const HOSTNAME_TMP = "/userconfig/network/hostname.new";
constexpr size_t HOSTNAME_BUFFER = 128;

// A host name: dot-separated labels of 1 to 63 letters, digits and hyphens, neither starting nor
// ending with a hyphen, at most 253 characters in all. The empty name (no name) is also taken.
bool valid_hostname(const std::string& name) {
    if (name.size() > 253) return false;
    size_t label = 0;
    char previous = '.';
    for (char c : name) {
        if (c == '.') {
            if (label == 0 || previous == '-') return false;
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
            if (c == '-' && label == 0) return false;
            if (++label > 63) return false;
        } else {
            return false;
        }
        previous = c;
    }
    return name.empty() || (label > 0 && previous != '-');
}
}  // namespace

std::string Pulser::getHostname() {
    std::string name = platform::hostname();
    name = name.substr(0, std::min(name.find('\0'), HOSTNAME_BUFFER));
    if (name.empty()) std::cout << "Error getting hostname" << std::endl;
    return name;
}

int Pulser::setHostname(const std::string& name) {
    if (isStreaming()) return -1;
    if (!valid_hostname(name)) {
        std::cout << "Hostname refused: not a valid host name" << std::endl;
        return -1;
    }

    std::cout << "Writing hostname to config file " << HOSTNAME_FILE << std::endl;
    if (!settings::replace_file(platform::path(HOSTNAME_TMP), platform::path(HOSTNAME_FILE), name)) {
        std::cout << std::strerror(errno) << std::endl;
        return -1;
    }

    sync();
    platform::shell(std::string("hostname -F ") + HOSTNAME_FILE);
    platform::shell("killall -9 beacond.elf");
    usleep(100);
    platform::shell("beacond.elf 1>/dev/null &");
    return 0;
}
