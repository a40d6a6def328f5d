// The encoder as it stood before its third optimisation round, kept unchanged as the reference
// for byte-for-byte comparisons (bench/encoder_compare_bench.cpp, tests/encoder_test.cpp).
#pragma once

#include <vector>

#include "device/Pulse.h"

namespace reference_encoder {

// Same contract as ::highToLow.
SequenceControlData highToLow(const std::vector<Pulse>& pulses, Full_Pattern final, uint64_t n_runs,
                              MemoryMapper mapper, sequences_t slot);

}  // namespace reference_encoder
