// The register map of the FPGA design and of the processor-system blocks that pulserd drives.
// Each word's fields are described here once; operations use field_get (and the driver field_set, device/register_access.h) and read like
// the map. Offsets are bytes from the block's base.
#pragma once

#include <cstdint>

namespace reg {

// A bit field of one 32-bit word: offset of the word in its block, mask (in place) and shift.
struct Field {
    uint32_t offset;
    uint32_t mask;
    uint32_t shift;
};

// Bits hi..lo of the word at `offset`. Fields are constants: a field with hi below lo or beyond
// bit 31 does not compile.
constexpr Field bits(uint32_t offset, uint32_t hi, uint32_t lo) {
    return (hi < lo || hi > 31)
               ? throw "register field: bits out of range"
               : Field{offset,
                       static_cast<uint32_t>(((hi - lo == 31) ? 0xFFFFFFFFu : ((1u << (hi - lo + 1)) - 1u)) << lo), lo};
}
constexpr Field bit(uint32_t offset, uint32_t n) { return bits(offset, n, n); }

constexpr uint32_t field_prep(Field f, uint32_t v) { return (v << f.shift) & f.mask; }
constexpr uint32_t field_get(Field f, uint32_t word) { return (word & f.mask) >> f.shift; }

// A constant placed in its field, checked when compiling: a value that does not fit the field
// does not compile. field_const<ctrl::TRIGGER_EDGE, 2>().
template <const Field& F, uint32_t V>
constexpr uint32_t field_const() {
    static_assert(F.mask != 0 && (F.mask >> F.shift << F.shift) == F.mask, "register field: bad mask");
    static_assert((V & ~(F.mask >> F.shift)) == 0, "register field: constant does not fit its field");
    return V << F.shift;
}

// ---- Physical blocks (base, length) ----
constexpr uint64_t AXI_HP0_BASE = 0xF8008000, AXI_HP1_BASE = 0xF8009000, AXI_HP2_BASE = 0xF800A000,
                   AXI_HP3_BASE = 0xF800B000;
constexpr uint32_t AXI_HP_LEN = 0x1000;
constexpr uint64_t CTRL_BASE = 0x43C00000, SLOT0_BASE = 0x43C01000, SLOT1_BASE = 0x43C02000;
constexpr uint32_t CTRL_LEN = 0x1000, SLOT_LEN = 0x1000;
constexpr uint64_t SEQMEM_BASE = 0x18000000;
constexpr uint32_t SEQMEM_LEN = 0x8000000;           // 128 MiB
constexpr uint32_t SEQMEM_SLOT1_OFFSET = 0x4000000;  // slot 1 region starts at 64 MiB
constexpr uint64_t QOS_CPU_BASE = 0xF8946000, QOS_IO_BASE = 0xF8948000;
constexpr uint32_t QOS_LEN = 300;
constexpr uint64_t I2C0_BASE = 0xE0004000;
constexpr uint32_t I2C0_LEN = 0x30;
constexpr uint64_t SLCR_BASE = 0xF8000000;
constexpr uint32_t SLCR_LEN = 0xB74;
constexpr uint64_t GPIO_BASE = 0xE000A000;
constexpr uint32_t GPIO_LEN = 0x2E4;

// ---- Control register block ----
namespace ctrl {
constexpr uint32_t CONTROL = 0x00;
constexpr Field RUN = bit(CONTROL, 0);
constexpr Field HW_TRIGGER = bit(CONTROL, 1);
constexpr Field SW_TRIGGER = bit(CONTROL, 2);        // strobe, no wait
constexpr Field DM_RESET = bit(CONTROL, 3);          // strobe, no wait
constexpr Field FIFO_RESET = bit(CONTROL, 4);        // strobe, 1 us
constexpr Field TRIGGER_EDGE = bits(CONTROL, 6, 5);  // 1 rising, 2 falling, 3 both
constexpr Field LOAD_ENABLE = bit(CONTROL, 7);
constexpr Field AUTO_REARM = bit(CONTROL, 8);
constexpr Field DM_HALT = bit(CONTROL, 9);  // strobe, 1 us
constexpr Field STOP = bit(CONTROL, 12);    // strobe, 100 us
constexpr Field START_SLOT = bit(CONTROL, 13);
constexpr Field SUPPLY_CHANNEL = bits(CONTROL, 16, 14);  // one-hot: 1 current, 2 12 V, 4 3.3 V
constexpr uint32_t SUPPLY_CURRENT = 1, SUPPLY_12V = 2, SUPPLY_3V3 = 4;
constexpr Field TEMP_CHANNEL = bit(CONTROL, 17);
constexpr Field REARM = bit(CONTROL, 20);       // strobe, 10 us
constexpr Field SS_REQUEST = bit(CONTROL, 21);  // streaming-state readout request strobe
constexpr Field SS_ACK = bit(CONTROL, 22);      // streaming-state word acknowledge

constexpr uint32_t CLOCK = 0x04;
constexpr Field CLK_HOLD = bit(CLOCK, 0);
constexpr Field CLK_INTERNAL = bit(CLOCK, 1);
constexpr Field SQUARE_MASK = bits(CLOCK, 9, 2);
constexpr Field CLK_PARAM_WRITE = bit(CLOCK, 10);  // strobe, no wait
constexpr Field CLK_EXT125 = bit(CLOCK, 11);
constexpr Field PHASE_STEP = bit(CLOCK, 12);  // strobe, no wait
constexpr Field PHASE_DIR = bit(CLOCK, 13);   // 1 positive, 0 negative

constexpr uint32_t BOARD = 0x08;
constexpr Field HW_VERSION = bits(BOARD, 2, 0);
constexpr Field NET_STATUS = bits(BOARD, 5, 3);

constexpr uint32_t CONST_ANALOG = 0x0C;  // calibrated analog word of the constant state
constexpr Field CONST_DIGI = bits(0x10, 7, 0);
constexpr uint32_t SLOT_RUNS_LO = 0x18;
constexpr uint32_t SLOT_RUNS_HI = 0x1C;
constexpr uint32_t CLK_PARAM = 0x20;
constexpr Field CLK_DIVIDER = bits(CLK_PARAM, 21, 0);
constexpr Field CLK_PARAM_HIGH = bits(CLK_PARAM, 31, 22);  // 640 - 10 x integer feedback factor
// Fields of the divider word (bits 21:0); the 6-bit times wrap modulo 64.
constexpr Field DIV_HIGH_TIME = bits(CLK_PARAM, 5, 0);
constexpr Field DIV_LOW_TIME = bits(CLK_PARAM, 11, 6);
constexpr Field DIV_ODD_EDGE = bit(CLK_PARAM, 12);
constexpr Field DIV_FRAC_ENABLE = bit(CLK_PARAM, 13);
constexpr Field DIV_FRAC = bits(CLK_PARAM, 16, 14);  // fractional part in eighths
constexpr Field DIV_FRAC_EVEN = bit(CLK_PARAM, 17);
constexpr Field DIV_FRAC_EDGE = bit(CLK_PARAM, 18);
constexpr Field DIV_FRAC_PHASE = bits(CLK_PARAM, 21, 19);
constexpr uint32_t SS_DATA = 0x24;  // streaming-state data word
constexpr uint32_t STATUS = 0x2C;
constexpr uint32_t VERSION = 0x30;
constexpr Field FW_MAJOR = bits(VERSION, 23, 16);
constexpr Field FW_MINOR = bits(VERSION, 15, 8);
constexpr Field FW_PATCH = bits(VERSION, 7, 0);
constexpr Field SS_VALID = bit(VERSION, 31);
constexpr uint32_t DEVICE_ID_LO = 0x34;
constexpr uint32_t DEVICE_ID_HI = 0x38;
constexpr uint32_t SENSOR = 0x3C;
constexpr Field SENSOR_VALUE = bits(SENSOR, 15, 4);
constexpr Field DHCP_FALLBACK = bit(SENSOR, 16);
}  // namespace ctrl

// ---- Status word (control block 0x2C), read-only ----
namespace status {
constexpr uint32_t STREAMING = 1u << 0;
constexpr uint32_t DM0_HALTED = 1u << 1;
constexpr uint32_t DM1_HALTED = 1u << 2;
constexpr uint32_t TVALID = 1u << 3;
constexpr uint32_t ERROR = 1u << 4;
constexpr uint32_t FIFO_FULL = 1u << 6;
constexpr uint32_t SLOT0_HOLDS = 1u << 7;
constexpr uint32_t SLOT1_HOLDS = 1u << 8;
constexpr uint32_t FIFOS_FILLED_A = 1u << 9;  // with bit 20: the FIFOs are filled
constexpr uint32_t REARM_POSSIBLE = 1u << 10;
constexpr uint32_t PHASE_DONE = 1u << 11;
constexpr uint32_t FINISHED = 1u << 17;
constexpr uint32_t OUTPUT_READY = 1u << 18;
constexpr uint32_t LOOP_MODE = 1u << 19;
constexpr uint32_t DECODER_FIFO_FULL = 1u << 20;
constexpr uint32_t SLOT0_BUSY_A = 1u << 21, SLOT0_BUSY_B = 1u << 24;  // either: slot 0's memory busy
constexpr uint32_t SLOT1_BUSY_A = 1u << 22, SLOT1_BUSY_B = 1u << 25;
constexpr uint32_t SLOT0_BUSY = SLOT0_BUSY_A | SLOT0_BUSY_B;
constexpr uint32_t SLOT1_BUSY = SLOT1_BUSY_A | SLOT1_BUSY_B;
constexpr uint32_t ERROR_KIND_A = 1u << 23;
constexpr uint32_t ERROR_KIND_B = 1u << 26;
constexpr uint32_t REARM_STROBE_NEEDED = 1u << 27;
constexpr uint32_t SLOT0_READY = 1u << 28;
constexpr uint32_t SLOT1_READY = 1u << 29;
constexpr uint32_t SLOT0_NOT_HOLDING = 1u << 30;
constexpr uint32_t SLOT1_NOT_HOLDING = 1u << 31;
}  // namespace status

// ---- Slot register blocks (identical layout) ----
namespace slot {
constexpr uint32_t CONTROL = 0x00;
constexpr Field ENABLE = bit(CONTROL, 0);
constexpr Field SEQ_BITS = bits(CONTROL, 8, 1);     // sequencing bits of the slot control word
constexpr Field MANY_PULSES = bit(CONTROL, 1);      // more than 8000 low-level pulses
constexpr Field FOLLOW_ON = bit(CONTROL, 2);        // next_action 1 or 2: the other slot follows
constexpr Field WHEN = bit(CONTROL, 3);             // when 1
constexpr Field NOT_ACTION_1 = bit(CONTROL, 4);     // next_action other than 1
constexpr Field NODATA_REPEAT = bit(CONTROL, 5);    // on_nodata 1
constexpr Field NODATA_DURATION = bit(CONTROL, 6);  // on_nodata 2 with a follow-on: duration words apply
constexpr Field LOOP = bit(CONTROL, 7);             // next_action 3
constexpr Field DURATION_WIDE = bit(CONTROL, 8);    // duration x runs needs more than 63 bits
constexpr uint32_t SIZE = 0x08;
constexpr uint32_t RUNS_LO = 0x0C;
constexpr uint32_t RUNS_HI = 0x10;
constexpr uint32_t FINAL_ANALOG = 0x14;
constexpr Field FINAL_DIGI = bits(0x18, 7, 0);
constexpr uint32_t DURATION_LO = 0x1C;
constexpr uint32_t DURATION_HI = 0x20;
// Run count (RUNS_HI:RUNS_LO): runs minus one; only bit 63 set means endless.
constexpr uint64_t RUNS_ENDLESS = 0x8000000000000000ull;
}  // namespace slot

// ---- Processor-system blocks ----
namespace axi {
constexpr uint32_t READ_CHANNEL_CTRL = 0x000;
}
namespace slcr {
constexpr Field I2C0_RESET = bit(0x224, 0);
constexpr uint32_t MIO_PIN_50 = 0x7C8;
constexpr uint32_t MIO_PIN_51 = 0x7CC;
constexpr uint32_t MIO_I2C0_CONFIG = 0x1240;  // pull-up, 1.8 V CMOS, I2C controller 0
constexpr Field MIO_PIN_50_CFG = bits(MIO_PIN_50, 13, 0);
constexpr Field MIO_PIN_51_CFG = bits(MIO_PIN_51, 13, 0);
constexpr Field I2C0_CLOCK = bit(0x12C, 18);
}  // namespace slcr
namespace qos {
constexpr Field CONTROL = bits(0x10C, 2, 0);
constexpr Field WRITE_PEAK = bits(0x118, 31, 24);
constexpr Field READ_PEAK = bits(0x124, 31, 24);
}  // namespace qos
namespace gpio {
constexpr uint32_t OUT_BANK0 = 0x040;
constexpr Field OUT_ENABLE_A = bit(OUT_BANK0, 3);
constexpr Field OUT_ENABLE_B = bit(OUT_BANK0, 8);
constexpr Field OUT_ENABLE_C = bit(OUT_BANK0, 9);
constexpr uint32_t IN_BANK0 = 0x060;
constexpr uint32_t BOARD_VERSION_MASK = 0x1C00;  // bits 12:10, inverted
constexpr Field BOARD_VERSION = bits(IN_BANK0, 12, 10);
}  // namespace gpio
namespace i2c {
constexpr uint32_t CONTROL = 0x00;
constexpr Field CONTROL_MODE = bits(CONTROL, 15, 0);
constexpr uint32_t CONTROL_MASTER_WRITE = 0x0C0E;  // master, write, 7-bit, ack on, divisors 0 and 12
constexpr uint32_t ADDRESS = 0x08;
constexpr Field BUS_ADDRESS = bits(ADDRESS, 7, 0);  // writing it starts the transfer
constexpr uint32_t DATA = 0x0C;
constexpr Field DATA_BYTE = bits(DATA, 7, 0);  // each write pushes one byte
constexpr uint32_t INT_STATUS = 0x10;
constexpr Field INT_PENDING = bits(INT_STATUS, 15, 0);  // write 1 to clear
constexpr uint32_t INT_ENABLE = 0x24;
constexpr Field INT_ENABLE_MASK = bits(INT_ENABLE, 15, 0);
constexpr uint32_t INT_ENABLE_ALL = 0x024F;
}  // namespace i2c

}  // namespace reg
