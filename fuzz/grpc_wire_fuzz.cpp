// The gRPC `stream` request reader against the generated parser: any bytes must be accepted or
// refused by both alike, and accepted bytes must give the same pulses, run count and final state,
// whether the reader gets them whole or in pieces (as received slices).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "interfaces/grpc/GrpcWire.h"
#include "tarvex.pb.h"

namespace {

// The bytes in pieces of their own (exact size), cut at lengths taken from the bytes themselves.
bool decodeInPieces(const uint8_t* data, size_t size, size_t max_pulses, grpcwire::SequenceRequest& out) {
    grpcwire::SequenceReader reader(size, max_pulses);
    std::vector<uint8_t> piece;
    for (size_t at = 0, i = 0; at < size; ++i) {
        size_t cut = data[(i * 31) % size] % 25;
        if (cut == 0) {  // an empty piece, then a short one
            reader.feed(nullptr, 0);
            cut = 1 + i % 7;
        }
        size_t n = std::min(size - at, cut);
        piece.assign(data + at, data + at + n);
        reader.feed(piece.data(), piece.size());
        at += n;
    }
    return reader.finish(out);
}

bool samePulse(const Pulse& p, const tarvex::PulseMessage& m) {
    return p.ticks == m.ticks() && p.digi == static_cast<uint8_t>(m.digi() & 0xFF) &&
           p.ao0 == static_cast<int16_t>(static_cast<uint32_t>(m.ao0()) & 0xFFFF) &&
           p.ao1 == static_cast<int16_t>(static_cast<uint32_t>(m.ao1()) & 0xFFFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t max_pulses = 64;  // small, so the counted-only path is reached too
    tarvex::SequenceMessage ref;
    bool ref_ok = ref.ParseFromArray(data, static_cast<int>(size));
    grpcwire::SequenceRequest got;
    bool ok = grpcwire::decodeSequence(data, size, max_pulses, got);
    if (ok != ref_ok) abort();
    grpcwire::SequenceRequest pieces;
    if (decodeInPieces(data, size, max_pulses, pieces) != ok) abort();
    if (ok && (pieces.count != got.count || pieces.n_runs != got.n_runs || pieces.has_final != got.has_final ||
               memcmp(&pieces.final_state, &got.final_state, sizeof(Pulse)) != 0 ||
               pieces.pulses.size() != got.pulses.size() ||
               (!got.pulses.empty() &&
                memcmp(pieces.pulses.data(), got.pulses.data(), got.pulses.size() * sizeof(Pulse)) != 0)))
        abort();
    if (!ok) return 0;
    if (got.count != static_cast<size_t>(ref.pulse_size()) || got.n_runs != ref.n_runs() ||
        got.has_final != ref.has_final())
        abort();
    if (ref.has_final() && !samePulse(got.final_state, ref.final())) abort();
    if (got.count > max_pulses) {
        if (!got.pulses.empty()) abort();
        return 0;
    }
    for (int i = 0; i < ref.pulse_size(); ++i)
        if (!samePulse(got.pulses[static_cast<size_t>(i)], ref.pulse(i))) abort();
    return 0;
}
