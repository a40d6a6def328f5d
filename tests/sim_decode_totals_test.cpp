// The simulator's quick decode (totals only, what playback measures of a slot) agrees with the full
// decode on encoded sequences and on malformed data.
#include <gtest/gtest.h>

#include <random>

#include "device/Pulse.h"
#include "device/registers.h"
#include "device/CommandDecoder.h"

namespace {

void expectSameTotals(const uint8_t* region, size_t max_bytes) {
    auto full = memcmd::decode(region, max_bytes);
    auto quick = memcmd::decode(region, max_bytes, false);
    EXPECT_EQ(quick.bytes, full.bytes);
    EXPECT_EQ(quick.whole_ticks, full.whole_ticks);
    EXPECT_EQ(quick.error, full.error);
    EXPECT_TRUE(quick.commands.empty());

    // Measured in steps (as playback measures a slot while it plays): each step stops at the first
    // command boundary past its word count, and the last one gives the same totals.
    memcmd::Measurement m;
    uint64_t enough = 0;
    size_t steps = 0;
    while (!m.done) {
        memcmd::measure(region, max_bytes, m, enough);
        if (!m.done) {
            EXPECT_GT(m.words, enough);
            EXPECT_LE(m.bytes, max_bytes);
        }
        enough = m.words + m.words / 3;  // grows, and sometimes below what is measured already
        ASSERT_LT(++steps, 100000u);
    }
    EXPECT_EQ(m.bytes, full.bytes);
    EXPECT_EQ(m.words, full.whole_ticks);
    EXPECT_EQ(m.error, full.error);
}

}  // namespace

TEST(SimDecodeTotals, AgreeWithTheFullDecode) {
    std::vector<uint8_t> window(1 << 22);
    MemoryMapper mapper(reg::SEQMEM_BASE, reg::SEQMEM_LEN);
    mapper.addr = window.data();
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<Pulse> pulses(1 + rng() % 3000);
        for (auto& p : pulses)
            p = Pulse{static_cast<uint32_t>(rng() % (round % 2 ? 40 : 100000)), static_cast<uint8_t>(rng() % 4),
                      static_cast<int16_t>(rng() % 3), static_cast<int16_t>(rng())};
        auto data = highToLow(pulses, Full_Pattern(0, 0, 0, 0), 1, mapper, 0);
        SCOPED_TRACE(round);
        ASSERT_TRUE(memcmd::decode(window.data(), data.nBytes).ok());
        expectSameTotals(window.data(), data.nBytes);
        // Cut short: the same error at the same place.
        expectSameTotals(window.data(), data.nBytes - 1);
        expectSameTotals(window.data(), data.nBytes / 2);
    }
    // Malformed commands.
    const std::vector<std::vector<uint8_t>> bad = {
        {0x01},                                         // reserved bit
        {0x40},                                         // mask byte missing
        {0x40 | 0x80, 0x03, 0xFF},                      // one channel byte short
        {0x30 | 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},  // count above the limit
        {0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9},              // no end command
        {0x40 | 0x10, 0x81, 0xAA, 0x55, 3, 0x80 | 0x04 | 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x10, 0, 0x20, 0},
    };
    for (const auto& b : bad) expectSameTotals(b.data(), b.size());
}
