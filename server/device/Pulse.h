// Sequence encoding: pulse lists -> the FPGA's memory commands, and the calibrated conversion of
// analog values to DAC codes with its calibration file.
//
// Memory command format (little-endian, byte-packed, back to back from the slot's region start):
//   header | [change mask] | channel bytes | [code 0 (2 B)] | [code 1 (2 B)] | [repeat count - 1]
// Header bits: 0x02 marker word, 0x04 code 0 present, 0x08 code 1 present, 0x30 count width
// (0 none, 1: 1 B, 2: 2 B, 3: 4 B), 0x40 masked pattern (mask byte + changed channel bytes only),
// 0x80 end. Absent fields repeat the previous command's; before the first command the reference
// is all channel bytes 0 and both codes 0x1FFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/MemoryManager.h"
#include "common/types.h"

// Where the analog calibration is stored (resolve through platform::path).
constexpr const char ANALOG_CALIB_FILE[] = "/userconfig/hardware/analog.calib";

// Analog calibration as the interfaces see it: offsets as fractions of full scale, slopes.
struct AnalogCalibData {
    double dc_offset_a0 = 0.0;
    double dc_offset_a1 = 0.0;
    double slope_a0 = 1.0;
    double slope_a1 = 1.0;
};

// Analog calibration as stored in the file and applied by the conversion (16.16 fixed point).
struct AnalogCalibDataCorr {
    double dc_offset_a0 = 0.0;
    double dc_offset_a1 = 0.0;
    double gain_error_corr_a0 = 1.0;
    double gain_error_corr_a1 = 1.0;
    int32_t gain0 = -16384;
    int32_t offset0 = 536870912;
    int32_t gain1 = -16384;
    int32_t offset1 = 536870912;

    AnalogCalibDataCorr() = default;
    // Loads the calibration file; never throws. Missing or unusable files give neutral values.
    explicit AnalogCalibDataCorr(const std::string& path);

    // Derives the fixed-point coefficients from the four floats. Returns false (and leaves the
    // coefficients untouched) when a coefficient is not finite or does not fit 32 bits.
    bool deriveCoefficients();
    // The coefficients a file offset (DAC codes) and gain correction factor yield; false when
    // either is not a finite 32-bit value.
    static bool coefficients(double dc_offset, double gain_error_corr, int32_t& gain, int32_t& offset);
};

// The program's calibration, loaded once before the device object is built; read-only after.
extern AnalogCalibDataCorr Analog_calibration;

// Two 14-bit DAC codes: output 0 in bits 15:0, output 1 in bits 31:16.
struct ANALOG_TO_BYTES {
    uint32_t value = 0;

    // Converts through Analog_calibration.
    void setWithCalibration(int16_t ao0, int16_t ao1);
    // Converts through the given calibration.
    void setWithCalibration(int16_t ao0, int16_t ao1, const AnalogCalibDataCorr& cal);

    // One output: clamp(gain * v + offset, 0, 0x3FFF0000) >> 16. Computed in 64 bits, so any
    // coefficients give the clamped exact result.
    static uint16_t code(int16_t v, int32_t gain, int32_t offset) {
        int64_t x = int64_t(gain) * v + offset;
        if (x < 0) x = 0;
        if (x > 0x3FFF0000) x = 0x3FFF0000;
        return uint16_t(x >> 16);
    }
    static uint32_t codes(int16_t ao0, int16_t ao1, const AnalogCalibDataCorr& cal) {
        return uint32_t(code(ao0, cal.gain0, cal.offset0)) | (uint32_t(code(ao1, cal.gain1, cal.offset1)) << 16);
    }
    bool operator==(const ANALOG_TO_BYTES& o) const { return value == o.value; }
    bool operator!=(const ANALOG_TO_BYTES& o) const { return value != o.value; }
};

// Repeat count of a command (repetitions minus one), stored in the smallest width that fits.
struct COUNT_TO_BYTES {
    uint32_t value = 0;
};

// One output word of 8 ticks being built.
struct Full_Pattern {
    uint32_t ticks = 0;
    uint8_t pattern[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // byte i: output i, bit j: its level in tick j
    int16_t ao0 = 0;                                  // analog values accumulated for this word
    int16_t ao1 = 0;
    ANALOG_TO_BYTES analog;                           // always setWithCalibration(ao0, ao1)

    // The empty word: all outputs low, analog values 0.
    Full_Pattern();
    // A whole word of one state: byte i is 0xFF when bit i of digi is set.
    Full_Pattern(uint32_t ticks, uint8_t digi, int16_t ao0, int16_t ao1);
    // Adds `length` ticks of the given state from tick `start` on (start + length <= 8).
    void set_patterns(uint8_t start, uint8_t length, uint8_t digi, int16_t ao0, int16_t ao1);
};

// Longest command: header, 8 channel bytes, two codes, 4-byte count.
constexpr unsigned CMD_MAX_BYTES = 17;
// A command plays its word at most this many times.
constexpr uint32_t CMD_MAX_WORDS = 0x20000000;

// Builds the command for a word against the reference (the previous command): fills buf from
// index 1 on and `header` (cleared first) with the present-field bits. Returns the length
// including the header byte, which the caller stores at buf[0] with any marker or end bit.
uint32_t set_cmd_bytes(uint8_t (&buf)[CMD_MAX_BYTES], uint8_t& header, COUNT_TO_BYTES count, const uint8_t* pattern,
                       const uint8_t* ref_pattern, ANALOG_TO_BYTES analog, ANALOG_TO_BYTES ref_analog);

// Encodes `pulses` into the region of `slot` (0: window start, 1: 64 MiB on) of the sequence
// memory mapped at mapper.addr and returns bytes, commands, words and data rate. An empty list
// (or n_runs 0) writes only the final-state command. Slots other than 0 and 1: message, zero
// result, nothing written. Throws std::out_of_range when a command would leave the 128 MiB
// window; commands written before stay, without an end command.
// Caller holds pulser_lock.
SequenceControlData highToLow(const std::vector<Pulse>& pulses, Full_Pattern final, uint64_t n_runs,
                              MemoryMapper mapper, sequences_t slot);

// Encodes one pulse list into a slot's region of the sequence window, in pieces as they arrive.
// Writes the window only through the platform layer, with naturally aligned stores, never reads it
// back. Caller holds the device lock during each call (each is device work bounded by the pieces'
// size); nothing in it waits for the network or the device.
class SequenceEncoder {
public:
    SequenceEncoder(const AnalogCalibDataCorr& cal, MemoryMapper mapper, sequences_t slot, Full_Pattern final,
                    uint64_t n_runs);
    // Encodes the next `count` pulses. Throws std::out_of_range when the region is full.
    void add(const Pulse* pulses, size_t count);
    // Writes what is left, the final-state command and the end; returns the slot's sizes.
    SequenceControlData finish();

private:
    MemoryMapper mapper_;
    sequences_t slot_;
    Full_Pattern final_;
    uint64_t n_runs_;
};
