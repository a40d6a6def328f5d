// The sequence memory as the board has it: one block seen twice. The FPGA's view is ordinary
// memory (playback reads it, tests inspect it). The driver's view, which mapping "/dev/mem" gives,
// faults on any direct access: the driver reaches the window only through platform::window_write
// and window_read, which check every access and copy through the FPGA's view found here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class SeqMemory {
public:
    explicit SeqMemory(size_t size);
    ~SeqMemory();
    SeqMemory(const SeqMemory&) = delete;
    SeqMemory& operator=(const SeqMemory&) = delete;

    uint8_t* fpga() const { return fpga_; }  // null when the memory could not be made
    uint8_t* driver() const { return driver_; }
    size_t size() const { return size_; }
    // Releases the pages; both address ranges stay reserved, so a stale writer writes into fresh
    // memory instead of a new device's.
    void release();

private:
    uint8_t* fpga_ = nullptr;
    uint8_t* driver_ = nullptr;
    size_t size_ = 0;
};

// The FPGA's view of n bytes at an address of a driver's view; a fault when they are not inside
// one window.
uint8_t* fpga_view(const uint8_t* driver_addr, size_t n);

// Reports a forbidden access to the sequence window and aborts.
[[noreturn]] void window_fault(const char* what, const void* at, size_t n);

}  // namespace sim
