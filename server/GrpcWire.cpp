#include "GrpcWire.h"

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

// Nesting of embedded messages and groups the generated parser accepts.
constexpr int kRecursionLimit = 100;

enum class Mode { Count, Check, Store };

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

// One embedded PulseMessage (length prefix included), merged into `p`.
bool readPulse(Cursor& outer, Pulse& p) {
    size_t n = 0;
    if (!outer.length(n)) return false;
    Cursor in{outer.p, outer.p + n};
    outer.p += n;
    uint32_t v = 0;
    // Fast path: the fields in declaration order, each at most once, as generated serializers
    // write them (zero fields left out). Whatever remains goes through the general loop below.
    if (!in.atEnd() && *in.p == kTicksTag) {
        ++in.p;
        if (!in.value32(v)) return false;
        p.ticks = v;
    }
    if (!in.atEnd() && *in.p == kDigiTag) {
        ++in.p;
        if (!in.value32(v)) return false;
        p.digi = toPulse(0, v, 0, 0).digi;
    }
    if (!in.atEnd() && *in.p == kAo0Tag) {
        ++in.p;
        if (!in.value32(v)) return false;
        p.ao0 = toPulse(0, 0, static_cast<int32_t>(v), 0).ao0;
    }
    if (!in.atEnd() && *in.p == kAo1Tag) {
        ++in.p;
        if (!in.value32(v)) return false;
        p.ao1 = toPulse(0, 0, 0, static_cast<int32_t>(v)).ao1;
    }
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

bool readTopLevel(const uint8_t* data, size_t size, Mode mode, SequenceRequest& out) {
    Cursor in{data, data + size};
    size_t count = 0;
    out.n_runs = 0;
    out.has_final = false;
    out.final_state = Pulse{0, 0, 0, 0};
    while (!in.atEnd()) {
        uint32_t tag = 0;
        if (!in.tag(tag)) return false;
        switch (tag) {
            case kPulseTag:
                if (mode == Mode::Count) {
                    size_t n = 0;
                    if (!in.length(n) || !in.skip(n)) return false;
                } else {
                    Pulse p{0, 0, 0, 0};
                    if (!readPulse(in, p)) return false;
                    if (mode == Mode::Store) {
                        if (count >= out.pulses.size()) return false;
                        out.pulses[count] = p;
                    }
                }
                ++count;
                break;
            case kRunsTag: {
                uint64_t v = 0;
                if (!in.value64(v)) return false;
                out.n_runs = static_cast<long long>(v);
                break;
            }
            case kFinalTag:
                out.has_final = true;
                if (!readPulse(in, out.final_state)) return false;
                break;
            default:
                if (!skipUnknown(in, tag, kRecursionLimit)) return false;
        }
    }
    out.count = count;
    return true;
}

}  // namespace

bool decodeSequence(const uint8_t* data, size_t size, size_t max_pulses, SequenceRequest& out) {
    out.pulses.clear();
    // First pass: count the pulses, so the list is allocated once with its final size.
    if (!readTopLevel(data, size, Mode::Count, out)) return false;
    if (out.count > max_pulses) return readTopLevel(data, size, Mode::Check, out);
    out.pulses.resize(out.count);
    size_t counted = out.count;
    return readTopLevel(data, size, Mode::Store, out) && out.count == counted;
}

}  // namespace grpcwire
