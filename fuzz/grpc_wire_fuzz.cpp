// The gRPC `stream` request reader against the generated parser: any bytes must be accepted or
// refused by both alike, and accepted bytes must give the same pulses, run count and final state.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "GrpcWire.h"
#include "tarvex.pb.h"

namespace {

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
