// JsonReader: grammar, strings and escapes, numbers, nesting limit, bookkeeping.
#include "common/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>

namespace {

using Tree = std::unique_ptr<jsVar>;

Tree read(const std::string& text, JsonReader::MODE mode = JsonReader::STRICT)
{
    std::istringstream is(text);
    return Tree(JsonReader(is, mode).parse());
}

Tree lenient(const std::string& text) { return read(text, JsonReader::LENIENT); }

std::string json(const Tree& v)
{
    if (!v) return "<none>";
    std::ostringstream os;
    JsonWriter::write(os, v.get());
    return os.str();
}

// The string member "k" of a strict parse of {"k":<literal>}, or "<none>".
std::string string_member(const std::string& literal)
{
    Tree v = read("{\"k\":" + literal + "}");
    std::string s = "<none>";
    if (v) v->getStr("k", s);
    return s;
}

// Hands out its text a few bytes per refill, so that runs cross buffer ends.
class ChunkedBuf : public std::streambuf {
public:
    ChunkedBuf(std::string text, size_t chunk) : text_(std::move(text)), chunk_(chunk) {}

protected:
    int_type underflow() override
    {
        if (pos_ >= text_.size()) return traits_type::eof();
        const size_t n = std::min(chunk_, text_.size() - pos_);
        char* base = &text_[pos_];
        setg(base, base, base + n);
        pos_ += n;
        return traits_type::to_int_type(*base);
    }

private:
    std::string text_;
    size_t chunk_;
    size_t pos_ = 0;
};

// No get area at all: every character comes through uflow().
class UnbufferedBuf : public std::streambuf {
public:
    explicit UnbufferedBuf(std::string text) : text_(std::move(text)) {}

protected:
    int_type underflow() override
    {
        return pos_ < text_.size() ? traits_type::to_int_type(text_[pos_]) : traits_type::eof();
    }
    int_type uflow() override
    {
        return pos_ < text_.size() ? traits_type::to_int_type(text_[pos_++]) : traits_type::eof();
    }

private:
    std::string text_;
    size_t pos_ = 0;
};

TEST(JsonReaderTopLevel, StrictWantsAnObjectLenientTakesAnyValue)
{
    EXPECT_EQ(json(read("  {}")), "{}");
    EXPECT_EQ(json(read("\t\r\n\v\f{}")), "{}");
    EXPECT_EQ(read("[]"), nullptr);
    EXPECT_EQ(read("5"), nullptr);
    EXPECT_EQ(read("\"x\""), nullptr);
    EXPECT_EQ(read("null"), nullptr);
    EXPECT_EQ(read(""), nullptr);
    EXPECT_EQ(read("   "), nullptr);
    EXPECT_EQ(json(lenient("[]")), "[]");
    EXPECT_EQ(json(lenient("5")), "5");
    EXPECT_EQ(json(lenient(" 'x'")), "\"x\"");
    EXPECT_EQ(json(lenient("null")), "null");
    EXPECT_EQ(lenient(""), nullptr);

    Tree parsed(jsVar::parse("{\"a\":1}"));
    EXPECT_EQ(json(parsed), "{\"a\": 1}");
    EXPECT_EQ(jsVar::parse("[1]"), nullptr);
}

TEST(JsonReaderTopLevel, TextAfterTheValueIsLeftInTheStream)
{
    std::istringstream is("{\"a\":1} tail");
    jsVar* v = nullptr;
    is >> v;
    Tree owned(v);
    ASSERT_NE(v, nullptr);
    std::string rest;
    std::getline(is, rest);
    EXPECT_EQ(rest, " tail");

    // A lenient number at the top level takes only its own characters.
    std::istringstream is2("12x");
    Tree n(JsonReader(is2, JsonReader::LENIENT).parse());
    EXPECT_EQ(json(n), "12");
    EXPECT_EQ(is2.get(), 'x');

    // A failed parse stores null through operator>>.
    std::istringstream bad("[1]");
    jsVar* none = reinterpret_cast<jsVar*>(&bad);
    bad >> none;
    EXPECT_EQ(none, nullptr);
}

TEST(JsonReaderContainers, TrailingCommasAndBrokenSeparatorsYieldNothing)
{
    for (const char* text : {"{\"a\":1,}", "[1,2,]", "{,}", "[,]", "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}",
                             "{\"a\":}", "{\"a\":1", "[1", "[", "{", "{\"a\":[1,2}", "{\"a\":{]}", "{:1}"}) {
        EXPECT_EQ(lenient(text), nullptr) << text;
    }
    EXPECT_EQ(json(lenient("[ ]")), "[]");
    EXPECT_EQ(json(lenient("[ 1 , [ ] , { } ]")), "[1,[],{}]");
    EXPECT_EQ(json(read("{ \"a\" : [ 1 , { \"b\" : null } ] }")), "{\"a\": [1,{\"b\": null}]}");
}

TEST(JsonReaderContainers, RepeatedKeyKeepsTheLaterValueAndFreesTheEarlier)
{
    const uint32_t before = jsVar::usage;
    {
        Tree v = read("{\"k\":[1,2,3],\"j\":0,\"k\":\"last\"}");
        EXPECT_EQ(json(v), "{\"j\": 0,\"k\": \"last\"}");
        EXPECT_EQ(jsVar::usage, before + 3);
    }
    EXPECT_EQ(jsVar::usage, before);
}

TEST(JsonReaderContainers, NestingBeyondTheLimitIsASyntaxError)
{
    const int limit = JsonReader::max_depth;
    auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_NE(lenient(arrays(limit)), nullptr);
    EXPECT_EQ(lenient(arrays(limit + 1)), nullptr);

    std::string objects;
    for (int i = 0; i < limit; ++i) objects += "{\"a\":";
    objects += "1" + std::string(limit, '}');
    EXPECT_NE(read(objects), nullptr);
    EXPECT_EQ(read("{\"a\":" + objects + "}"), nullptr);

    // A body of a few hundred thousand brackets neither overflows the stack nor leaks.
    const uint32_t before = jsVar::usage;
    std::istringstream deep(std::string(400000, '['));
    JsonReader reader(deep, JsonReader::LENIENT);
    EXPECT_EQ(reader.parse(), nullptr);
    EXPECT_GT(reader.error_count(), 0u);
    EXPECT_EQ(jsVar::usage, before);
    std::string mixed;
    for (int i = 0; i < 100000; ++i) mixed += "{\"a\":[";
    EXPECT_EQ(read(mixed), nullptr);
    EXPECT_EQ(jsVar::usage, before);
}

TEST(JsonReaderBareWords, KeysAndTheThreeWordsAreCaseSensitive)
{
    Tree v = read("{a1:true, B2 : false ,c:null}");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(json(v), "{\"B2\": false,\"a1\": true,\"c\": null}");
    for (const char* text : {"{\"k\":nul}", "{\"k\":NULL}", "{\"k\":True}", "{\"k\":truex}", "{\"k\":nullnull}",
                             "{\"k\":undefined}", "{1a:1}", "{a_b:1}", "{_a:1}", "{\"k\":Infinity}", "{\"k\":NaN}"}) {
        EXPECT_EQ(read(text), nullptr) << text;
    }
    // An identifier ends at the first character that is not a letter or digit.
    EXPECT_EQ(json(lenient("[true,false,null]")), "[true,false,null]");
    EXPECT_EQ(json(lenient("true]")), "true");
}

TEST(JsonReaderStrings, QuotesByMode)
{
    EXPECT_EQ(string_member("'x'"), "<none>");
    EXPECT_EQ(read("{'k':\"x\"}"), nullptr);
    Tree v = lenient("{'k':'x', \"q\":'a\"b', 'r':\"a'b\"}");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(json(v), "{\"k\": \"x\",\"q\": \"a\\\"b\",\"r\": \"a'b\"}");
    EXPECT_EQ(string_member("\"a'b\""), "a'b");
    EXPECT_EQ(json(lenient("'it\\'s'")), "\"it's\"");
}

TEST(JsonReaderStrings, EscapesAndUtf8)
{
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

TEST(JsonReaderStrings, RecoveredErrorsAreReportedAndDropOnlyTheBadPart)
{
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

TEST(JsonReaderStrings, UnterminatedStringEndsTheParse)
{
    EXPECT_EQ(read("{\"k\":\"abc"), nullptr);
    EXPECT_EQ(read("{\"k\":\"abc\\"), nullptr);
    EXPECT_EQ(read("{\"abc"), nullptr);
    // Each of the four hex positions takes a character, the closing quote included.
    EXPECT_EQ(read("{\"k\":\"\\u12\"}"), nullptr);
    const uint32_t before = jsVar::usage;
    EXPECT_EQ(read("{\"a\":[1,\"x\",{\"b\":\"unterminated"), nullptr);
    EXPECT_EQ(jsVar::usage, before);
}

TEST(JsonReaderStrings, BufferBoundariesChangeNothing)
{
    std::string text = "{\"first\":\"plain run with \\\"escapes\\\" and \\u00e9\",\n"
                       " \"second\":\"line\nfeed\", 'k3':\"" + std::string(1000, 'z') + "\\n\"}\n";
    std::istringstream whole(text);
    JsonReader ref(whole, JsonReader::LENIENT);
    Tree expected(ref.parse());
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(ref.line(), 3);
    EXPECT_EQ(ref.error_count(), 1u);
    for (size_t chunk : {1u, 2u, 3u, 7u, 64u}) {
        ChunkedBuf buf(text, chunk);
        std::istream is(&buf);
        JsonReader reader(is, JsonReader::LENIENT);
        Tree v(reader.parse());
        EXPECT_EQ(json(v), json(expected)) << chunk;
        EXPECT_EQ(reader.line(), ref.line()) << chunk;
        EXPECT_EQ(reader.column(), ref.column()) << chunk;
        EXPECT_EQ(reader.error_count(), ref.error_count()) << chunk;
    }
    UnbufferedBuf raw(text);
    std::istream is(&raw);
    JsonReader reader(is, JsonReader::LENIENT);
    Tree v(reader.parse());
    EXPECT_EQ(json(v), json(expected));
    EXPECT_EQ(reader.column(), ref.column());
}

TEST(JsonReaderBookkeeping, LineAndColumnFollowTheCharactersRead)
{
    std::istringstream is("{\n  \"ab\": \"x\ny\",\n  \"c\": 12.5e1}rest");
    JsonReader reader(is, JsonReader::STRICT);
    Tree v(reader.parse());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(reader.line(), 4);
    EXPECT_EQ(reader.column(), 14);   // `  "c": 12.5e1}` is 14 characters
}

TEST(JsonReaderDiagnostic, WindowAroundThePositionWithoutMovingIt)
{
    std::istringstream fine("{}");
    JsonReader clean(fine, JsonReader::STRICT);
    Tree empty(clean.parse());
    EXPECT_EQ(clean.error_count(), 0u);
    EXPECT_EQ(clean.diagnostic(), "");

    std::istringstream is("{\"key\": nul}");
    JsonReader reader(is, JsonReader::STRICT);
    EXPECT_EQ(reader.parse(), nullptr);
    EXPECT_EQ(reader.error_count(), 1u);
    EXPECT_EQ(reader.diagnostic(), "syntax error in JSON string.\ntext:{\"key\":nul}" + std::string(20, ' ') + "^\n");
    EXPECT_EQ(is.get(), '}');

    // 15 characters back, 15 ahead, blanks skipped, unprintable bytes as dots.
    std::istringstream is2("{\"abcdefghijklmnopqrstuvwxyz\":  ?0123456789ABCDEFGHIJ\x01}");
    JsonReader reader2(is2, JsonReader::STRICT);
    EXPECT_EQ(reader2.parse(), nullptr);
    EXPECT_EQ(reader2.diagnostic(),
              "syntax error in JSON string.\ntext:qrstuvwxyz\":?0123456789ABCDE" + std::string(20, ' ') + "^\n");
    std::istringstream is3("[\"\x01\x02\",x]");
    JsonReader reader3(is3, JsonReader::LENIENT);
    EXPECT_EQ(reader3.parse(), nullptr);
    EXPECT_EQ(reader3.diagnostic(), "syntax error in JSON string.\ntext:[\"..\",x]" + std::string(20, ' ') + "^\n");
}

TEST(JsonReaderNumbers, ValuesAndFailures)
{
    struct Case {
        const char* text;
        const char* written;
    } cases[] = {
        {"0", "0"},          {"-0", "-0"},         {"+1", "1"},         {"007", "7"},        {"-012", "-12"},
        {"1.", "1"},         {"-.5", "-0.5"},      {"0.e1", "0"},       {"2.e+3", "2000"},   {"1.5E-3", "0.0015"},
        {"65535", "65535"},  {"1e-400", "0"},      {"123456789", "1.23457e+08"},
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
    for (const char* text : {"-", "+", "1e", "1e+", "-e1", "1e400", "-1e400", ".5", "0x10", "1.2.3", "--1", "+-1", "1ee2",
                             "2e3.5"}) {
        EXPECT_EQ(read(std::string("{\"n\":") + text + "}"), nullptr) << text;
    }
}

TEST(JsonReaderNumbers, TakesExactlyWhatTheStreamExtractionTakes)
{
    // The reader scans numbers itself (to count columns); it must consume the same
    // characters and give the same value as `is >> double` in the classic locale.
    for (const char* text : {"12x", "1.5.5", "1e5e5", "-0.0e-0z", "00012", "+.e", "1e+x", "9.e", "1E-2E", "0000.5",
                             "-", "5+", "3.14159265358979323846264338", "1e308x", "2.5e-324,"}) {
        std::istringstream ref(text);
        ref.imbue(std::locale::classic());
        double expected = 0;
        ref >> expected;
        const bool ok = !ref.fail();
        ref.clear();
        std::string ref_rest;
        std::getline(ref, ref_rest);

        std::istringstream is(text);
        JsonReader reader(is, JsonReader::LENIENT);
        Tree v(reader.parse());
        EXPECT_EQ(v != nullptr, ok) << text;
        is.clear();
        std::string rest;
        std::getline(is, rest);
        if (ok) {
            EXPECT_EQ(rest, ref_rest) << text;
            double d = 0;
            ASSERT_TRUE(v && v->getNumber(d));
            EXPECT_EQ(d, expected) << text;
            EXPECT_EQ(reader.column(), static_cast<int32_t>(std::string(text).size() - rest.size())) << text;
        }
    }
}

}  // namespace
