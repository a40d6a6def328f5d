// One pulse as the instrument plays it, in the layout of the binary protocol's 9-byte record
// (little-endian, packed): a pulse list in memory is sent to the instrument as it is. The one
// definition of the record and of the instrument's limits, for the instrument and its clients.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pulse records are sent as they lie in memory");

namespace tarvex {

#pragma pack(push, 1)
struct Pulse {
    uint32_t ticks = 0;  // duration in ticks of 1 ns
    uint8_t digi = 0;    // bit i: level of digital output i
    int16_t ao0 = 0;     // analog output 0 (larger values give smaller DAC codes)
    int16_t ao1 = 0;     // analog output 1
};
#pragma pack(pop)
static_assert(sizeof(Pulse) == 9, "a pulse record is 9 bytes");
static_assert(offsetof(Pulse, digi) == 4 && offsetof(Pulse, ao0) == 5 && offsetof(Pulse, ao1) == 7,
              "Pulse field offsets are fixed by the wire formats");

inline bool operator==(const Pulse& a, const Pulse& b) {
    return a.ticks == b.ticks && a.digi == b.digi && a.ao0 == b.ao0 && a.ao1 == b.ao1;
}

// The instrument's limits on one list, on every interface.
constexpr size_t MAX_STREAM_PULSES = 2000000;
constexpr size_t MAX_UPLOAD_PULSES = 1000000;

// Fixed ports of the instrument.
constexpr uint16_t GRPC_PORT = 50051;
constexpr uint16_t HTTP_PORT = 8050;
constexpr uint16_t BINARY_PORT = 21328;
constexpr uint16_t DISCOVERY_PORT = 12345;
constexpr const char* DISCOVERY_GROUP = "239.255.255.82";

}  // namespace tarvex
