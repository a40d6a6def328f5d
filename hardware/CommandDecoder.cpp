// Decoder of the sequence memory command format (memory_commands.h).
#include "hardware/CommandDecoder.h"

#include <algorithm>
#include <cstdio>

namespace memcmd {

uint8_t Word::digi(unsigned tick) const { return uint8_t(tick_bytes() >> (8 * tick)); }

// Byte i bit j of the channel bytes is bit i of tick j's byte: an 8x8 bit matrix transposed in
// three steps of swapping blocks (1x1, 2x2, 4x4 bits) across the diagonal.
uint64_t Word::tick_bytes() const {
    uint64_t x = 0;
    for (unsigned i = 0; i < 8; ++i) x |= uint64_t(channels[i]) << (8 * i);
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    return x ^ t ^ (t << 28);
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

// Bytes of a command after its header, channel bytes of a masked command not included: mask byte
// or eight channel bytes, the present codes and the count.
struct FieldBytes {
    uint8_t v[256];
    constexpr FieldBytes() : v() {
        for (unsigned h = 0; h < 256; ++h)
            v[h] = uint8_t(((h & HDR_MASKED) ? 1 : 8) + code_bytes(uint8_t(h)) + count_width(uint8_t(h)));
    }
};
constexpr FieldBytes FIELD_BYTES;

// Changed channels of a mask byte.
struct MaskBits {
    uint8_t v[256];
    constexpr MaskBits() : v() {
        for (unsigned m = 0; m < 256; ++m)
            for (unsigned i = 0; i < 8; ++i) v[m] += (m >> i) & 1u;
    }
};
constexpr MaskBits MASK_BITS;

}  // namespace

void measure(const uint8_t* region, size_t max_bytes, Measurement& m, uint64_t enough) {
    size_t pos = m.bytes;
    uint64_t words = m.words;
    while (!m.done && words <= enough) {
        const size_t start = pos;
        if (pos >= max_bytes) {
            m.error = at(start, "no end command");
            m.done = true;
            break;
        }
        const uint8_t h = region[pos];
        if (h & HDR_RESERVED) {
            m.error = at(start, "reserved header bit set");
            m.done = true;
            break;
        }
        size_t need = FIELD_BYTES.v[h];  // bytes after the header
        if (h & HDR_MASKED) {
            if (max_bytes - pos < 2) {
                m.error = at(start, "command runs past the region");
                m.done = true;
                break;
            }
            need += MASK_BITS.v[region[pos + 1]];
        }
        if (max_bytes - pos - 1 < need) {
            m.error = at(start, "command runs past the region");
            m.done = true;
            break;
        }
        const unsigned cw = count_width(h);
        const uint32_t count = read_le(region + pos + 1 + need - cw, cw);
        if (count > MAX_COUNT) {
            m.error = at(start, "repeat count above the limit");
            m.done = true;
            break;
        }
        pos += 1 + need;
        words += uint64_t(count) + 1;
        if (h & HDR_END) m.done = true;
    }
    m.bytes = pos;
    m.words = words;
}

namespace {

// Decodes command after command, handing each to `take` (which returns false to stop early).
// Fills r's bytes, whole ticks and error; never its command list.
// Decoding may begin at a command other than the first (`pos`, resolved against `ref`).
template <class Take>
void decode_each(const uint8_t* region, size_t max_bytes, DecodeResult& r, Take&& take, size_t pos = 0,
                 Word ref = Word()) {  // start reference: channels 0, codes START_CODE
    for (;;) {
        const size_t start = pos;
        if (pos >= max_bytes) {
            r.error = at(start, "no end command");
            return;
        }
        const uint8_t h = region[pos++];
        if (h & HDR_RESERVED) {
            r.error = at(start, "reserved header bit set");
            return;
        }
        // Length of the rest of the command, known from the header and mask alone.
        size_t need = 0;
        const bool masked = h & HDR_MASKED;
        uint8_t mask = 0xFF;
        if (masked) {
            if (pos >= max_bytes) {
                r.error = at(start, "command runs past the region");
                return;
            }
            mask = region[pos++];
            need = MASK_BITS.v[mask];
        } else {
            need = 8;
        }
        const unsigned cw = count_width(h);
        need += code_bytes(h) + cw;
        if (max_bytes - pos < need) {
            r.error = at(start, "command runs past the region");
            return;
        }

        DecodedCommand c;
        c.offset = start;
        c.header = h;
        c.word = ref;
        c.word.marker = h & HDR_MARKER;
        for (unsigned i = 0; i < 8; ++i)
            if ((mask >> i) & 1u) c.word.channels[i] = region[pos++];
        if (h & HDR_CODE0) {
            c.word.code0 = uint16_t(read_le(region + pos, 2));
            pos += 2;
        }
        if (h & HDR_CODE1) {
            c.word.code1 = uint16_t(read_le(region + pos, 2));
            pos += 2;
        }
        c.count = read_le(region + pos, cw);
        pos += cw;
        c.length = pos - start;
        if (c.count > MAX_COUNT) {
            r.error = at(start, "repeat count above the limit");
            return;
        }
        ref = c.word;
        ref.marker = false;
        r.bytes = pos;
        r.whole_ticks += c.repetitions();
        if (!take(c) || c.end()) return;
    }
}

}  // namespace

DecodeResult decode(const uint8_t* region, size_t max_bytes, bool keep_commands) {
    DecodeResult r;
    if (!keep_commands) {
        Measurement m;
        measure(region, max_bytes, m);
        r.bytes = m.bytes;
        r.whole_ticks = m.words;
        r.error = std::move(m.error);
        return r;
    }
    decode_each(region, max_bytes, r, [&r](const DecodedCommand& c) {
        r.commands.push_back(c);
        return true;
    });
    return r;
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
    const uint64_t bytes = w.tick_bytes();
    if (bytes == uint8_t(bytes) * 0x0101010101010101ull)
        return append(out, 8 * times, uint8_t(bytes), w.code0, w.code1, limit);
    for (uint64_t n = 0; n < times; ++n)
        for (unsigned t = 0; t < 8; ++t)
            if (!append(out, 1, uint8_t(bytes >> (8 * t)), w.code0, w.code1, limit)) return false;
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

namespace {

// Collects the segments of one page while the commands stream by: the segment being built is
// `cur`; finished ones before `from` are only counted.
struct Pager {
    uint64_t from;
    size_t max;
    SegmentPage& page;
    Segment cur;
    bool have = false;
    uint64_t index = 0;  // index of cur

    // False once the page is full and another segment has begun (page.more).
    bool add(uint64_t ticks, uint8_t digi, uint16_t c0, uint16_t c1) {
        if (have && cur.digi == digi && cur.code0 == c0 && cur.code1 == c1) {
            cur.ticks += ticks;
            return true;
        }
        if (have && !close()) return false;
        cur = Segment{ticks, digi, c0, c1};
        have = true;
        return true;
    }
    bool close() {
        if (index >= from) {
            if (page.segments.size() >= max) {
                page.more = true;
                return false;
            }
            page.segments.push_back(cur);
        }
        ++index;
        have = false;
        return true;
    }
    bool word(const Word& w, uint64_t times) {
        const uint64_t bytes = w.tick_bytes();
        const uint8_t first = uint8_t(bytes);
        if (bytes == first * 0x0101010101010101ull) return add(8 * times, first, w.code0, w.code1);
        // The runs of equal bytes within the word. From its second playing on, each playing ends
        // with the same segment being built and closes the same number of segments: playings
        // that close segments before the page only are counted, not played.
        uint8_t run_byte[8], run_len[8];
        unsigned runs = 0;
        for (unsigned t = 0; t < 8; ++t) {
            const uint8_t b = uint8_t(bytes >> (8 * t));
            if (runs && run_byte[runs - 1] == b) {
                ++run_len[runs - 1];
            } else {
                run_byte[runs] = b;
                run_len[runs++] = 1;
            }
        }
        const uint64_t closed = runs - (run_byte[0] == run_byte[runs - 1]);  // per playing after the first
        for (uint64_t n = 0; n < times; ++n) {
            if (n == 1 && index < from) {
                const uint64_t skip = std::min(times - 1, (from - index) / closed);
                index += skip * closed;
                n += skip;
                if (n == times) break;
            }
            for (unsigned r = 0; r < runs; ++r)
                if (!add(run_len[r], run_byte[r], w.code0, w.code1)) return false;
        }
        return true;
    }
};

}  // namespace

SegmentPage read_segments(const uint8_t* region, size_t max_bytes, uint64_t from, size_t max_segments,
                          PageCursor* cursor) {
    SegmentPage page;
    page.segments.reserve(std::min<size_t>(max_segments, 65536));
    Pager pager{from, max_segments, page, Segment{}};
    PageCursor start;
    if (cursor && cursor->index <= from) start = *cursor;
    pager.cur = start.cur;
    pager.have = start.have;
    pager.index = start.index;
    Word ref = start.ref;  // what the next command is resolved against
    PageCursor next;       // the state before the command that filled the page
    DecodeResult r;
    bool full = false;
    decode_each(
        region, max_bytes, r,
        [&](const DecodedCommand& c) {
            const Segment cur = pager.cur;
            const bool have = pager.have;
            const uint64_t index = pager.index;
            if (!pager.word(c.word, c.repetitions())) {
                full = true;
                next = PageCursor{c.offset, ref, cur, have, index};
                return false;
            }
            ref = c.word;
            ref.marker = false;
            return true;
        },
        start.pos, start.ref);
    // The next page begins within the command that filled this one: paging goes on from there.
    if (full && cursor) *cursor = next;
    if (!full && pager.have) pager.close();
    page.error = std::move(r.error);
    return page;
}

}  // namespace memcmd
