// The instrument's hostname: the system's current name, and storing a new one in the hostname
// file, handing it to the system and restarting the discovery server so its replies carry it.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/HostName.h"
#include "common/SettingsFile.h"
#include "device/Pulser.h"
#include "platform/platform.h"

namespace {
const char* const HOSTNAME_FILE = "/userconfig/network/hostname";
const char* const HOSTNAME_TMP = "/userconfig/network/hostname.new";
constexpr size_t HOSTNAME_BUFFER = 128;
}  // namespace

std::string Pulser::getHostname() {
    std::string name = platform::hostname();
    name = name.substr(0, std::min(name.find('\0'), HOSTNAME_BUFFER));
    if (name.empty()) std::cout << "Error getting hostname" << std::endl;
    return name;
}

int Pulser::setHostname(const std::string& name) {
    if (isStreaming()) return -1;
    if (!name.empty() && !valid_host_name(name)) {  // the empty name is no name
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
