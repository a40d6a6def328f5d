// The instrument's board: "/dev/mem", the shell and the real paths.
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

std::string path(const std::string& system_path) { return system_path; }

int shell(const std::string& command_line) { return std::system(command_line.c_str()); }

int run(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int open_mem() { return ::open("/dev/mem", O_RDWR | O_SYNC); }
void close_mem(int fd) {
    if (fd >= 0) ::close(fd);
}

// Physical addresses above 2 GiB (the sequence memory) must reach mmap as they are: a 32-bit
// off_t would turn them negative.
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

void* map_phys(int fd, uint64_t base, size_t length) {
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(base));
    return p == MAP_FAILED ? nullptr : p;
}
int unmap_phys(void* addr, size_t length) { return munmap(addr, length); }

uint32_t reg_read(volatile uint32_t* words, uint64_t, uint32_t offset) { return words[offset / 4]; }
void reg_write(volatile uint32_t* words, uint64_t, uint32_t offset, uint32_t value) { words[offset / 4] = value; }

namespace {
template <typename T>
void store_each(uint8_t* dst, const uint8_t* src, size_t n) {
    for (size_t i = 0; i < n; i += sizeof(T)) {
        T v;
        std::memcpy(&v, src + i, sizeof(T));
        *reinterpret_cast<volatile T*>(dst + i) = v;
    }
}
// 64-bit units: on the board 64 bytes at a time through NEON, each VST1.64 element a naturally
// aligned 64-bit store (the staging buffer and the window position are both 64-byte aligned).
void store_words(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t i = 0;
#if defined(__ARM_NEON)
    if (uintptr_t(dst) % 8 == 0 && uintptr_t(src) % 8 == 0) {
        const uint8_t* s = src;
        uint8_t* d = dst;
        for (; i + 64 <= n; i += 64)
            asm volatile(
                "vld1.64 {d16-d19}, [%0]!\n\tvld1.64 {d20-d23}, [%0]!\n\t"
                "vst1.64 {d16-d19}, [%1 :64]!\n\tvst1.64 {d20-d23}, [%1 :64]!"
                : "+r"(s), "+r"(d)
                :
                : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "memory");
    }
#endif
    store_each<uint64_t>(dst + i, src + i, n - i);
}
}  // namespace

void window_write(uint8_t* dst, const uint8_t* src, size_t n, size_t unit) {
    switch (unit) {
        case 8: return store_words(dst, src, n);
        case 4: return store_each<uint32_t>(dst, src, n);
        case 2: return store_each<uint16_t>(dst, src, n);
        default: return store_each<uint8_t>(dst, src, n);
    }
}

void window_read(uint8_t* dst, const uint8_t* src, size_t n) {
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t v = *reinterpret_cast<const volatile uint32_t*>(src + i);
        std::memcpy(dst + i, &v, 4);
    }
}

void flush_cache(void* begin, void* end) {
    __builtin___clear_cache(static_cast<char*>(begin), static_cast<char*>(end));
}

static int if_request(const char* ifname, unsigned long request, struct ifreq* ifr) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return -1;
    std::memset(ifr, 0, sizeof(*ifr));
    std::strncpy(ifr->ifr_name, ifname, IFNAMSIZ - 1);
    int rc = ioctl(s, request, ifr);
    int saved = errno;
    ::close(s);
    errno = saved;
    return rc < 0 ? -1 : 0;
}

int if_flags(const char* ifname, short* flags) {
    struct ifreq ifr;
    if (if_request(ifname, SIOCGIFFLAGS, &ifr) < 0) return -1;
    *flags = ifr.ifr_flags;
    return 0;
}
int if_addr(const char* ifname, struct sockaddr* addr) {
    struct ifreq ifr;
    if (if_request(ifname, SIOCGIFADDR, &ifr) < 0) return -1;
    std::memcpy(addr, &ifr.ifr_addr, sizeof(ifr.ifr_addr));
    return 0;
}
int if_netmask(const char* ifname, struct sockaddr* mask) {
    struct ifreq ifr;
    if (if_request(ifname, SIOCGIFNETMASK, &ifr) < 0) return -1;
    std::memcpy(mask, &ifr.ifr_netmask, sizeof(ifr.ifr_netmask));
    return 0;
}
int if_hwaddr(const char* ifname, unsigned char mac[6]) {
    struct ifreq ifr;
    if (if_request(ifname, SIOCGIFHWADDR, &ifr) < 0) return -1;
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

std::string hostname() {
    char buf[256] = {0};
    if (gethostname(buf, sizeof(buf) - 1) != 0) return "";
    return buf;
}

void mark_server_process() {}

}  // namespace platform
