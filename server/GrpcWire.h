// The gRPC `stream` request read straight from its protobuf wire format.
//
// A SequenceMessage of 2,000,000 pulses parsed into the generated classes costs one heap object
// per pulse (hundreds of milliseconds and over 100 MB on the board). This reader decodes the
// bytes directly into a `Pulse` list allocated once with its final size, and accepts and refuses
// exactly what the generated parser does: unknown fields and fields of an unexpected wire type
// are skipped, a repeated scalar keeps its last value, repeated `final` fields merge, and
// malformed input (bad varints, truncated lengths, stray end-group tags, field number 0) fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "types.h"

namespace grpcwire {

// The one conversion of a PulseMessage's fields into a Pulse: ticks whole, digi cut to its low
// 8 bits, ao0/ao1 cut to their low 16 bits read as signed. No range check; values wrap.
inline Pulse toPulse(uint32_t ticks, uint32_t digi, int32_t ao0, int32_t ao1) {
    return Pulse{ticks, static_cast<uint8_t>(digi & 0xFFu), static_cast<int16_t>(static_cast<uint16_t>(ao0)),
                 static_cast<int16_t>(static_cast<uint16_t>(ao1))};
}

struct SequenceRequest {
    size_t count = 0;             // pulse entries in the message
    std::vector<Pulse> pulses;    // the converted pulses; left empty when count > max_pulses
    long long n_runs = 0;
    bool has_final = false;
    Pulse final_state{0, 0, 0, 0};  // all zero unless the message carries `final`
};

// Decodes a serialized SequenceMessage held in one contiguous buffer. Pulses are stored only
// when count <= max_pulses; a longer message is still checked to the end. False when the bytes
// do not parse.
bool decodeSequence(const uint8_t* data, size_t size, size_t max_pulses, SequenceRequest& out);

}  // namespace grpcwire
