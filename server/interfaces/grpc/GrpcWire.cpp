#include "interfaces/grpc/GrpcWire.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace grpcwire {

namespace {

// Wire types.
constexpr uint32_t kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kStartGroup = 3, kEndGroup = 4, kFixed32 = 5;

constexpr uint32_t tagOf(uint32_t field, uint32_t type) { return (field << 3) | type; }

// SequenceMessage fields.
constexpr uint32_t kPulseTag = tagOf(1, kLengthDelimited);
constexpr uint32_t kRunsTag = tagOf(2, kVarint);
constexpr uint32_t kFinalTag = tagOf(3, kLengthDelimited);
// PulseMessage fields.
constexpr uint32_t kTicksTag = tagOf(1, kVarint);
constexpr uint32_t kDigiTag = tagOf(2, kVarint);
constexpr uint32_t kAo0Tag = tagOf(3, kVarint);
constexpr uint32_t kAo1Tag = tagOf(4, kVarint);

// Room behind the start of a pulse entry for the fast path: tag, one-byte length, the longest
// such entry and ten bytes for an unchecked varint read at its last byte.
constexpr ptrdiff_t kFastRoom = 2 + 127 + 10;

// Nesting of embedded messages and groups the generated parser accepts.
constexpr int kRecursionLimit = 100;

// A bounded cursor over the bytes of one message. Every read checks the bounds.
struct Cursor {
    const uint8_t* p;
    const uint8_t* end;

    bool atEnd() const { return p == end; }

    // A varint of at most `max_bytes` bytes; bits beyond 64 are dropped.
    bool varint(uint64_t& v, int max_bytes) {
        if (end - p >= 10) {
            // Room for the longest varint: no bounds checks in the loop.
            uint64_t r = p[0];
            if (r < 0x80) {
                v = r;
                p += 1;
                return true;
            }
            r &= 0x7F;
            for (int i = 1; i < max_bytes; ++i) {
                uint64_t b = p[i];
                r |= (b & 0x7F) << (7 * i);
                if (b < 0x80) {
                    v = r;
                    p += i + 1;
                    return true;
                }
            }
            return false;
        }
        uint64_t r = 0;
        for (int i = 0; i < max_bytes; ++i) {
            if (p == end) return false;
            uint8_t b = *p++;
            r |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
            if (b < 0x80) {
                v = r;
                return true;
            }
        }
        return false;
    }
    // Values: up to ten bytes. 32-bit fields keep the low 32 bits.
    bool value64(uint64_t& v) { return varint(v, 10); }
    bool value32(uint32_t& v) {
        uint64_t w = 0;
        if (!varint(w, 10)) return false;
        v = static_cast<uint32_t>(w);
        return true;
    }
    // Tags: up to five bytes, taken modulo 2^32; tag 0 and field number 0 are malformed.
    bool tag(uint32_t& t) {
        uint64_t w = 0;
        if (!varint(w, 5)) return false;
        t = static_cast<uint32_t>(w);
        return (t >> 3) != 0;
    }
    // Lengths: up to five bytes, below 2^31, within the remaining bytes.
    bool length(size_t& n) {
        uint64_t w = 0;
        if (!varint(w, 5) || w > 0x7FFFFFFFu || w > static_cast<uint64_t>(end - p)) return false;
        n = static_cast<size_t>(w);
        return true;
    }
    bool skip(size_t n) {
        if (n > static_cast<size_t>(end - p)) return false;
        p += n;
        return true;
    }
};

// A field this reader does not use: skipped as the generated parser skips unknown fields
// (groups to their matching end tag). A stray end-group tag and wire types 6, 7 are malformed.
bool skipUnknown(Cursor& in, uint32_t tag, int depth) {
    uint64_t v = 0;
    size_t n = 0;
    switch (tag & 7) {
        case kVarint: return in.value64(v);
        case kFixed64: return in.skip(8);
        case kLengthDelimited: return in.length(n) && in.skip(n);
        case kFixed32: return in.skip(4);
        case kStartGroup: {
            if (--depth < 0) return false;
            const uint32_t end_tag = (tag & ~7u) | kEndGroup;
            for (;;) {
                uint32_t inner = 0;
                if (!in.tag(inner)) return false;
                if ((inner & 7) == kEndGroup) return inner == end_tag;
                if (!skipUnknown(in, inner, depth)) return false;
            }
        }
        default: return false;
    }
}

// The fields of one PulseMessage, merged into `p`.
bool pulseFields(Cursor& in, Pulse& p) {
    uint32_t v = 0;
    while (!in.atEnd()) {
        uint32_t tag = 0;
        if (!in.tag(tag)) return false;
        switch (tag) {
            case kTicksTag:
                if (!in.value32(v)) return false;
                p.ticks = v;
                break;
            case kDigiTag:
                if (!in.value32(v)) return false;
                p.digi = toPulse(0, v, 0, 0).digi;
                break;
            case kAo0Tag:
                if (!in.value32(v)) return false;
                p.ao0 = toPulse(0, 0, static_cast<int32_t>(v), 0).ao0;
                break;
            case kAo1Tag:
                if (!in.value32(v)) return false;
                p.ao1 = toPulse(0, 0, 0, static_cast<int32_t>(v)).ao1;
                break;
            default:
                if (!skipUnknown(in, tag, kRecursionLimit - 1)) return false;
        }
    }
    return true;
}

// One embedded PulseMessage (length prefix included), merged into `p`.
bool readPulse(Cursor& outer, Pulse& p) {
    size_t n = 0;
    if (!outer.length(n)) return false;
    Cursor in{outer.p, outer.p + n};
    outer.p += n;
    return pulseFields(in, p);
}

// Eight bytes, little-endian whatever the host's order (one load where the host's is the same).
inline uint64_t load64(const uint8_t* q) {
    return static_cast<uint64_t>(q[0]) | static_cast<uint64_t>(q[1]) << 8 | static_cast<uint64_t>(q[2]) << 16 |
           static_cast<uint64_t>(q[3]) << 24 | static_cast<uint64_t>(q[4]) << 32 | static_cast<uint64_t>(q[5]) << 40 |
           static_cast<uint64_t>(q[6]) << 48 | static_cast<uint64_t>(q[7]) << 56;
}

// The low `Bits` (8, 16 or 32) bits of the varint whose first eight bytes are `w` (bytes past its
// end cleared): seven bits from each byte.
template <int Bits>
inline uint32_t lowBits(uint64_t w) {
    static_assert(Bits == 8 || Bits == 16 || Bits == 32, "a field of 8, 16 or 32 bits");
    uint64_t v = (w & 0x7F) | ((w >> 1) & 0x3F80);
    if constexpr (Bits > 14) v |= (w >> 2) & 0x1FC000;
    if constexpr (Bits > 21) v |= ((w >> 3) & 0xFE00000) | ((w >> 4) & 0x7F0000000ull);
    return static_cast<uint32_t>(v & ((uint64_t{1} << Bits) - 1));
}

// A value varint read without bound checks: ten bytes must be readable at `q`. Its low `Bits`
// bits (all a field of that width keeps) go to `v`; returns the byte after it, null when it runs
// over ten bytes.
template <int Bits>
inline const uint8_t* fastValue(const uint8_t* q, uint32_t& v) {
    if (q[0] < 0x80) {
        v = q[0];
        return q + 1;
    }
    uint64_t w = load64(q);
    uint64_t stops = ~w & 0x8080808080808080ull;
    if (stops != 0) {
        v = lowBits<Bits>(w & (stops ^ (stops - 1)));
        return q + (__builtin_ctzll(stops) >> 3) + 1;
    }
    // Negative numbers take ten bytes; their low 32 bits are all in the first eight.
    v = lowBits<Bits>(w);
    if (q[8] < 0x80) return q + 9;
    if (q[9] < 0x80) return q + 10;
    return nullptr;
}

// A long list is filled within milliseconds, one page after the other: asked for huge pages, the
// kernel takes a few faults to back it instead of thousands. Only a hint; where there are none,
// nothing changes.
void adviseHugePages(void* data, size_t bytes) {
    constexpr size_t kWorthIt = size_t{4} << 20;
    if (bytes < kWorthIt) return;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

}  // namespace

SequenceReader::SequenceReader(size_t total_size, size_t max_pulses) : max_pulses_(max_pulses) {
    req_.pulses.reserve(std::min(max_pulses, total_size / 2));
    adviseHugePages(req_.pulses.data(), req_.pulses.capacity() * sizeof(Pulse));
}

void SequenceReader::grow() {
    // Steps small enough to stay in the cache while they are filled: zeroed, then overwritten.
    // Within the reservation unless the message holds more entries than it could.
    constexpr size_t kStep = 4096;
    req_.pulses.resize(std::min(max_pulses_, req_.pulses.size() + kStep));
}

bool SequenceReader::usualPulses(const uint8_t*& at, const uint8_t* end) {
    const uint8_t* p = at;
    // The list and the count stay in registers while the entries are read.
    size_t count = req_.count;
    Pulse* list = req_.pulses.data();
    size_t places = std::min(req_.pulses.size(), max_pulses_);
    // The usual pulse entry: one-byte tag and length, its fields in declaration order, each at
    // most once (as serializers write them, zero fields left out), and ten bytes of room behind
    // it for the unchecked varint reads.
    while ((end - p >= kFastRoom || (end - p >= 2 && end - p >= 12 + p[1])) && p[0] == kPulseTag && p[1] < 0x80) {
        const uint8_t* q = p + 2;
        const uint8_t* e = q + p[1];
        uint32_t ticks = 0, digi = 0, ao0 = 0, ao1 = 0;
        if (q < e && *q == kTicksTag && !(q = fastValue<32>(q + 1, ticks))) return false;
        if (q < e && *q == kDigiTag && !(q = fastValue<8>(q + 1, digi))) return false;
        if (q < e && *q == kAo0Tag && !(q = fastValue<16>(q + 1, ao0))) return false;
        if (q < e && *q == kAo1Tag && !(q = fastValue<16>(q + 1, ao1))) return false;
        if (q != e) {
            // Anything else in the entry (repeated or unknown fields): the general loop. A value
            // running past the entry's end is malformed.
            Pulse x = toPulse(ticks, digi, static_cast<int32_t>(ao0), static_cast<int32_t>(ao1));
            Cursor in{q, e};
            if (q > e || !pulseFields(in, x)) return false;
            req_.count = count;
            addPulse(x);
            count = req_.count;
            list = req_.pulses.data();
            places = std::min(req_.pulses.size(), max_pulses_);
        } else {
            if (count == places && count < max_pulses_) {
                grow();
                list = req_.pulses.data();
                places = std::min(req_.pulses.size(), max_pulses_);
            }
            if (count < places) {
                Pulse& d = list[count];
                d.ticks = ticks;
                d.digi = toPulse(0, digi, 0, 0).digi;
                d.ao0 = toPulse(0, 0, static_cast<int32_t>(ao0), 0).ao0;
                d.ao1 = toPulse(0, 0, 0, static_cast<int32_t>(ao1)).ao1;
            }
            ++count;
        }
        p = e;
    }
    req_.count = count;
    at = p;
    return true;
}

size_t SequenceReader::fields(const uint8_t* begin, const uint8_t* end) {
    const uint8_t* p = begin;
    for (;;) {
        if (!usualPulses(p, end)) {
            // A pulse entry held whole that does not parse: malformed whatever follows.
            broken_ = true;
            return static_cast<size_t>(p - begin);
        }
        if (p == end) return static_cast<size_t>(p - begin);
        // One field of any other shape, near the end of the piece or not. A failure here may be
        // a field cut off at `end`: the caller decides when all bytes are in.
        Cursor in{p, end};
        uint32_t tag = 0;
        if (!in.tag(tag)) return static_cast<size_t>(p - begin);
        bool ok = true;
        switch (tag) {
            case kPulseTag: {
                Pulse x{0, 0, 0, 0};
                ok = readPulse(in, x);
                if (ok) addPulse(x);
                break;
            }
            case kRunsTag: {
                uint64_t v = 0;
                ok = in.value64(v);
                if (ok) req_.n_runs = static_cast<long long>(v);
                break;
            }
            case kFinalTag: {
                Pulse f = req_.final_state;
                ok = readPulse(in, f);
                if (ok) {
                    req_.has_final = true;
                    req_.final_state = f;
                }
                break;
            }
            default: ok = skipUnknown(in, tag, kRecursionLimit);
        }
        if (!ok) return static_cast<size_t>(p - begin);
        p = in.p;
    }
}

void SequenceReader::feed(const uint8_t* data, size_t size) {
    if (broken_) return;
    // First complete a field left cut at the end of the earlier pieces, adding bytes in growing
    // steps (a long field is not re-read more than about twice).
    while (!carry_.empty() && size > 0) {
        size_t held = carry_.size();
        size_t take = std::min(size, std::max<size_t>(256, held));
        carry_.insert(carry_.end(), data, data + take);
        size_t used = fields(carry_.data(), carry_.data() + carry_.size());
        if (broken_) return;
        if (used >= held) {
            // The cut field is complete: go on in the piece itself, after the fields just read.
            data += used - held;
            size -= used - held;
            carry_.clear();
            break;
        }
        carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(used));
        data += take;
        size -= take;
    }
    if (!carry_.empty() || broken_) return;
    size_t used = fields(data, data + size);
    carry_.assign(data + used, data + size);
}

bool SequenceReader::finish(SequenceRequest& out) {
    // Bytes left over never made a complete field: the message is truncated or malformed.
    if (broken_ || !carry_.empty()) return false;
    if (req_.count > max_pulses_)
        std::vector<Pulse>().swap(req_.pulses);
    else
        req_.pulses.resize(req_.count);
    out = std::move(req_);
    return true;
}

bool decodeSequence(const uint8_t* data, size_t size, size_t max_pulses, SequenceRequest& out) {
    SequenceReader reader(size, max_pulses);
    reader.feed(data, size);
    return reader.finish(out);
}

}  // namespace grpcwire
