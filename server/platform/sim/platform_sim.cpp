// A host without the board: registers go to the simulated FPGA, paths resolve under the sandbox
// root, system commands are recorded and emulated, interface queries answer from the sim.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "hardware/registers.h"
#include "sim/Control.h"
#include "sim/Discovery.h"
#include "sim/Fpga.h"
#include "sim/SeqMemory.h"
#include "sim/Network.h"
#include "sim/System.h"

namespace platform {

std::string path(const std::string& system_path) { return sim::system_path(system_path); }

int shell(const std::string& command_line) { return sim::run_shell(command_line); }

int run(const std::vector<std::string>& argv) { return sim::run_argv(argv); }

int open_mem() { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }

void close_mem(int fd) {
    if (fd >= 0) ::close(fd);
}

// Register blocks get a small placeholder so `words` is non-null once mapped; every access goes
// through reg_read/reg_write to the simulated FPGA, never through the pointer.
void* map_phys(int fd, uint64_t base, size_t length) {
    if (fd < 0) return nullptr;
    if (base == reg::SEQMEM_BASE) {
        sim::Fpga& f = sim::device();
        return length <= f.memory_size() ? f.driver_memory() : nullptr;
    }
    static uint32_t placeholder[1];
    return placeholder;
}

int unmap_phys(void* addr, size_t length) {
    (void)length;
    return addr ? 0 : -1;
}

uint32_t reg_read(volatile uint32_t*, uint64_t base, uint32_t offset) { return sim::device().read(base + offset); }

void reg_write(volatile uint32_t*, uint64_t base, uint32_t offset, uint32_t value) {
    sim::device().write(base + offset, value);
}

void window_write(uint8_t* dst, const uint8_t* src, size_t n, size_t unit) {
    if ((unit != 1 && unit != 2 && unit != 4 && unit != 8) || uintptr_t(dst) % unit != 0 || n % unit != 0)
        sim::window_fault("misaligned store", dst, n);
    std::memcpy(sim::fpga_view(dst, n), src, n);
}

void window_read(uint8_t* dst, const uint8_t* src, size_t n) {
    if (uintptr_t(src) % 4 != 0 || n % 4 != 0) sim::window_fault("misaligned load", src, n);
    std::memcpy(dst, sim::fpga_view(src, n), n);
}

void flush_cache(void*, void*) {}

static bool known_interface(const char* ifname) {
    if (std::strcmp(ifname, "eth0") == 0) return true;
    errno = ENODEV;
    return false;
}

static int fill_addr(const std::string& text, struct sockaddr* out) {
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    if (inet_pton(AF_INET, text.c_str(), &sin.sin_addr) != 1) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    std::memcpy(out, &sin, sizeof(sin));
    return 0;
}

int if_flags(const char* ifname, short* flags) {
    if (!known_interface(ifname)) return -1;
    *flags = static_cast<short>(sim::eth0().link_up ? (IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST)
                                                    : (IFF_BROADCAST | IFF_MULTICAST));
    return 0;
}

int if_addr(const char* ifname, struct sockaddr* addr) {
    if (!known_interface(ifname)) return -1;
    return fill_addr(sim::eth0().ip, addr);
}

int if_netmask(const char* ifname, struct sockaddr* mask) {
    if (!known_interface(ifname)) return -1;
    return fill_addr(sim::eth0().netmask, mask);
}

int if_hwaddr(const char* ifname, unsigned char mac[6]) {
    if (!known_interface(ifname)) return -1;
    unsigned int b[6];
    if (std::sscanf(sim::eth0().mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        errno = EINVAL;
        return -1;
    }
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(b[i]);
    return 0;
}

std::string hostname() { return sim::hostname(); }

// pulserd in the sim build also opens the simulator's control channel and, when asked to,
// runs the discovery server as its child.
void mark_server_process() {
    sim::mark_server_process();
    sim::control::start_server(sim::control::default_socket_path());
    sim::start_server_discovery();
}

}  // namespace platform
