// Decoder of the sequence memory command format (see Decoder.h for the format).
#include "Decoder.h"

#include <cstdio>

namespace sim {

uint8_t Word::digi(unsigned tick) const {
    uint8_t d = 0;
    for (unsigned i = 0; i < 8; ++i)
        if ((channels[i] >> tick) & 1u) d = uint8_t(d | (1u << i));
    return d;
}

bool Word::uniform() const {
    for (uint8_t c : channels)
        if (c != 0x00 && c != 0xFF) return false;
    return true;
}

bool Word::operator==(const Word& o) const {
    for (unsigned i = 0; i < 8; ++i)
        if (channels[i] != o.channels[i]) return false;
    return code0 == o.code0 && code1 == o.code1 && marker == o.marker;
}

namespace {

std::string at(size_t offset, const char* what) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "offset %zu: %s", offset, what);
    return buf;
}

uint32_t read_le(const uint8_t* p, unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

}  // namespace

namespace {

// The totals of decode without resolving the words: command lengths, counts and the same checks.
DecodeResult measure(const uint8_t* region, size_t max_bytes) {
    static const unsigned count_width[4] = {0, 1, 2, 4};
    DecodeResult r;
    size_t pos = 0;
    for (;;) {
        const size_t start = pos;
        if (pos >= max_bytes) {
            r.error = at(start, "no end command");
            return r;
        }
        const uint8_t h = region[pos++];
        if (h & 0x01) {
            r.error = at(start, "reserved header bit set");
            return r;
        }
        size_t need = 8;
        if (h & 0x40) {
            need = 0;
            if (pos >= max_bytes) {
                r.error = at(start, "command runs past the region");
                return r;
            }
            for (uint8_t mask = region[pos++]; mask; mask = uint8_t(mask & (mask - 1))) ++need;
        }
        const unsigned cw = count_width[(h >> 4) & 3];
        need += ((h & 0x04) ? 2 : 0) + ((h & 0x08) ? 2 : 0) + cw;
        if (max_bytes - pos < need) {
            r.error = at(start, "command runs past the region");
            return r;
        }
        pos += need;
        const uint32_t count = read_le(region + pos - cw, cw);
        if (count > MAX_COUNT) {
            r.error = at(start, "repeat count above the limit");
            return r;
        }
        r.bytes = pos;
        r.whole_ticks += uint64_t(count) + 1;
        if (h & 0x80) return r;
    }
}

}  // namespace

DecodeResult decode(const uint8_t* region, size_t max_bytes, bool keep_commands) {
    if (!keep_commands) return measure(region, max_bytes);
    DecodeResult r;
    Word ref;  // start reference: channels 0, codes 0x1FFF
    size_t pos = 0;
    for (;;) {
        const size_t start = pos;
        if (pos >= max_bytes) {
            r.error = at(start, "no end command");
            return r;
        }
        const uint8_t h = region[pos++];
        if (h & 0x01) {
            r.error = at(start, "reserved header bit set");
            return r;
        }
        // Length of the rest of the command, known from the header and mask alone.
        size_t need = 0;
        const bool masked = h & 0x40;
        uint8_t mask = 0xFF;
        if (masked) {
            if (pos >= max_bytes) {
                r.error = at(start, "command runs past the region");
                return r;
            }
            mask = region[pos++];
            for (unsigned i = 0; i < 8; ++i) need += (mask >> i) & 1u;
        } else {
            need = 8;
        }
        const unsigned count_width[4] = {0, 1, 2, 4};
        const unsigned cw = count_width[(h >> 4) & 3];
        need += ((h & 0x04) ? 2 : 0) + ((h & 0x08) ? 2 : 0) + cw;
        if (max_bytes - pos < need) {
            r.error = at(start, "command runs past the region");
            return r;
        }

        DecodedCommand c;
        c.offset = start;
        c.header = h;
        c.word = ref;
        c.word.marker = h & 0x02;
        for (unsigned i = 0; i < 8; ++i)
            if ((mask >> i) & 1u) c.word.channels[i] = region[pos++];
        if (h & 0x04) {
            c.word.code0 = uint16_t(read_le(region + pos, 2));
            pos += 2;
        }
        if (h & 0x08) {
            c.word.code1 = uint16_t(read_le(region + pos, 2));
            pos += 2;
        }
        c.count = read_le(region + pos, cw);
        pos += cw;
        c.length = pos - start;
        if (c.count > MAX_COUNT) {
            r.error = at(start, "repeat count above the limit");
            return r;
        }
        ref = c.word;
        ref.marker = false;
        r.commands.push_back(c);
        r.bytes = pos;
        r.whole_ticks += c.repetitions();
        if (c.end()) return r;
    }
}

std::vector<Word> played_words(const DecodeResult& decoded, uint64_t max_words, bool* truncated) {
    std::vector<Word> words;
    if (truncated) *truncated = false;
    for (const DecodedCommand& c : decoded.commands) {
        for (uint64_t n = 0; n < c.repetitions(); ++n) {
            if (words.size() >= max_words) {
                if (truncated) *truncated = true;
                return words;
            }
            words.push_back(c.word);
        }
    }
    return words;
}

namespace {

// Appends a stretch, joining it to the last one when the output is the same.
// Returns false when a new segment would exceed the limit.
bool append(std::vector<Segment>& out, uint64_t ticks, uint8_t digi, uint16_t c0, uint16_t c1, size_t limit) {
    if (!out.empty()) {
        Segment& b = out.back();
        if (b.digi == digi && b.code0 == c0 && b.code1 == c1) {
            b.ticks += ticks;
            return true;
        }
    }
    if (out.size() >= limit) return false;
    out.push_back(Segment{ticks, digi, c0, c1});
    return true;
}

// Appends one word played `times` times; false when the segment limit is reached.
bool append_word(std::vector<Segment>& out, const Word& w, uint64_t times, size_t limit) {
    if (w.uniform()) return append(out, 8 * times, w.digi(0), w.code0, w.code1, limit);
    for (uint64_t n = 0; n < times; ++n)
        for (unsigned t = 0; t < 8; ++t)
            if (!append(out, 1, w.digi(t), w.code0, w.code1, limit)) return false;
    return true;
}

}  // namespace

std::vector<Segment> segments_from_words(const std::vector<Word>& words) {
    std::vector<Segment> out;
    for (const Word& w : words) append_word(out, w, 1, SIZE_MAX);
    return out;
}

std::vector<Segment> segments(const DecodeResult& decoded, size_t max_segments, bool* truncated) {
    std::vector<Segment> out;
    if (truncated) *truncated = false;
    for (const DecodedCommand& c : decoded.commands) {
        if (!append_word(out, c.word, c.repetitions(), max_segments)) {
            if (truncated) *truncated = true;
            break;
        }
    }
    return out;
}

}  // namespace sim
