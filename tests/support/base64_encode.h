// Base64 encoding of test data (the server only decodes; tests and benchmarks need the reverse),
// and the 9-byte big-endian pulse records that the "stream" payload encodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/types.h"

namespace testsupport {

inline std::string base64_encode(const std::string& bytes) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | (rest == 2 ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += rest == 2 ? abc[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

inline std::string be_records(const std::vector<Pulse>& pulses) {
    std::string out;
    for (const Pulse& p : pulses) {
        const char r[9] = {
            char(p.ticks >> 24),        char(p.ticks >> 16), char(p.ticks >> 8),         char(p.ticks), char(p.digi),
            char(uint16_t(p.ao0) >> 8), char(p.ao0),         char(uint16_t(p.ao1) >> 8), char(p.ao1)};
        out.append(r, 9);
    }
    return out;
}

}  // namespace testsupport
