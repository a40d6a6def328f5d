// The gRPC `stream` request read straight from its protobuf wire format.
//
// A SequenceMessage of 2,000,000 pulses parsed into the generated classes costs one heap object
// per pulse (hundreds of milliseconds and over 100 MB on the board). This reader decodes the
// bytes in one pass, piece by piece as they were received, directly into a `Pulse` list, and
// accepts and refuses exactly what the generated parser does: unknown fields and fields of an
// unexpected wire type are skipped, a repeated scalar keeps its last value, repeated `final`
// fields merge, and malformed input (bad varints, truncated lengths, stray end-group tags,
// field number 0) fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/types.h"

namespace grpcwire {

// The one conversion of a PulseMessage's fields into a Pulse: ticks whole, digi cut to its low
// 8 bits, ao0/ao1 cut to their low 16 bits read as signed. No range check; values wrap.
inline Pulse toPulse(uint32_t ticks, uint32_t digi, int32_t ao0, int32_t ao1) {
    return Pulse{ticks, static_cast<uint8_t>(digi & 0xFFu), static_cast<int16_t>(static_cast<uint16_t>(ao0)),
                 static_cast<int16_t>(static_cast<uint16_t>(ao1))};
}

struct SequenceRequest {
    size_t count = 0;           // pulse entries in the message
    std::vector<Pulse> pulses;  // the converted pulses; left empty when count > max_pulses
    long long n_runs = 0;
    bool has_final = false;
    Pulse final_state{0, 0, 0, 0};  // all zero unless the message carries `final`
};

// Reads one serialized SequenceMessage handed over in pieces (the slices it was received in),
// without joining them: a field cut by a piece boundary is completed in a small carry buffer.
class SequenceReader {
public:
    // `total_size`: the message's size in bytes. Pulses are stored only while there are at most
    // `max_pulses`; the list is reserved once for min(max_pulses, total_size / 2) entries (an
    // entry takes at least two bytes), and its pages are only touched as it fills.
    SequenceReader(size_t total_size, size_t max_pulses);
    // The next piece of the message, in order.
    void feed(const uint8_t* data, size_t size);
    // After the last piece: false when the bytes do not parse; otherwise the request moves to
    // `out` (pulses left empty when there are more than `max_pulses`).
    bool finish(SequenceRequest& out);

private:
    // Reads the complete top-level fields at the start of [begin, end); returns the bytes they
    // take. Stops at a field that is cut off at `end` or malformed (marking the latter broken_
    // where that is already certain).
    size_t fields(const uint8_t* begin, const uint8_t* end);
    // Reads pulse entries of the usual shape from `at` on and moves `at` to where it stopped (a
    // field of another shape, or near `end`). False when an entry held whole does not parse.
    bool usualPulses(const uint8_t*& at, const uint8_t* end);
    // Makes places for more pulses at the end of the list (within its reservation).
    void grow();
    void addPulse(const Pulse& p) {
        if (req_.count < max_pulses_) {
            if (req_.count == req_.pulses.size()) grow();
            req_.pulses[req_.count] = p;
        }
        ++req_.count;
    }

    size_t max_pulses_;
    SequenceRequest req_;
    std::vector<uint8_t> carry_;  // the start of a field cut by a piece boundary
    bool broken_ = false;
};

// Decodes a serialized SequenceMessage held in one contiguous buffer (one piece). Pulses are
// stored only when count <= max_pulses; a longer message is still checked to the end. False
// when the bytes do not parse.
bool decodeSequence(const uint8_t* data, size_t size, size_t max_pulses, SequenceRequest& out);

}  // namespace grpcwire
