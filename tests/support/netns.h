// Re-runs the current program inside a network namespace of its own (loopback up, multicast routed
// to it), so its fixed ports never meet another server on this machine. Does nothing when already
// inside one, or when namespaces cannot be made here (the program then runs on the host's loopback).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

inline void reexecInOwnNetworkNamespace() {
    const char* marker = "TARVEX_OWN_NETNS";
    if (std::getenv(marker)) return;
    setenv(marker, "1", 1);
    if (std::system("unshare -n true >/dev/null 2>&1") != 0) return;
    std::vector<std::string> args;
    {
        std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
        std::string arg;
        while (std::getline(cmdline, arg, '\0')) args.push_back(arg);
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0 || args.empty()) return;
    self[n] = 0;
    args[0] = self;
    std::vector<std::string> full{"unshare", "-n", "--", "sh", "-c", "ip link set lo up && { ip link set lo multicast on; ip route add 224.0.0.0/4 dev lo; } 2>/dev/null; exec \"$0\" \"$@\""};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execvp("unshare", argv.data());
}

}  // namespace testsupport
