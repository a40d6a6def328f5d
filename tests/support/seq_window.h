// A private 128 MiB sequence memory window for encoder tests: the driver's view (mapper.addr),
// which only the platform's window calls may touch, and the FPGA's view (slot()) to inspect.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "device/MemoryManager.h"
#include "hardware/registers.h"
#include "sim/SeqMemory.h"

class SeqWindow {
public:
    SeqWindow() : memory_(reg::SEQMEM_LEN) {
        if (!memory_.fpga()) throw std::runtime_error("the test window could not be made");
        mapper.base = reg::SEQMEM_BASE;
        mapper.length = reg::SEQMEM_LEN;
        mapper.addr = memory_.driver();
    }

    uint8_t* slot(unsigned s) const { return memory_.fpga() + (s == 1 ? reg::SEQMEM_SLOT1_OFFSET : 0); }
    // Fills the first n bytes of a slot's region with a recognisable byte.
    void poison(unsigned s, size_t n, uint8_t v = 0x5A) const { std::memset(slot(s), v, n); }

    MemoryMapper mapper;

private:
    sim::SeqMemory memory_;
};
