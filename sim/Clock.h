// Simulated programmable clock: phase-shift steps with their confirmation (status bit 11) and
// the clock parameter words written with the parameter write strobe.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Fpga.h"

namespace sim {

// Makes one later phase step fail: after `after_ok` more confirmed steps, the next step is not
// carried out (status bit 11 reads clear). One-shot.
void fail_phase_step(Fpga& f, unsigned int after_ok = 0);
// Net phase position in steps (positive steps minus negative steps carried out).
int phase_position(Fpga& f);
// Every clock parameter word (control 0x20) taken by a parameter write strobe, in order.
std::vector<uint32_t> clock_params(Fpga& f);

}  // namespace sim
