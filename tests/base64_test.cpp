// Base64 decoding of the "stream" payload: the alphabet, where decoding stops, partial groups,
// and the fast paths against a plain reference over many lengths and stop positions.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/Base64Dec.h"
#include "support/base64_encode.h"

TEST(Base64, KnownTexts) {
    EXPECT_EQ(base64_decode(std::string("TWFu")), "Man");
    EXPECT_EQ(base64_decode(std::string("TWE=")), "Ma");
    EXPECT_EQ(base64_decode(std::string("TWE")), "Ma");    // padding is optional
    EXPECT_EQ(base64_decode(std::string("TQ==")), "M");
    EXPECT_EQ(base64_decode(std::string("TQ")), "M");
    EXPECT_EQ(base64_decode(std::string("T")), "");        // a single leftover character gives nothing
    EXPECT_EQ(base64_decode(std::string("")), "");
    EXPECT_EQ(base64_decode(std::string("AAAACv9//4AA")), std::string("\x00\x00\x00\x0A\xFF\x7F\xFF\x80\x00", 9));
    EXPECT_EQ(base64_decode(std::string("+/+/")), "\xFB\xFF\xBF");
}

TEST(Base64, StopsAtTheFirstCharacterOutsideTheAlphabet) {
    EXPECT_EQ(base64_decode(std::string("TWFu=TWFu")), "Man");
    EXPECT_EQ(base64_decode(std::string("TWFu\nTWFu")), "Man");
    EXPECT_EQ(base64_decode(std::string("TWFu TWFu")), "Man");
    EXPECT_EQ(base64_decode(std::string("TW-u")), "M");   // URL-safe characters are not in the alphabet
    EXPECT_EQ(base64_decode(std::string("TWF_")), "Ma");
    EXPECT_EQ(base64_decode(std::string("\xC3" "TWFu")), "");
    EXPECT_EQ(base64_decode(std::string("TWFu\0TWFu", 9)), "Man");
    EXPECT_EQ(base64_valid_length("TWFuTWFuTWFu=xyz", 16), 12u);
    EXPECT_EQ(base64_valid_length("TWFu", 4), 4u);
    EXPECT_EQ(base64_decoded_size(0), 0u);
    EXPECT_EQ(base64_decoded_size(1), 0u);
    EXPECT_EQ(base64_decoded_size(2), 1u);
    EXPECT_EQ(base64_decoded_size(3), 2u);
    EXPECT_EQ(base64_decoded_size(24000000), 18000000u);
}

// Every length up to 200 bytes and every stop position in a long text: the result equals the
// bytes of the whole groups before the stop plus the partial group, and nothing is written past
// the decoded size.
TEST(Base64, MatchesTheReferenceAtEveryLengthAndStop) {
    std::mt19937 rng(7);
    for (size_t n = 0; n <= 200; ++n) {
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        std::string text = testsupport::base64_encode(bytes);
        EXPECT_EQ(base64_decode(text), bytes) << n;
        std::string unpadded = text.substr(0, text.find('='));
        EXPECT_EQ(base64_decode(unpadded), bytes) << n;
    }
    std::string bytes(96, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    std::string text = testsupport::base64_encode(bytes);
    for (size_t stop = 0; stop < text.size(); ++stop) {
        std::string cut = text;
        cut[stop] = '-';
        size_t expect = stop / 4 * 3 + (stop % 4 == 2 ? 1 : stop % 4 == 3 ? 2 : 0);
        std::string out(base64_decoded_size(cut.size()) + 16, '\x5A');
        size_t got = base64_decode(cut.data(), cut.size(), reinterpret_cast<unsigned char*>(&out[0]));
        ASSERT_EQ(got, expect) << stop;
        EXPECT_EQ(out.substr(0, got), bytes.substr(0, got)) << stop;
        EXPECT_EQ(out.substr(base64_decoded_size(cut.size())), std::string(16, '\x5A')) << "wrote past the end";
        EXPECT_EQ(base64_valid_length(cut.data(), cut.size()), stop);
    }
}
