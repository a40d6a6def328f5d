// Sequence encoding: pulse lists -> the FPGA's memory commands, and the calibrated conversion of
// analog values to DAC codes with its calibration file.
//
// The command format is that of memory_commands.h.
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
    int16_t ao0 = 0;                                // analog values accumulated for this word
    int16_t ao1 = 0;
    ANALOG_TO_BYTES analog;  // always setWithCalibration(ao0, ao1)

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

// Encodes one pulse list into a slot's region of the sequence window (0: window start, 1: 64 MiB
// on), in pieces as they arrive. Commands are built in a cached staging buffer and copied to the
// window in naturally aligned stores through the platform layer; the window is never read.
// Bytes after the end command stay as they were. The caller holds the device lock during each
// call; nothing here waits for the network or the device.
//
// A slot other than 0 and 1 prints a message; nothing is written and finish() returns a zero
// result. An empty list (or n_runs 0) writes only the final-state command. A command that would
// leave the 128 MiB window throws std::out_of_range (from add or finish); the commands before it
// stay, without an end command, and the encoder is of no further use.
class SequenceEncoder {
public:
    SequenceEncoder(const AnalogCalibDataCorr& cal, MemoryMapper mapper, sequences_t slot, Full_Pattern final,
                    uint64_t n_runs);
    SequenceEncoder(const SequenceEncoder&) = delete;
    SequenceEncoder& operator=(const SequenceEncoder&) = delete;

    // Encodes the next `count` pulses.
    void add(const Pulse* pulses, size_t count);
    // Writes what is left, the final-state command and the end; returns the slot's sizes.
    SequenceControlData finish();

    // Staging buffer: commands are copied out in blocks once this much is built.
    static constexpr size_t STAGE_BYTES = 4096;
    static constexpr size_t STAGE_ALIGN = 64;

private:
    friend uint32_t set_cmd_bytes(uint8_t (&buf)[CMD_MAX_BYTES], uint8_t& header, COUNT_TO_BYTES count,
                                  const uint8_t* pattern, const uint8_t* ref_pattern, ANALOG_TO_BYTES analog,
                                  ANALOG_TO_BYTES ref_analog);
    // Where commands are built: the open command is the last one in the staging buffer (a word
    // equal to it may still raise its count), and the reference of the next. The working form,
    // with the reference word in a vector register where there is one, is Emitter (Pulse.cpp).
    struct Writer {
        uint8_t* out;       // end of the open command, count field included
        uint8_t* head;      // its header
        uintptr_t check;    // from here on a new command first goes through place()
        uint64_t ref_bits;  // the open command's channel bytes and codes
        uint32_t ref_codes;
        uint32_t words;  // words the open command plays; 0: none open, or a marker
        uint32_t commands;
    };
    struct Emitter;
    struct Placed {
        uint8_t* out;
        uintptr_t check;
    };

    void run(const Pulse* begin, const Pulse* p, const Pulse* end);
    Placed place(uint8_t* end, const uint8_t* head, uint32_t commands);
    uintptr_t check_limit() const;
    void copy_out(const uint8_t* end);
    [[noreturn]] void out_of_window(uint32_t len, const uint8_t* at);
    uint8_t* in_window(const uint8_t* staged) const { return window_pos_ + (staged - stage_); }

    alignas(STAGE_ALIGN) uint8_t stage_[STAGE_BYTES + 2 * STAGE_ALIGN];
    AnalogCalibDataCorr cal_;
    uint8_t* window_;      // the mapped window's first byte
    uint8_t* region_;      // the slot's region in it
    uint8_t* window_pos_;  // where stage_[0] goes
    Writer w_;
    // The current word: ticks covered, channel bytes (those of ticks below f_), analog sums.
    uint32_t f_ = 0;
    uint64_t cur_ = 0;
    int32_t acc0_ = 0, acc1_ = 0;
    uint64_t sum_ = 0;                   // ticks of all pulses
    uint64_t marker_words_ = 0;          // words written for markers
    uint64_t padded_ = 0;                // words completed for a marker inside them
    int32_t last_a0_ = 0, last_a1_ = 0;  // analog values of the last pulse with ticks
    Pulse last_{0, 0, 0, 0};             // the list's last pulse so far
    bool started_ = false;               // a pulse with ticks seen (n_runs != 0)
    bool valid_;                         // slot 0 or 1
    Full_Pattern final_;
    uint64_t n_runs_;
    double started_at_;
};

// Encodes a whole list: SequenceEncoder add + finish, under the given calibration.
SequenceControlData highToLow(const AnalogCalibDataCorr& cal, const std::vector<Pulse>& pulses, Full_Pattern final,
                              uint64_t n_runs, MemoryMapper mapper, sequences_t slot);
// The same under the program's calibration (Analog_calibration).
SequenceControlData highToLow(const std::vector<Pulse>& pulses, Full_Pattern final, uint64_t n_runs,
                              MemoryMapper mapper, sequences_t slot);
