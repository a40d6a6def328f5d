#include "tarvex/Waveform.h"

#include <string>

namespace tarvex {

namespace {
// Identifier codes: d0-d7 are '!' to '(', ao0 ')', ao1 '*'.
char wire(int i) { return static_cast<char>('!' + i); }
constexpr char AO0 = ')';
constexpr char AO1 = '*';
}  // namespace

void analogConversions(const Calibration& calibration, AnalogConversion& ao0, AnalogConversion& ao1) {
    if (!AnalogConversion::fromCalibration(calibration.dc_offset_a0, calibration.slope_a0, ao0))
        ao0 = AnalogConversion{};
    if (!AnalogConversion::fromCalibration(calibration.dc_offset_a1, calibration.slope_a1, ao1))
        ao1 = AnalogConversion{};
}

CsvWriter::CsvWriter(std::ostream& out, const Calibration& calibration) : out_(out) {
    analogConversions(calibration, ao0_, ao1_);
    out_ << "ticks,digital,ao0,ao1\n";
}

void CsvWriter::write(const std::vector<Segment>& segments) {
    std::string text;
    for (const Segment& s : segments) {
        // A segment longer than one pulse can carry is written as several pulses.
        uint64_t left = s.ticks;
        const std::string rest = "," + std::to_string(s.digi) + "," + std::to_string(ao0_.value(s.code0)) + "," +
                                 std::to_string(ao1_.value(s.code1)) + "\n";
        do {
            const uint64_t ticks = left > 0xFFFFFFFFu ? 0xFFFFFFFFu : left;
            text += std::to_string(ticks) + rest;
            left -= ticks;
        } while (left > 0);
    }
    out_ << text;
}

VcdWriter::VcdWriter(std::ostream& out, const Calibration& calibration) : out_(out) {
    analogConversions(calibration, conversion0_, conversion1_);
    out_ << "$version tarvex readback $end\n$timescale 1ns $end\n$scope module tarvex $end\n";
    for (int i = 0; i < 8; ++i) out_ << "$var wire 1 " << wire(i) << " d" << i << " $end\n";
    out_ << "$var real 64 " << AO0 << " ao0 $end\n$var real 64 " << AO1 << " ao1 $end\n";
    out_ << "$upscope $end\n$enddefinitions $end\n";
}

void VcdWriter::write(const std::vector<Segment>& segments) {
    std::string text;
    for (const Segment& s : segments) {
        const int16_t ao0 = conversion0_.value(s.code0), ao1 = conversion1_.value(s.code1);
        if (first_) {
            text += "#0\n$dumpvars\n";
            for (int i = 0; i < 8; ++i) text += std::string(1, (s.digi >> i & 1) ? '1' : '0') + wire(i) + "\n";
            text += "r" + std::to_string(ao0) + " " + AO0 + "\nr" + std::to_string(ao1) + " " + AO1 + "\n$end\n";
        } else if (s.digi != digi_ || ao0 != ao0_ || ao1 != ao1_) {
            text += "#" + std::to_string(time_) + "\n";
            for (int i = 0; i < 8; ++i)
                if ((s.digi ^ digi_) >> i & 1) text += std::string(1, (s.digi >> i & 1) ? '1' : '0') + wire(i) + "\n";
            if (ao0 != ao0_) text += "r" + std::to_string(ao0) + " " + AO0 + "\n";
            if (ao1 != ao1_) text += "r" + std::to_string(ao1) + " " + AO1 + "\n";
        }
        first_ = false;
        digi_ = s.digi;
        ao0_ = ao0;
        ao1_ = ao1;
        time_ += s.ticks;
    }
    out_ << text;
}

void VcdWriter::finish() { out_ << "#" << time_ << "\n"; }

}  // namespace tarvex
