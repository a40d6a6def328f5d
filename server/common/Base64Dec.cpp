#include "common/Base64Dec.h"

#include <cstdint>
#include <cstring>

namespace {

// Four lookup tables, one per position in a group, holding each character's 6 bits already
// shifted into place in a little-endian 24-bit word; characters outside the alphabet carry
// the bit `bad`, which no valid group can produce.
constexpr uint32_t bad = 0x01000000u;

struct Tables {
    uint32_t d[4][256];
    uint8_t value[256];  // 0..63, or 0xFF outside the alphabet

    Tables() {
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int c = 0; c < 256; ++c) {
            value[c] = 0xFF;
            for (int i = 0; i < 4; ++i) d[i][c] = bad;
        }
        for (uint32_t v = 0; v < 64; ++v) {
            unsigned char c = static_cast<unsigned char>(alphabet[v]);
            value[c] = static_cast<uint8_t>(v);
            // Group bits: v0 << 18 | v1 << 12 | v2 << 6 | v3, bytes out in big-endian order;
            // stored byte-swapped so that a little-endian word store writes them in order.
            uint32_t w0 = v << 2;                                // byte 0 bits 7..2
            uint32_t w1 = (v >> 4) | ((v & 0x0F) << 12);         // byte 0 bits 1..0, byte 1 bits 7..4
            uint32_t w2 = ((v >> 2) << 8) | ((v & 0x03) << 22);  // byte 1 bits 3..0, byte 2 bits 7..6
            uint32_t w3 = v << 16;                               // byte 2 bits 5..0
            d[0][c] = w0;
            d[1][c] = w1;
            d[2][c] = w2;
            d[3][c] = w3;
        }
    }
};

const Tables tables;

inline uint32_t group(const unsigned char* p) {
    return tables.d[0][p[0]] | tables.d[1][p[1]] | tables.d[2][p[2]] | tables.d[3][p[3]];
}

inline void store3(unsigned char* out, uint32_t word) {
    out[0] = static_cast<unsigned char>(word);
    out[1] = static_cast<unsigned char>(word >> 8);
    out[2] = static_cast<unsigned char>(word >> 16);
}

}  // namespace

size_t base64_valid_length(const char* text, size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    // Eight characters at a time while all are in the alphabet.
    while (i + 8 <= length) {
        uint8_t any = tables.value[p[i]] | tables.value[p[i + 1]] | tables.value[p[i + 2]] | tables.value[p[i + 3]] |
                      tables.value[p[i + 4]] | tables.value[p[i + 5]] | tables.value[p[i + 6]] | tables.value[p[i + 7]];
        if (any & 0x80) break;
        i += 8;
    }
    while (i < length && tables.value[p[i]] != 0xFF) ++i;
    return i;
}

size_t base64_decode(const char* text, size_t length, unsigned char* out) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    unsigned char* o = out;
    size_t i = 0;

    // Two groups at a time with 4-byte stores (the fourth byte is overwritten by the next store),
    // while a whole further group of input follows, so the spare byte always lands inside `out`.
    while (i + 12 <= length) {
        uint32_t a = group(p + i);
        uint32_t b = group(p + i + 4);
        if ((a | b) & bad) break;
        std::memcpy(o, &a, 4);
        std::memcpy(o + 3, &b, 4);
        i += 8;
        o += 6;
    }
    // Whole groups one by one.
    while (i + 4 <= length) {
        uint32_t a = group(p + i);
        if (a & bad) break;
        store3(o, a);
        i += 4;
        o += 3;
    }
    // The tail: up to where the first character outside the alphabet stands.
    unsigned v[4];
    unsigned n = 0;
    while (i < length && n < 4) {
        uint8_t x = tables.value[p[i]];
        if (x == 0xFF) break;
        v[n++] = x;
        ++i;
    }
    if (n >= 2) *o++ = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
    if (n >= 3) *o++ = static_cast<unsigned char>((v[1] & 0x0F) << 4 | v[2] >> 2);
    if (n >= 4) *o++ = static_cast<unsigned char>((v[2] & 0x03) << 6 | v[3]);
    return static_cast<size_t>(o - out);
}

std::string base64_decode(const std::string& text) {
    std::string out(base64_decoded_size(text.size()), '\0');
    size_t n = base64_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(&out[0]));
    out.resize(n);
    return out;
}
