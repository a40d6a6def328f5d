// The shared models and utilities: the JSON model (JsonReader grammar, strings and escapes,
// numbers, nesting limit; jsVar getters, conversions and modifiers; JsonWriter), Base64 decoding
// of the "stream" payload, and whole-line standard output.
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <iostream>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Base64Dec.h"
#include "common/LineOutput.h"
#include "common/json.h"
#include "support/base64_encode.h"
#include "support/stdout_capture.h"

using namespace testsupport;

namespace {

using Tree = std::unique_ptr<jsVar>;

Tree parse(const std::string& text) {
    Tree v(jsVar::parse(text));
    EXPECT_NE(v, nullptr) << text;
    return v;
}

// A literal with its embedded NUL bytes.
template <size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string written(const jsVar* v) {
    std::ostringstream os;
    JsonWriter::write(os, v);
    return os.str();
}

struct Converted {
    double d;
    long l;
    int i;
    unsigned int u;
    short s;
    unsigned char c;
    long long ll;
};

Converted convert(double value) {
    jsVar v(value);
    Converted r{};
    EXPECT_TRUE(v.getNumber(r.d) && v.getNumber(r.l) && v.getNumber(r.i) && v.getNumber(r.u) && v.getNumber(r.s) &&
                v.getNumber(r.c) && v.getNumber(r.ll));
    return r;
}

TEST(JsonGetters, NumberConversions) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        double in;
        long l;
        unsigned int u;
        short s;
        unsigned char c;
        long long ll;
    } rows[] = {
        {256.0, 256, 256, 256, 0, 256},
        {3e10, 2147483647, 4294967295u, -1, 255, 30000000000LL},
        {300.0, 300, 300, 300, 44, 300},
        {-5.0, -5, 0, -5, 0, -5},
        {40000.0, 40000, 40000, -25536, 64, 40000},
        {-3.7, -3, 0, -3, 0, -3},
        {3.7, 3, 3, 3, 3, 3},
        {-3e10, -2147483647 - 1, 0, 0, 0, -30000000000LL},
        {2147483647.9, 2147483647, 2147483647u, -1, 255, 2147483647},
        {4294967296.0, 2147483647, 4294967295u, -1, 255, 4294967296LL},
        {-0.5, 0, 0, 0, 0, 0},
        {nan, 0, 0, 0, 0, 0},
        {inf, 2147483647, 4294967295u, -1, 255, std::numeric_limits<long long>::max()},
        {-inf, -2147483647 - 1, 0, 0, 0, std::numeric_limits<long long>::min()},
        {1e19, 2147483647, 4294967295u, -1, 255, std::numeric_limits<long long>::max()},
        {-9223372036854775808.0, -2147483647 - 1, 0, 0, 0, std::numeric_limits<long long>::min()},
    };
    for (const Row& row : rows) {
        const Converted r = convert(row.in);
        SCOPED_TRACE(row.in);
        EXPECT_EQ(r.l, row.l);
        EXPECT_EQ(r.i, static_cast<int>(row.l));
        EXPECT_EQ(r.u, row.u);
        EXPECT_EQ(r.s, row.s);
        EXPECT_EQ(r.c, row.c);
        EXPECT_EQ(r.ll, row.ll);
    }
    EXPECT_TRUE(std::isnan(convert(nan).d));
    EXPECT_EQ(convert(0.1).d, 0.1);
}

TEST(JsonWriter, ValuesObjectsAndNumbers) {
    EXPECT_EQ(written(parse("{\"b\":2,\"a\":1}").get()), "{\"a\": 1,\"b\": 2}");
    EXPECT_EQ(written(parse("{ \"x\" : [ 1 , [ ] , { } , true , false , null , \"s\" ] }").get()),
              "{\"x\": [1,[],{},true,false,null,\"s\"]}");
    EXPECT_EQ(written(nullptr), "null");
    jsVar null_value;
    EXPECT_EQ(written(&null_value), "null");

    struct Case {
        double in;
        const char* out;
    } numbers[] = {
        {65535, "65535"},
        {0.5, "0.5"},
        {1234567, "1.23457e+06"},
        {123456, "123456"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {-0.0, "-0"},
        {-2.5e-300, "-2.5e-300"},
        {1e100, "1e+100"},
        {100, "100"},
        {1.0 / 3, "0.333333"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
    };
    for (const Case& c : numbers) {
        jsVar v(c.in);
        EXPECT_EQ(written(&v), c.out) << c.in;
    }
    // The stream's own settings do not change the number format.
    std::ostringstream os;
    os.precision(2);
    os.setf(std::ios::fixed);
    jsVar v(1234567.0);
    JsonWriter::write(os, &v);
    EXPECT_EQ(os.str(), "1.23457e+06");
}

// Every string written is valid UTF-8 JSON; valid UTF-8 needing no escape is kept byte for byte.
TEST(JsonWriter, StringsAreValidUtf8Json) {
    std::ostringstream os;
    JsonWriter::write_string(os, bytes("a\tb\nc\"d\\e\r\b\f\x01/'\xC3\xA9\0z\x7f\xF0\x9F\x98\x80"));
    EXPECT_EQ(os.str(), bytes("\"a\\tb\\nc\\\"d\\\\e\\r\\b\\f\\u0001/'\xC3\xA9\\u0000z\x7f\xF0\x9F\x98\x80\""));
    const std::string R = "\xEF\xBF\xBD";  // U+FFFD, written as itself: writing it again gives the same
    const std::pair<std::string, std::string> invalid[] = {{"\xff", R},
                                                           {"\xC0\xAF", R + R},
                                                           {"\xED\xA0\x80", R + R + R},
                                                           {"\xF4\x90\x80\x80", R + R + R + R},
                                                           {"a\xE2\x82", "a" + R + R},
                                                           {"\xC3(", R + "("}};
    for (const auto& [in, out] : invalid) {
        std::ostringstream one, again;
        JsonWriter::write_string(one, in);
        JsonWriter::write_string(again, out);
        EXPECT_EQ(one.str(), "\"" + out + "\"") << in;
        EXPECT_EQ(again.str(), one.str()) << in;
    }

    jsVar s("a\"b");
    EXPECT_EQ(s.asString(), "a\"b");
    EXPECT_EQ(written(&s), "\"a\\\"b\"");
    EXPECT_EQ(written(&s).size(), 6u);
    EXPECT_EQ(parse("{\"k\":[1,\"q\"]}")->asString(), "{\"k\": [1,\"q\"]}");
    EXPECT_EQ(jsVar(2.0).asString(), "2");
    EXPECT_EQ(jsVar(false).asString(), "false");
    EXPECT_EQ(jsVar().asString(), "null");
    EXPECT_EQ(jsVar(static_cast<const char*>(nullptr)).asString(), "");

    // What the writer writes, the reader reads back to the same text.
    Tree v = parse("{\"k\":\"tab\\t lf\\n quote\\\" bs\\\\ cr\\r\",\"n\":[1.5e-7,-3]}");
    Tree again(jsVar::parse(written(v.get())));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(written(again.get()), written(v.get()));
}

Tree read(const std::string& text, JsonReader::MODE mode = JsonReader::STRICT) {
    std::istringstream is(text);
    return Tree(JsonReader(is, mode).parse());
}

Tree lenient(const std::string& text) { return read(text, JsonReader::LENIENT); }

std::string json(const Tree& v) { return v ? written(v.get()) : "<none>"; }

// The string member "k" of a strict parse of {"k":<literal>}, or "<none>".
std::string string_member(const std::string& literal) {
    Tree v = read("{\"k\":" + literal + "}");
    std::string s = "<none>";
    if (v) v->getStr("k", s);
    return s;
}

TEST(JsonReaderTopLevel, StrictWantsAnObjectLenientTakesAnyValue) {
    const char* const rows[][3] = {
        // text, read strictly, read leniently
        {"  {}", "{}", "{}"},       {"\t\r\n\v\f{}", "{}", "{}"}, {"[]", "<none>", "[]"},
        {"5", "<none>", "5"},       {"\"x\"", "<none>", "\"x\""}, {" 'x'", "<none>", "\"x\""},
        {"null", "<none>", "null"}, {"", "<none>", "<none>"},     {"   ", "<none>", "<none>"}};
    for (const auto& r : rows) {
        EXPECT_EQ(json(read(r[0])), r[1]) << r[0];
        EXPECT_EQ(json(lenient(r[0])), r[2]) << r[0];
    }

    Tree parsed(jsVar::parse("{\"a\":1}"));
    EXPECT_EQ(json(parsed), "{\"a\": 1}");
    EXPECT_EQ(jsVar::parse("[1]"), nullptr);
}

TEST(JsonReaderContainers, NestingBeyondTheLimitIsASyntaxError) {
    const int limit = JsonReader::max_depth;
    auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_NE(lenient(arrays(limit)), nullptr);
    std::istringstream deep(arrays(limit + 1));
    JsonReader reader(deep, JsonReader::LENIENT);
    EXPECT_EQ(reader.parse(), nullptr);
    EXPECT_GT(reader.error_count(), 0u);

    std::string objects;
    for (int i = 0; i < limit; ++i) objects += "{\"a\":";
    objects += "1" + std::string(limit, '}');
    EXPECT_NE(read(objects), nullptr);
    EXPECT_EQ(read("{\"a\":" + objects + "}"), nullptr);
    // Bodies of many thousand brackets, neither overflowing the stack nor leaking: JsonCorpus.
}

TEST(JsonReaderStrings, EscapesAndUtf8) {
    EXPECT_EQ(string_member(R"("\"\'\/\\\b\f\n\r\t")"), "\"'/\\\b\f\n\r\t");
    EXPECT_EQ(string_member(R"("\u00e9")"), "\xC3\xA9");
    EXPECT_EQ(string_member(R"("\u00E9")"), "\xC3\xA9");
    EXPECT_EQ(string_member(R"("\u20ac")"), "\xE2\x82\xAC");
    EXPECT_EQ(string_member(R"("\ud83d\ude00")"), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(string_member(R"("\u0041\u007f\u0080\u07FF\u0800\uFFFF")"),
              "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(string_member(R"("a\u0000b")"), std::string("a\0b", 3));

    std::string out;
    JsonReader::append_utf8(out, 0x10000);
    JsonReader::append_utf8(out, 0xFFFFFFFF);
    EXPECT_EQ(out, "");
    JsonReader::append_utf8(out, 0x7FF);
    EXPECT_EQ(out, "\xDF\xBF");
}

TEST(JsonReaderStrings, RecoveredErrorsAreReportedAndDropOnlyTheBadPart) {
    auto errors_and_text = [](const std::string& text) {
        std::istringstream is(text);
        JsonReader reader(is, JsonReader::STRICT);
        Tree v(reader.parse());
        std::string s = "<none>";
        if (v) v->getStr("k", s);
        return std::make_pair(reader.error_count(), s);
    };
    // A raw line feed is dropped, the rest is kept.
    EXPECT_EQ(errors_and_text("{\"k\":\"ab\ncd\"}"), std::make_pair(1u, std::string("abcd")));
    // Unknown escapes (a line feed included) drop the backslash and the character.
    EXPECT_EQ(errors_and_text("{\"k\":\"a\\qb\"}"), std::make_pair(1u, std::string("ab")));
    EXPECT_EQ(errors_and_text("{\"k\":\"a\\\nb\\Uc\"}"), std::make_pair(2u, std::string("abc")));
    // A bad hex position contributes nothing; the other positions keep their weight.
    EXPECT_EQ(errors_and_text("{\"k\":\"\\u0z41\"}"), std::make_pair(1u, std::string("A")));
    EXPECT_EQ(errors_and_text("{\"k\":\"\\u1z23x\"}"), std::make_pair(1u, std::string("\xE1\x80\xA3x")));
    // Control characters and bytes above 127 pass as they are.
    EXPECT_EQ(errors_and_text("{\"k\":\"\x01\t\x7F\xFF\r\"}"), std::make_pair(0u, std::string("\x01\t\x7F\xFF\r")));
}

TEST(JsonReaderNumbers, ValuesAndFailures) {
    struct Case {
        const char* text;
        const char* written;
    } cases[] = {
        {"0", "0"},
        {"-0", "-0"},
        {"+1", "1"},
        {"007", "7"},
        {"-012", "-12"},
        {"1.", "1"},
        {"-.5", "-0.5"},
        {"0.e1", "0"},
        {"2.e+3", "2000"},
        {"1.5E-3", "0.0015"},
        {"65535", "65535"},
        {"1e-400", "0"},
        {"123456789", "1.23457e+08"},
        {"1e400", "null"},
        {"-1e400", "null"},
    };
    for (const Case& c : cases) {
        Tree v = read(std::string("{\"n\":") + c.text + "}");
        double d = -1;
        ASSERT_TRUE(v && v->getNumber("n", d)) << c.text;
        EXPECT_EQ(v->getValue("n")->asString(), c.written) << c.text;
    }
    double negative_zero = 1;
    ASSERT_TRUE(lenient("-0")->getNumber(negative_zero));
    EXPECT_TRUE(std::signbit(negative_zero));
    for (const char* text : {"-", "+", "1e", "1e+", "-e1", ".5", "0x10", "1.2.3", "--1", "+-1", "1ee2", "2e3.5"}) {
        EXPECT_EQ(read(std::string("{\"n\":") + text + "}"), nullptr) << text;
    }
}

// Known texts: padding optional, a single leftover character gives nothing, decoding stops at the
// first character outside the alphabet (padding, white space, URL-safe characters, NUL, non-ASCII).
TEST(Base64, KnownTextsAndStops) {
    const std::pair<std::string, std::string> rows[] = {
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TWE", "Ma"},
        {"TQ==", "M"},
        {"T", ""},
        {"", ""},
        {"AAAACv9//4AA", std::string("\x00\x00\x00\x0A\xFF\x7F\xFF\x80\x00", 9)},
        {"+/+/", "\xFB\xFF\xBF"},
        {"TWFu=TWFu", "Man"},
        {"TWFu\nTWFu", "Man"},
        {"TW-u", "M"},
        {"TWF_", "Ma"},
        {"\xC3"
         "TWFu",
         ""},
        {std::string("TWFu\0TWFu", 9), "Man"}};
    for (const auto& [in, out] : rows) EXPECT_EQ(base64_decode(in), out) << in;
    EXPECT_EQ(base64_valid_length("TWFuTWFuTWFu=xyz", 16), 12u);
    for (const auto& [chars, bytes] : {std::make_pair(0, 0), {1, 0}, {2, 1}, {3, 2}, {24000000, 18000000}})
        EXPECT_EQ(base64_decoded_size(size_t(chars)), size_t(bytes));
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

TEST(LineOutput, LinesOfManyThreadsArriveWholeAndInOrder) {
    lineoutput::install();
    constexpr int kThreads = 6, kLines = 3000;
    StdoutCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                // Several insertions per line; half the threads end lines without a flush.
                std::cout << "thread " << t << " line " << i << " of " << kLines;
                if (t % 2)
                    std::cout << '\n';
                else
                    std::cout << std::endl;
            }
        });
    for (auto& th : threads) th.join();
    std::string out = capture.take();

    std::vector<int> next(kThreads, 0);
    std::istringstream in(out);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        int t = -1, i = -1, n = -1;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d of %d%c", &t, &i, &n, &tail), 3)
            << "torn line: " << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(n, kLines) << line;
        EXPECT_EQ(i, next[t]) << "out of order: " << line;
        next[t] = i + 1;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    EXPECT_EQ(out.back(), '\n');
}

// Each capture holds what was handed on while it lived.
TEST(LineOutput, PartialLinesWaitForTheirEndOrAFlush) {
    lineoutput::install();
    auto written = [](auto write) {
        StdoutCapture capture;
        write();
        return capture.take();
    };
    EXPECT_EQ(written([] { std::cout << "Setting square wave..." << 0 << "..."; }), "");
    EXPECT_EQ(written([] { std::cout << "Done\nnext "; }), "Setting square wave...0...Done\n");
    EXPECT_EQ(written([] { std::cout << "part" << std::flush; }), "next part");

    // Text longer than a thread collects is handed on in order, nothing lost.
    std::string big(3 * lineoutput::LINE_CAPACITY + 17, 'x');
    for (size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(written([&] { std::cout << big << '\n'; }), big + "\n");
    lineoutput::install();  // a second install changes nothing
    EXPECT_EQ(written([] { std::cout << "tail" << std::endl; }), "tail\n");
}

}  // namespace
