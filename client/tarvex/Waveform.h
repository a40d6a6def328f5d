// Writers for what a slot plays (readback segments): CSV in the pulse-list format, so that a
// readback can be streamed again, and an IEEE 1364 value change dump (1 ns timescale, eight
// digital wires d0-d7, the two analog outputs as real variables ao0 and ao1). Analog values are
// the ones the instrument's calibration turns into the segment's DAC codes.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "tarvex/Analog.h"
#include "tarvex/Client.h"

namespace tarvex {

// The conversions of both outputs under a reported calibration (neutral where it does not fit).
void analogConversions(const Calibration& calibration, AnalogConversion& ao0, AnalogConversion& ao1);

class CsvWriter {
public:
    CsvWriter(std::ostream& out, const Calibration& calibration);
    void write(const std::vector<Segment>& segments);

private:
    std::ostream& out_;
    AnalogConversion ao0_, ao1_;
};

class VcdWriter {
public:
    VcdWriter(std::ostream& out, const Calibration& calibration);
    void write(const std::vector<Segment>& segments);
    // Writes the end time; call once after the last segment.
    void finish();

private:
    std::ostream& out_;
    AnalogConversion conversion0_, conversion1_;
    uint64_t time_ = 0;
    bool first_ = true;
    uint8_t digi_ = 0;
    int16_t ao0_ = 0, ao1_ = 0;
};

}  // namespace tarvex
