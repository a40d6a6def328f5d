// Value types shared by the device control, the encoder and the three remote interfaces.
// Their numbers are the numbers on the wire: never renumber them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvex/Pulse.h"

// One element of a pulse sequence, also the form of a constant or final output state: the packed
// 9-byte record the client library shares (ticks unused for constant and final states).
using Pulse = tarvex::Pulse;

enum start_t : uint32_t {
    IMMEDIATE = 0,
    SOFTWARE = 1,
    HARDWARE_RISING = 2,
    HARDWARE_FALLING = 3,
    HARDWARE_RISING_AND_FALLING = 4,
};

enum trigger_rearm_t : uint32_t {
    AUTO = 0,
    MANUAL = 1,
};

enum clocksource_t : uint32_t {
    INTERNAL = 0,
    EXT_125MHZ = 1,
    EXT_10MHZ = 2,
};

enum serial_t : uint32_t {
    ID = 0,
    MAC = 1,
};

// Most pulses one stream (upload) request may carry, on every interface.
using tarvex::MAX_STREAM_PULSES;
using tarvex::MAX_UPLOAD_PULSES;
// The answer of every interface to a stream of no pulses (nothing is changed).
constexpr const char EMPTY_SEQUENCE[] = "the sequence holds no pulses";

// Sequence slot number: 0 or 1; operations reject anything else.
typedef uint32_t sequences_t;
// Slot chaining values (see setSequenceConfig for the bits each value sets).
typedef uint32_t next_action_t;
typedef uint32_t when_t;
typedef uint32_t on_nodata_t;

// What the encoder reports about one encoded sequence, and what the Pulser keeps per slot.
struct SequenceControlData {
    uint32_t nBytes = 0;      // size of the encoded data in sequence memory, bytes
    uint32_t nPulses = 0;     // low-level pulses (memory commands) after encoding
    uint64_t wholeTicks = 0;  // duration of one run, in words of 8 ticks
    double dataRate = 0.0;    // data rate the sequence needs, GBit/s
};

// Streaming-state record read from the FPGA.
struct StreamingState {
    uint64_t total_time = 0;
    uint64_t streaming_time = 0;
    uint64_t underflow_time = 0;
    uint64_t waiting_data_time = 0;
    uint32_t state = 4;
    uint32_t state_condition = 0;
    std::string error_message = "Transfer failed";
    uint64_t slot_changes = 0;
};

// Supply readings: fuse current (A), 12 V rail (V), 3.3 V rail (V).
struct SupplyState {
    double current = 0.0;
    double voltage_12 = 0.0;
    double voltage_3_3 = 0.0;
};
