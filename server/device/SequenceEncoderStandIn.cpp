// Chunked form of the encoder, built on the one-shot one: collects the pieces and encodes them
// all in finish(). Gives the same slot contents as highToLow on the whole list.
#include "device/Pulse.h"

SequenceEncoder::SequenceEncoder(const AnalogCalibDataCorr&, MemoryMapper mapper, sequences_t slot,
                                 Full_Pattern final, uint64_t n_runs)
    : mapper_(mapper), slot_(slot), final_(final), n_runs_(n_runs) {}

void SequenceEncoder::add(const Pulse* pulses, size_t count) { pulses_.insert(pulses_.end(), pulses, pulses + count); }

SequenceControlData SequenceEncoder::finish() { return highToLow(pulses_, final_, n_runs_, mapper_, slot_); }
