// The boundary between the instrument's board and a host running the simulated FPGA.
// Everything above this header is identical on both platforms; the implementations live in
// platform/board/ (the instrument) and platform/sim/ (any Linux host, tests, CI).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sockaddr;

namespace platform {

// Where an absolute system path ("/userconfig/network/network.conf", "/tmp/firmware_version")
// lives on this platform: itself on the board, under the sandbox root ($TARVEX_ROOT) in the sim.
std::string path(const std::string& system_path);

// Runs a shell command line of the board's system image as system() would and returns its
// status. In the sim the line is recorded and its visible effect emulated; nothing runs.
int shell(const std::string& command_line);

// Runs a program with its arguments, without a shell, and waits for it. Returns the exit status
// or -1. In the sim the argv is recorded and emulated.
int run(const std::vector<std::string>& argv);

// The memory device: open ("/dev/mem", read-write, synchronous), map, unmap, close.
int open_mem();
void close_mem(int fd);
// Returns the mapped address or nullptr on failure.
void* map_phys(int fd, uint64_t base, size_t length);
// Returns 0 on success, -1 on failure.
int unmap_phys(void* addr, size_t length);

// One 32-bit register access of a mapped block (base = physical block address).
uint32_t reg_read(volatile uint32_t* words, uint64_t base, uint32_t offset);
void reg_write(volatile uint32_t* words, uint64_t base, uint32_t offset, uint32_t value);

// The sequence window is device memory on the board: mapped from "/dev/mem" outside system RAM,
// uncached and strongly ordered. There a misaligned access takes an alignment fault or has
// unpredictable results, and every read is a round trip on the bus. So nothing touches the
// window directly: writers build their data in ordinary memory and copy it out through
// window_write with naturally aligned stores, never reading back what they wrote; readers go
// through window_read. The sim's window faults on any direct access, and these calls fail loudly
// (the process aborts) on a misaligned access or an address outside a window.
//
// Writes n bytes of src to the window at dst in stores of `unit` bytes (1, 2, 4 or 8); dst and n
// are multiples of unit.
void window_write(uint8_t* dst, const uint8_t* src, size_t n, size_t unit);
// Reads n bytes of the window at src into dst with aligned 4-byte loads; src and n are multiples
// of 4.
void window_read(uint8_t* dst, const uint8_t* src, size_t n);

// Makes CPU writes to the sequence memory visible to the FPGA.
void flush_cache(void* begin, void* end);

// Interface requests on a network interface ("eth0"), with ioctl's result convention:
// 0 on success, -1 with errno set on failure.
int if_flags(const char* ifname, short* flags);
int if_addr(const char* ifname, struct sockaddr* addr);
int if_netmask(const char* ifname, struct sockaddr* mask);
int if_hwaddr(const char* ifname, unsigned char mac[6]);

// The system's current hostname (gethostname on the board; the simulated hostname in the sim).
std::string hostname();

// Called once by pulserd's main: on the sim this lets the emulated reboot restart the process
// image. Other programs (tests) never restart themselves.
void mark_server_process();

}  // namespace platform
