// The binary protocol on TCP port 21328, as the instrument and the client library both use it:
// 32-byte little-endian frames beginning with the magic "KWQZ", followed by raw payloads (packed
// 9-byte pulse records, tarvex/Pulse.h; calibration doubles). docs/binary-protocol.md describes
// the same frames byte by byte.
#pragma once

#include <cstdint>

#include "tarvex/Pulse.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the frames are read and written in place as little-endian words");

namespace tarvex {
namespace binary {

constexpr uint16_t PORT = BINARY_PORT;
constexpr uint32_t MAGIC = 0x5A51574B;  // "KWQZ" read as a little-endian word

enum Command : uint32_t {
    CMD_STREAM = 0,
    CMD_UPLOAD = 0x100,
    CMD_SET_CALIBRATION = 0x101,
    CMD_GET_CALIBRATION = 0x102,
};

enum Status : uint32_t {
    STATUS_OK = 0,
    STATUS_OUT_OF_RANGE = 1,
    STATUS_OUT_OF_MEMORY = 2,
    STATUS_TRANSFER_ERROR = 3,
    STATUS_UNKNOWN_COMMAND = 4,
    STATUS_TOO_MANY_PULSES = 5,
    STATUS_CALIBRATION_FAILED = 6,
    STATUS_NOT_STARTED = 7,     // CMD_STREAM: loaded, but the start failed (nothing plays)
    STATUS_EMPTY_SEQUENCE = 8,  // CMD_STREAM without pulses: refused, nothing changed
    STATUS_OVERTAKEN = 9,       // another operation took the slot while the records arrived
};

// What a status means, for people.
inline const char* statusText(uint32_t status) {
    switch (status) {
        case STATUS_OK: return "carried out";
        case STATUS_OUT_OF_RANGE: return "the sequence does not fit the sequence memory";
        case STATUS_OUT_OF_MEMORY: return "the instrument ran out of memory";
        case STATUS_TRANSFER_ERROR: return "transfer error";
        case STATUS_UNKNOWN_COMMAND: return "unknown command";
        case STATUS_TOO_MANY_PULSES: return "too many pulses";
        case STATUS_CALIBRATION_FAILED: return "calibration failed";
        case STATUS_NOT_STARTED: return "the sequence was loaded but did not start";
        case STATUS_EMPTY_SEQUENCE: return "the sequence holds no pulses";
        case STATUS_OVERTAKEN: return "another client took the slot while the sequence arrived";
        default: return "unknown status";
    }
}

#pragma pack(push, 1)
// Request header, sent before every command.
struct CommandHeader {
    uint32_t magic = MAGIC;
    uint32_t tag = 0;      // echoed in the answer
    uint32_t command = 0;  // Command
    uint32_t reserved0 = 0;
    uint64_t length = 0;  // payload bytes following this header
    uint64_t reserved1 = 0;
};

// First 32 bytes of the payload of CMD_STREAM and CMD_UPLOAD; the pulse records follow.
struct SequenceHeader {
    int64_t n_runs = 0;
    uint64_t n_pulses = 0;
    int16_t final_ao0 = 0;
    int16_t final_ao1 = 0;
    uint8_t final_digi = 0;
    uint8_t reserved0[3] = {0, 0, 0};
    uint8_t slot = 0;         // upload only
    uint8_t next_action = 0;  // upload only
    uint8_t when = 0;         // upload only
    uint8_t on_nodata = 0;    // upload only
    uint32_t reserved1 = 0;
};

// Answer header, one per command; `length` is ANSWER_PAYLOAD when an answer payload follows, else 0.
struct CommandAnswer {
    uint32_t magic = MAGIC;
    uint32_t tag = 0;
    uint32_t status = 0;  // Status
    uint32_t command = 0;
    uint64_t length = 0;
    uint64_t reserved = 0;

    CommandAnswer() = default;
    CommandAnswer(uint32_t tag_, uint32_t status_, uint32_t command_, uint64_t length_)
        : tag(tag_), status(status_), command(command_), length(length_) {}
};

// Answer payload of a successful CMD_UPLOAD: the upload's result (0 uploaded, -1 not).
struct UploadResult {
    int32_t value = 0;
    uint8_t reserved[28] = {};
};

// Payload of CMD_SET_CALIBRATION and answer payload of CMD_GET_CALIBRATION.
struct CalibrationPayload {
    double dc_offset_a0 = 0;
    double dc_offset_a1 = 0;
    double slope_a0 = 0;
    double slope_a1 = 0;
};
#pragma pack(pop)

constexpr uint64_t ANSWER_PAYLOAD = 32;
// Longest payload of any command: a stream's sub-header and records.
constexpr uint64_t MAX_PAYLOAD = sizeof(SequenceHeader) + sizeof(Pulse) * uint64_t(MAX_STREAM_PULSES);

static_assert(sizeof(CommandHeader) == 32 && sizeof(SequenceHeader) == 32, "request frames are 32 bytes");
static_assert(sizeof(CommandAnswer) == 32 && sizeof(UploadResult) == ANSWER_PAYLOAD &&
                  sizeof(CalibrationPayload) == ANSWER_PAYLOAD,
              "answer frames and payloads are 32 bytes");

}  // namespace binary
}  // namespace tarvex
