// The `stream` request reader against the generated parser: for well-formed, hand-crafted and
// randomly damaged messages both must accept and refuse the same bytes and yield the same pulses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "interfaces/grpc/GrpcWire.h"
#include "tarvex.pb.h"

namespace {

// The reference conversion, written out here rather than taken from the server.
Pulse expectedPulse(const tarvex::PulseMessage& m) {
    Pulse p;
    p.ticks = m.ticks();
    p.digi = static_cast<uint8_t>(m.digi() & 0xFF);
    p.ao0 = static_cast<int16_t>(static_cast<uint32_t>(m.ao0()) & 0xFFFF);
    p.ao1 = static_cast<int16_t>(static_cast<uint32_t>(m.ao1()) & 0xFFFF);
    return p;
}

// An exact-size copy, so a read past the end is caught by the sanitizer build.
bool decode(const std::string& bytes, size_t max_pulses, grpcwire::SequenceRequest& out) {
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    return grpcwire::decodeSequence(exact.data(), exact.size(), max_pulses, out);
}

// The same bytes handed over in pieces, as a request's received slices are: each piece a copy of
// its own and of exact size. The cuts follow `seed`: mostly short pieces, so fields are cut at
// every position, some empty or single bytes, some long enough for whole runs of pulses.
bool decodeInPieces(const std::string& bytes, size_t max_pulses, uint64_t seed, grpcwire::SequenceRequest& out) {
    std::mt19937_64 rng(seed);
    grpcwire::SequenceReader reader(bytes.size(), max_pulses);
    for (size_t at = 0; at < bytes.size();) {
        size_t n = 0;
        switch (rng() % 4) {
            case 0: n = rng() % 2; break;
            case 1: n = 1 + rng() % 300; break;
            default: n = 1 + rng() % 20;
        }
        n = std::min(n, bytes.size() - at);
        std::vector<uint8_t> piece(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        reader.feed(piece.data(), piece.size());
        at += n;
    }
    return reader.finish(out);
}

// Decodes `bytes` with both parsers (ours whole and in pieces) and compares everything a handler
// uses.
void expectSameAsGenerated(const std::string& bytes, size_t max_pulses = 1000000) {
    tarvex::SequenceMessage ref;
    bool ref_ok = ref.ParseFromString(bytes);
    for (int pieces = 0; pieces < 2; ++pieces) {
        SCOPED_TRACE(pieces ? "in pieces" : "whole");
        grpcwire::SequenceRequest got;
        bool ok = pieces ? decodeInPieces(bytes, max_pulses, bytes.size() * 7919 + max_pulses, got)
                         : decode(bytes, max_pulses, got);
        ASSERT_EQ(ok, ref_ok) << "acceptance differs for " << bytes.size() << " bytes";
        if (!ok) continue;
        ASSERT_EQ(got.count, static_cast<size_t>(ref.pulse_size()));
        EXPECT_EQ(got.n_runs, ref.n_runs());
        EXPECT_EQ(got.has_final, ref.has_final());
        Pulse final_ref = ref.has_final() ? expectedPulse(ref.final()) : Pulse{0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(&got.final_state, &final_ref, sizeof(Pulse)));
        if (got.count > max_pulses) {
            EXPECT_TRUE(got.pulses.empty());
            continue;
        }
        ASSERT_EQ(got.pulses.size(), got.count);
        for (int i = 0; i < ref.pulse_size(); ++i) {
            Pulse want = expectedPulse(ref.pulse(i));
            ASSERT_EQ(0, memcmp(&got.pulses[i], &want, sizeof(Pulse))) << "pulse " << i;
        }
    }
}

std::string varint(uint64_t v) {
    std::string s;
    while (v >= 0x80) {
        s.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    s.push_back(static_cast<char>(v));
    return s;
}
std::string tag(uint32_t field, uint32_t type) { return varint((field << 3) | type); }
std::string lenField(uint32_t field, const std::string& body) { return tag(field, 2) + varint(body.size()) + body; }

uint32_t pick32(std::mt19937_64& rng) {
    static const uint32_t edges[] = {0,      1,      0x7F,  0x80,       0xFF,        0x1FF,      0x7FFF,
                                     0x8000, 0xFFFF, 40000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    return rng() % 3 == 0 ? edges[rng() % (sizeof(edges) / sizeof(edges[0]))] : static_cast<uint32_t>(rng());
}

tarvex::SequenceMessage randomSequence(std::mt19937_64& rng) {
    tarvex::SequenceMessage m;
    int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
        auto* p = m.add_pulse();
        if (rng() % 4) p->set_ticks(pick32(rng));
        if (rng() % 4) p->set_digi(pick32(rng));
        if (rng() % 4) p->set_ao0(static_cast<int32_t>(pick32(rng)));
        if (rng() % 4) p->set_ao1(static_cast<int32_t>(pick32(rng)));
    }
    if (rng() % 2) m.set_n_runs(static_cast<int64_t>(rng()) >> (rng() % 64));
    if (rng() % 2) {
        m.mutable_final()->set_digi(pick32(rng));
        m.mutable_final()->set_ao1(static_cast<int32_t>(pick32(rng)));
    }
    return m;
}

// A random field the reader does not use (any wire type, groups included).
std::string unknownField(std::mt19937_64& rng, uint32_t field) {
    switch (rng() % 5) {
        case 0: return tag(field, 0) + varint(rng());
        case 1: return tag(field, 1) + std::string(8, 'x');
        case 2: return lenField(field, std::string(rng() % 5, 'y'));
        case 3: return tag(field, 5) + std::string(4, 'z');
        default: return tag(field, 3) + tag(field + 1, 0) + varint(7) + tag(field, 4);
    }
}

TEST(GrpcWire, HandCraftedEncodings) {
    std::string pulse = tag(1, 0) + varint(5) + tag(2, 0) + varint(0x1FF) + tag(3, 0) + varint(40000);
    // A negative int32 as the ten-byte varint, and an oversized ticks value truncated to 32 bits.
    std::string negative = tag(3, 0) + varint(static_cast<uint64_t>(int64_t{-1})) + tag(1, 0) + varint(0x1234567890ull);
    std::string cases[] = {
        "",                                                                              // no pulses at all
        lenField(1, pulse) + lenField(1, negative),                                      // plain pulses
        lenField(1, pulse + tag(1, 0) + varint(9)),                                      // repeated scalar: last wins
        lenField(3, tag(2, 0) + varint(3)) + lenField(3, tag(3, 0) + varint(7)),         // final merges
        lenField(3, ""),                                                                 // final present but empty
        tag(2, 0) + varint(static_cast<uint64_t>(int64_t{-1})),                          // n_runs -1
        tag(1, 0) + varint(5) + lenField(1, pulse),                                      // field 1 as a varint: unknown
        tag(2, 2) + varint(1) + "a" + tag(3, 0) + varint(1),                             // wrong wire types skipped
        lenField(1, tag(1, 2) + varint(2) + "ab"),                                       // ticks as bytes: unknown
        tag(9, 3) + tag(10, 0) + varint(1) + tag(9, 4) + lenField(1, pulse),             // unknown group
        tag(0, 0) + varint(1),                                                           // field number 0: refused
        tag(1, 4),                                                                       // stray end-group: refused
        lenField(1, tag(5, 4)),                                                          // stray end-group in a pulse
        tag(1, 2) + varint(10) + pulse.substr(0, 3),                                     // truncated pulse
        tag(1, 0) + std::string(11, '\xFF'),                                             // varint longer than 10 bytes
        tag(1, 2) + varint(0x80000000u),                                                 // length beyond int range
        lenField(1, pulse) + "\x0A",                                                     // truncated tag/length
        tag(3, 3) + tag(3, 4),                                                           // final as a group: skipped
        std::string("\x88\x80\x80\x80\x80\x00", 6) + varint(1),                          // tag padded to six bytes
        std::string("\x0A\x80\x80\x80\x80\x80\x00", 7),                                  // length padded to six bytes
        tag(7, 3) + std::string("\xC8\x80\x80\x80\x80\x00", 6) + varint(1) + tag(7, 4),  // long tag in a group
        tag(7, 3) + tag(8, 4),  // group closed by another field
        tag(7, 6) + varint(1),  // wire type 6
    };
    for (const auto& bytes : cases) expectSameAsGenerated(bytes);
}

// Random messages, a quarter of them left whole, with unknown fields between the known ones.
TEST(GrpcWire, DamagedAndPaddedMessagesAreAcceptedOrRefusedLikeTheGeneratedParser) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 5000; ++i) {
        std::string bytes = randomSequence(rng).SerializeAsString();
        // Unknown fields between the known ones, at top level.
        for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
            size_t at = bytes.empty() ? 0 : rng() % bytes.size();
            bytes.insert(at, unknownField(rng, 4 + rng() % 40));
        }
        switch (rng() % 4) {
            case 0:
                if (!bytes.empty()) bytes[rng() % bytes.size()] ^= static_cast<char>(1u << (rng() % 8));
                break;
            case 1:
                if (!bytes.empty()) bytes.resize(rng() % bytes.size());
                break;
            case 2: bytes.insert(rng() % (bytes.size() + 1), 1, static_cast<char>(rng())); break;
            default: break;
        }
        expectSameAsGenerated(bytes);
        if (HasFatalFailure()) return;
    }
}

TEST(GrpcWire, LongMessagesWithFieldsLongerThanAPiece) {
    std::mt19937_64 rng(13);
    tarvex::SequenceMessage m;
    for (int i = 0; i < 3000; ++i) {
        auto* p = m.add_pulse();
        p->set_ticks(pick32(rng));
        if (rng() % 8) p->set_digi(pick32(rng));
        p->set_ao0(static_cast<int32_t>(pick32(rng)));
        if (rng() % 2) p->set_ao1(static_cast<int32_t>(pick32(rng)));
    }
    m.set_n_runs(3);
    const std::string plain = m.SerializeAsString();
    std::string nested;
    for (uint32_t f = 41; f < 91; ++f) nested += tag(f, 3) + tag(f + 100, 0) + varint(f);
    for (uint32_t f = 90; f >= 41; --f) nested += tag(f, 4);
    std::string bytes = plain;
    bytes.insert(bytes.size() / 3, lenField(40, std::string(100000, 'u')));  // far longer than any piece
    bytes.insert(bytes.size() / 2, nested);                                  // fifty groups deep
    bytes += lenField(1, tag(9, 2) + varint(5000) + std::string(5000, 'p') + tag(1, 0) + varint(77));
    bytes += lenField(3, tag(2, 0) + varint(0xAB));
    expectSameAsGenerated(bytes);
    expectSameAsGenerated(bytes, 2999);  // too long to keep: still read to the end

    // Damage deep inside is found whether the bytes come whole or in pieces: a value running past
    // the end of its pulse entry, a truncated tail, an unclosed group.
    tarvex::SequenceMessage first, second;
    for (int i = 0; i < m.pulse_size(); ++i) *(i < 1500 ? first : second).add_pulse() = m.pulse(i);
    expectSameAsGenerated(first.SerializeAsString() + lenField(1, tag(1, 0) + "\xFF") + second.SerializeAsString());
    expectSameAsGenerated(plain.substr(0, plain.size() - 1));
    expectSameAsGenerated(plain + tag(50, 3) + std::string(300, '\x08'));
}

TEST(GrpcWire, OverLongListsAreCountedAndCheckedButNotStored) {
    tarvex::SequenceMessage m;
    for (int i = 0; i < 5; ++i) m.add_pulse()->set_ticks(10);
    const std::string bytes = m.SerializeAsString();
    expectSameAsGenerated(bytes, 5);                           // at the limit: stored
    expectSameAsGenerated(bytes, 4);                           // one over: counted only
    expectSameAsGenerated(bytes + lenField(1, tag(1, 4)), 4);  // damage in the last pulse still found
}

}  // namespace
