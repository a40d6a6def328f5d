#include "GrpcWire.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/wire_format_lite.h>

namespace grpcwire {

namespace {

using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedInputStream;

constexpr uint32_t tagOf(uint32_t field, WireFormatLite::WireType type) { return (field << 3) | type; }

// SequenceMessage fields.
constexpr uint32_t kPulseTag = tagOf(1, WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
constexpr uint32_t kRunsTag = tagOf(2, WireFormatLite::WIRETYPE_VARINT);
constexpr uint32_t kFinalTag = tagOf(3, WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
// PulseMessage fields.
constexpr uint32_t kTicksTag = tagOf(1, WireFormatLite::WIRETYPE_VARINT);
constexpr uint32_t kDigiTag = tagOf(2, WireFormatLite::WIRETYPE_VARINT);
constexpr uint32_t kAo0Tag = tagOf(3, WireFormatLite::WIRETYPE_VARINT);
constexpr uint32_t kAo1Tag = tagOf(4, WireFormatLite::WIRETYPE_VARINT);

enum class Mode { Count, Check, Store };

// A field this reader does not use: skipped as the generated parser skips unknown fields.
bool skipUnknown(CodedInputStream& in, uint32_t tag) {
    if ((tag >> 3) == 0) return false;
    return WireFormatLite::SkipField(&in, tag);
}

// One embedded PulseMessage (length prefix included), merged into `p`.
bool readPulse(CodedInputStream& in, Pulse& p) {
    int length = 0;
    if (!in.ReadVarintSizeAsInt(&length)) return false;
    auto limit = in.IncrementRecursionDepthAndPushLimit(length);
    if (limit.second < 0) return false;
    for (;;) {
        uint32_t tag = in.ReadTag();
        uint32_t v = 0;
        switch (tag) {
            case 0:
                return in.DecrementRecursionDepthAndPopLimit(limit.first);
            case kTicksTag:
                if (!in.ReadVarint32(&v)) return false;
                p.ticks = v;
                break;
            case kDigiTag:
                if (!in.ReadVarint32(&v)) return false;
                p.digi = toPulse(0, v, 0, 0).digi;
                break;
            case kAo0Tag:
                if (!in.ReadVarint32(&v)) return false;
                p.ao0 = toPulse(0, 0, static_cast<int32_t>(v), 0).ao0;
                break;
            case kAo1Tag:
                if (!in.ReadVarint32(&v)) return false;
                p.ao1 = toPulse(0, 0, 0, static_cast<int32_t>(v)).ao1;
                break;
            default:
                if (!skipUnknown(in, tag)) return false;
        }
    }
}

// Skips one embedded message without looking inside (the counting pass).
bool skipPulse(CodedInputStream& in) {
    int length = 0;
    return in.ReadVarintSizeAsInt(&length) && in.Skip(length);
}

bool readTopLevel(google::protobuf::io::ZeroCopyInputStream* stream, Mode mode, SequenceRequest& out) {
    CodedInputStream in(stream);
    size_t count = 0;
    out.n_runs = 0;
    out.has_final = false;
    out.final_state = Pulse{0, 0, 0, 0};
    for (;;) {
        uint32_t tag = in.ReadTag();
        switch (tag) {
            case 0:
                out.count = count;
                return in.ConsumedEntireMessage();
            case kPulseTag:
                if (mode == Mode::Count) {
                    if (!skipPulse(in)) return false;
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
                if (!in.ReadVarint64(&v)) return false;
                out.n_runs = static_cast<long long>(v);
                break;
            }
            case kFinalTag:
                out.has_final = true;
                if (!readPulse(in, out.final_state)) return false;
                break;
            default:
                if (!skipUnknown(in, tag)) return false;
        }
    }
}

}  // namespace

bool decodeSequence(const StreamSource& source, size_t max_pulses, SequenceRequest& out) {
    out.pulses.clear();
    if (!readTopLevel(source().get(), Mode::Count, out)) return false;
    if (out.count > max_pulses) return readTopLevel(source().get(), Mode::Check, out);
    out.pulses.resize(out.count);
    size_t counted = out.count;
    if (!readTopLevel(source().get(), Mode::Store, out)) return false;
    return out.count == counted;
}

}  // namespace grpcwire
