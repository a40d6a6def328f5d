// jsVar getters, conversions, modifiers, ownership and usage counters; JsonWriter
// and the ObjectWriter writers.
#include "common/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

namespace {

using Tree = std::unique_ptr<jsVar>;

Tree parse(const std::string& text)
{
    Tree v(jsVar::parse(text));
    EXPECT_NE(v, nullptr) << text;
    return v;
}

// A literal with its embedded NUL bytes.
template <size_t N>
std::string bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

std::string written(const jsVar* v)
{
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

Converted convert(double value)
{
    jsVar v(value);
    Converted r{};
    EXPECT_TRUE(v.getNumber(r.d) && v.getNumber(r.l) && v.getNumber(r.i) && v.getNumber(r.u) &&
                v.getNumber(r.s) && v.getNumber(r.c) && v.getNumber(r.ll));
    return r;
}

TEST(JsonGetters, NumberConversions)
{
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

TEST(JsonGetters, BoolStringAndKindMismatches)
{
    Tree v = parse("{\"t\":true,\"f\":false,\"one\":1.0,\"zero\":0,\"half\":0.5,\"two\":2,\"s\":\"text\",\"n\":null,"
                   "\"a\":[\"x\",7,true],\"o\":{}}");
    bool b = false;
    EXPECT_TRUE(v->getBool("t", b) && b);
    EXPECT_TRUE(v->getBool("f", b) && !b);
    EXPECT_TRUE(v->getBool("one", b) && b);
    EXPECT_TRUE(v->getBool("zero", b) && !b);
    b = true;
    EXPECT_FALSE(v->getBool("half", b));
    EXPECT_FALSE(v->getBool("two", b));
    EXPECT_FALSE(v->getBool("s", b));
    EXPECT_FALSE(v->getBool("missing", b));
    EXPECT_TRUE(b);   // untouched by the failures
    EXPECT_FALSE(v->getBool(2, b));   // an object has no indices

    std::string s = "unchanged";
    EXPECT_FALSE(v->getStr("t", s));
    EXPECT_FALSE(v->getStr("n", s));
    EXPECT_FALSE(v->getStr(0, s));
    EXPECT_FALSE(v->getStr(s));
    EXPECT_EQ(s, "unchanged");
    EXPECT_TRUE(v->getStr("s", s));
    EXPECT_EQ(s, "text");

    int i = 42;
    EXPECT_FALSE(v->getNumber("t", i));   // a bool is not a number
    EXPECT_FALSE(v->getNumber("s", i));
    EXPECT_FALSE(v->getNumber("missing", i));
    EXPECT_EQ(i, 42);

    const jsVar* a = v->getValue("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->length(), 3u);
    EXPECT_EQ(v->length(), 0u);
    EXPECT_EQ(v->getValue("s")->length(), 0u);
    EXPECT_TRUE(a->getStr(0, s));
    EXPECT_EQ(s, "x");
    EXPECT_TRUE(a->getNumber(1, i));
    EXPECT_EQ(i, 7);
    EXPECT_TRUE(a->getBool(2, b) && b);
    EXPECT_EQ(a->getValue(-1), nullptr);
    EXPECT_EQ(a->getValue(3), nullptr);
    EXPECT_FALSE(a->getNumber(3, i));
    EXPECT_FALSE(a->getNumber(-1, i));
    EXPECT_EQ(a->getValue("x"), nullptr);
    EXPECT_EQ(v->getValue(0), nullptr);
    EXPECT_EQ(v->getValue("n")->kind, jsVar::JS_NULL);
    EXPECT_EQ(v->getValue("o")->kind, jsVar::JS_OBJECT);
    EXPECT_EQ(a->kind, jsVar::JS_ARRAY);
}

TEST(JsonGetters, IterationVisitsObjectMembersInByteOrder)
{
    Tree v = parse("{\"b\":1,\"B\":2,\"a\":3,\"\\u00e9\":4,\"aa\":5}");
    std::string keys;
    for (const auto& m : *v) keys += m.first + "|";
    EXPECT_EQ(keys, "B|a|aa|b|\xC3\xA9|");

    for (const char* text : {"[1,2]", "\"s\"", "3", "null", "true"}) {
        std::istringstream is(text);
        Tree other(JsonReader(is, JsonReader::LENIENT).parse());
        ASSERT_NE(other, nullptr);
        EXPECT_TRUE(other->begin() == other->end()) << text;
    }
}

TEST(JsonModifiers, SetRemovePushbackAndWrongKinds)
{
    const uint32_t before = jsVar::usage;
    {
        Tree o(new jsVar(jsVar::JS_OBJECT));
        o->setValue("k", std::string("one"));
        o->setValue("k", "two");
        o->setValue("n", new jsVar(5.0));
        o->setValue("z", nullptr);
        EXPECT_EQ(written(o.get()), "{\"k\": \"two\",\"n\": 5,\"z\": null}");
        EXPECT_EQ(jsVar::usage, before + 4);

        jsVar* n = o->getValue("n");
        o->setValue("n", n);   // storing a member again under its own key keeps it
        EXPECT_EQ(written(o.get()), "{\"k\": \"two\",\"n\": 5,\"z\": null}");

        o->removeValue("k");
        o->removeValue("absent");
        EXPECT_EQ(written(o.get()), "{\"n\": 5,\"z\": null}");
        EXPECT_EQ(jsVar::usage, before + 3);

        Tree a(new jsVar(jsVar::JS_ARRAY));
        a->pushback(new jsVar(true));
        a->pushback(new jsVar("s"));
        a->pushback(nullptr);
        EXPECT_EQ(written(a.get()), "[true,\"s\",null]");

        // Wrong kinds: nothing happens and the caller still owns what it passed.
        Tree orphan(new jsVar(1.0));
        a->setValue("k", orphan.get());
        a->setValue("k", "text");
        a->removeValue("k");
        o->pushback(orphan.get());
        EXPECT_EQ(written(a.get()), "[true,\"s\",null]");
        EXPECT_EQ(written(o.get()), "{\"n\": 5,\"z\": null}");
        EXPECT_EQ(jsVar::usage, before + 8);
    }
    EXPECT_EQ(jsVar::usage, before);
}

TEST(JsonModifiers, CloneIsDeepAndIndependent)
{
    Tree original = parse("{\"a\":[1,\"x\",{\"b\":false}],\"s\":\"t\",\"n\":null,\"d\":2.5}");
    const uint32_t before = jsVar::usage;
    Tree copy(original->clone());
    EXPECT_EQ(jsVar::usage, before + 9);
    EXPECT_EQ(written(copy.get()), written(original.get()));
    copy->getValue("a")->getValue(2)->setValue("b", new jsVar(true));
    copy->getValue("a")->pushback(new jsVar(3.0));
    copy->setValue("s", "changed");
    EXPECT_EQ(written(original.get()), "{\"a\": [1,\"x\",{\"b\": false}],\"d\": 2.5,\"n\": null,\"s\": \"t\"}");
    EXPECT_EQ(written(copy.get()), "{\"a\": [1,\"x\",{\"b\": true},3],\"d\": 2.5,\"n\": null,\"s\": \"changed\"}");
}

TEST(JsonUsageCounters, CountPerKindAndReturnToZeroAfterTheTreeIsFreed)
{
    double u0, s0, m0, a0;
    jsVar::get_usage(u0, s0, m0, a0);
    {
        Tree v = parse("{\"a\":[\"x\",\"y\",{}],\"b\":{\"c\":[]},\"d\":1,\"e\":true,\"f\":null,\"g\":\"z\"}");
        double u, s, m, a;
        jsVar::get_usage(u, s, m, a);
        EXPECT_EQ(u - u0, 11);
        EXPECT_EQ(s - s0, 3);
        EXPECT_EQ(m - m0, 3);
        EXPECT_EQ(a - a0, 2);
        EXPECT_EQ(jsVar::usage - static_cast<uint32_t>(u0), 11u);
        EXPECT_EQ(jsVar::s_usage - static_cast<uint32_t>(s0), 3u);
        EXPECT_EQ(jsVar::m_usage - static_cast<uint32_t>(m0), 3u);
        EXPECT_EQ(jsVar::a_usage - static_cast<uint32_t>(a0), 2u);
    }
    // Failed parses free whatever they had built.
    for (const char* bad : {"{\"a\":[\"x\",{\"b\":[1,2,", "{\"a\":\"x\",\"b\":[{},{}],\"c\":nope}", "{\"a\":{\"b\":{\"c\":'x'}}}"}) {
        std::istringstream is(bad);
        jsVar* v = nullptr;
        is >> v;
        EXPECT_EQ(v, nullptr) << bad;
    }
    double u, s, m, a;
    jsVar::get_usage(u, s, m, a);
    EXPECT_EQ(u, u0);
    EXPECT_EQ(s, s0);
    EXPECT_EQ(m, m0);
    EXPECT_EQ(a, a0);
}

TEST(JsonWriter, ValuesObjectsAndNumbers)
{
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
        {65535, "65535"},   {0.5, "0.5"},     {1234567, "1.23457e+06"}, {123456, "123456"}, {0.0001, "0.0001"},
        {0.00001, "1e-05"}, {-0.0, "-0"},     {-2.5e-300, "-2.5e-300"},  {1e100, "1e+100"}, {100, "100"},
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

TEST(JsonWriter, StringsEscapeExactlyFourCharacters)
{
    std::ostringstream os;
    JsonWriter::write_string(os, bytes("a\tb\nc\"d\\e\r\b\f\x01/'\xC3\xA9\0z"));
    EXPECT_EQ(os.str(), bytes("\"a\\tb\\nc\\\"d\\\\e\r\b\f\x01/'\xC3\xA9\0z\""));

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

TEST(JsonObjectWriter, PiecesAndTheStreamsOwnFormatting)
{
    std::ostringstream os;
    os << '{';
    ObjectWriter::FirstKeyWriter(os) << "a" << 1;
    ObjectWriter::KeyWriter(os) << std::string("b") << true;
    ObjectWriter::KeyWriter(os) << "c";
    ObjectWriter::ValueWriter(os) << "x\"y";
    ObjectWriter::KeyWriter(os) << "d";
    ObjectWriter::ValueWriter(os) << std::string("v");
    ObjectWriter::KeyWriter(os) << "e" << 0.5 << '}';
    EXPECT_EQ(os.str(), "{\"a\":1,\"b\":1,\"c\":\"x\"y\",\"d\":\"v\",\"e\":0.5}");

    std::ostringstream bad;
    ObjectWriter::ValueWriter(bad) << static_cast<const char*>(nullptr);
    EXPECT_TRUE(bad.bad());
    EXPECT_EQ(bad.str(), "\"");
}

}  // namespace
