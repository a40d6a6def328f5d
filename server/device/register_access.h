// Register access of the driver: the fields of hardware/registers.h read and changed through a
// mapped block, one whole 32-bit word at a time.
#pragma once

#include <unistd.h>

#include <cstdint>

#include "device/MemoryManager.h"
#include "hardware/registers.h"

namespace reg {

// The fixed waits of the register sequences (strobe settle times, polls), in microseconds.
inline void sleep_us(unsigned int us) { usleep(us); }

// Read-modify-write of one field; the other bits of the word are left as they are.
inline void field_set(Mapper& block, Field f, uint32_t v) {
    uint32_t w = block.read(f.offset);
    block.write(f.offset, (w & ~f.mask) | field_prep(f, v));
}
inline uint32_t field_read(const Mapper& block, Field f) { return field_get(f, block.read(f.offset)); }
// The same for a constant, checked when compiling: field_set<qos::CONTROL, 3>(block).
template <const Field& F, uint32_t V>
inline void field_set(Mapper& block) {
    uint32_t w = block.read(F.offset);
    block.write(F.offset, (w & ~F.mask) | field_const<F, V>());
}

}  // namespace reg
