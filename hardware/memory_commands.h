// The FPGA's sequence memory command format: the one definition that the encoder (Pulse.cpp)
// writes and the decoder (CommandDecoder) reads.
//
// A slot's region holds variable-length commands back to back, little-endian:
//   header | [change mask] | channel bytes | [code 0: 2 B] | [code 1: 2 B] | [count: 0/1/2/4 B]
// With HDR_MASKED a mask byte lists the channel bytes that follow (ascending); without it all 8
// follow. Absent channel bytes and codes repeat the previous command's; before the first command
// the reference is all channel bytes 0 and both codes START_CODE. A command plays its word count
// + 1 times; a word is 8 ticks of 1 ns, bit j of channel byte i being output i in tick j.
#pragma once

#include <cstdint>

namespace memcmd {

// Header bits.
constexpr uint8_t HDR_RESERVED = 0x01;    // must be 0
constexpr uint8_t HDR_MARKER = 0x02;      // marker word
constexpr uint8_t HDR_CODE0 = 0x04;       // DAC code 0 present
constexpr uint8_t HDR_CODE1 = 0x08;       // DAC code 1 present
constexpr uint8_t HDR_COUNT_MASK = 0x30;  // count width: 0 none, 1: 1 B, 2: 2 B, 3: 4 B
constexpr unsigned HDR_COUNT_SHIFT = 4;
constexpr uint8_t HDR_COUNT1 = 0x10;
constexpr uint8_t HDR_COUNT2 = 0x20;
constexpr uint8_t HDR_COUNT4 = 0x30;
constexpr uint8_t HDR_MASKED = 0x40;  // a change mask selects the channel bytes that follow
constexpr uint8_t HDR_END = 0x80;     // last command of the region

// Width code (header bits 4-5) of a count: the smallest field that holds it (none for 0), by
// the count's number of significant bits.
struct CountCodes {
    uint8_t by_bits[33];
    constexpr CountCodes() : by_bits() {
        for (unsigned b = 0; b <= 32; ++b) by_bits[b] = uint8_t(b == 0 ? 0 : b <= 8 ? 1 : b <= 16 ? 2 : 3);
    }
};
constexpr CountCodes COUNT_CODES;
// Bytes of the count field of a width code: 0, 1, 2, 4.
constexpr unsigned count_bytes(unsigned code) { return (1u << code) >> 1; }
// The count's field by its number of leading zeros (32 for 0, as the ARM instruction gives):
// its width code, header bits and bytes, each one load in the encoder's loop.
struct CountFields {
    uint8_t code[33], header[33], bytes[33];
    constexpr CountFields() : code(), header(), bytes() {
        for (unsigned lz = 0; lz <= 32; ++lz) {
            code[lz] = COUNT_CODES.by_bits[32 - lz];
            header[lz] = uint8_t(COUNT_CODES.by_bits[32 - lz] << HDR_COUNT_SHIFT);
            bytes[lz] = uint8_t(count_bytes(COUNT_CODES.by_bits[32 - lz]));
        }
    }
};
constexpr CountFields COUNT_FIELDS;
inline unsigned leading_zeros(uint32_t count) {
#if defined(__arm__)
    if (!__builtin_constant_p(count)) {
        unsigned lz;
        asm("clz %0, %1" : "=r"(lz) : "r"(count));  // 32 for 0, without a branch
        return lz;
    }
#endif
    return count == 0 ? 32 : unsigned(__builtin_clz(count));
}
// Bytes of the count field for a header.
constexpr unsigned count_width(uint8_t header) { return count_bytes((header & HDR_COUNT_MASK) >> HDR_COUNT_SHIFT); }

// Which codes a command carries: each whose 16 bits differ from the reference's (1 or 0). Header
// bits HDR_CODE0/HDR_CODE1; the present codes follow in order, 2 bytes each.
constexpr uint32_t code0_present(uint32_t codes, uint32_t ref_codes) { return ((codes ^ ref_codes) & 0xFFFFu) != 0; }
constexpr uint32_t code1_present(uint32_t codes, uint32_t ref_codes) { return ((codes ^ ref_codes) >> 16) != 0; }
constexpr unsigned code_bytes(uint8_t header) { return (header & HDR_CODE0 ? 2 : 0) + (header & HDR_CODE1 ? 2 : 0); }

// DAC code of both outputs before the first command (mid-scale), and as one 32-bit pair.
constexpr uint16_t START_CODE = 0x1FFF;
constexpr uint32_t START_CODES = uint32_t(START_CODE) << 16 | START_CODE;

// Largest count a command may carry (2^29 words per command).
constexpr uint32_t MAX_COUNT = 0x1FFFFFFF;

// Ticks of one word.
constexpr unsigned TICKS_PER_WORD = 8;

}  // namespace memcmd
