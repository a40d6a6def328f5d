// Chunked form of the encoder, built on the one-shot one: collects the pieces and encodes them
// all in finish(). Gives the same slot contents as highToLow on the whole list.
#include "device/Pulse.h"

namespace {

// The pieces of the one sequence being encoded (callers hold the device lock, and the device
// keeps one encoder at a time). Kept between sequences, so its pages are not faulted in anew.
std::vector<Pulse>& collected() {
    static std::vector<Pulse> pulses;
    return pulses;
}

}  // namespace

SequenceEncoder::SequenceEncoder(const AnalogCalibDataCorr&, MemoryMapper mapper, sequences_t slot,
                                 Full_Pattern final, uint64_t n_runs)
    : mapper_(mapper), slot_(slot), final_(final), n_runs_(n_runs) {
    collected().clear();
}

void SequenceEncoder::add(const Pulse* pulses, size_t count) {
    collected().insert(collected().end(), pulses, pulses + count);
}

SequenceControlData SequenceEncoder::finish() { return highToLow(collected(), final_, n_runs_, mapper_, slot_); }
