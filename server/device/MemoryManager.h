// Mapping of the FPGA's register blocks and of the sequence memory window.
// Every register access is one whole 32-bit word; fields are changed by read-modify-write
// through the helpers of registers.h. The accessors go through the platform layer, which maps
// "/dev/mem" on the board and talks to the simulated FPGA on a host.
#pragma once

#include <cstdint>

class Mapper {
public:
    uint64_t base = 0;                   // physical address of the block
    uint32_t length = 0;                 // bytes to map
    volatile uint32_t* words = nullptr;  // where the block is mapped; null until map succeeds

    Mapper() = default;
    Mapper(uint64_t b, uint32_t len) : base(b), length(len) {}

    // Maps the block; on failure prints "Can't map" and ends the process (status 0).
    void map(int fd);
    // Releases the mapping; on failure prints "Can't unmap" and ends the process (status 0).
    void unmap();

    // One 32-bit access at a byte offset inside the block.
    uint32_t read(uint32_t offset) const;
    void write(uint32_t offset, uint32_t value);
};

// The window onto the sequence memory (128 MiB). Passed by value to the encoder, which writes the
// encoded sequence through `addr`.
class MemoryMapper {
public:
    uint64_t base = 0;
    uint32_t length = 0;
    uint8_t* addr = nullptr;  // mapped base address; null until map succeeds
    uint32_t reserved0 = 0;   // kept for layout compatibility; unused
    uint32_t reserved1 = 0;

    MemoryMapper() = default;
    MemoryMapper(uint64_t b, uint32_t len) : base(b), length(len) {}

    void map(int fd);
    void unmap();
};
