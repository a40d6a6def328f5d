#include "json_reader.h"

#include <cstdlib>
#include <cstring>

namespace tarvex::json {

const Value* Value::find(const std::string& name) const {
    if (type != Object) return nullptr;
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return &items[i];
    return nullptr;
}

namespace {

struct Reader {
    const char* p;
    const char* end;
    const char* begin;
    std::string error;

    bool fail(const char* what) {
        if (error.empty()) error = std::string(what) + " at byte " + std::to_string(p - begin);
        return false;
    }
    void blanks() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return fail("unknown literal");
        p += n;
        return true;
    }
    static void utf8(std::string& out, unsigned c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bool hex4(unsigned& c) {
        if (end - p < 4) return fail("short \\u escape");
        c = 0;
        for (int i = 0; i < 4; ++i, ++p) {
            const char h = *p;
            c <<= 4;
            if (h >= '0' && h <= '9')
                c |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                c |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                c |= static_cast<unsigned>(h - 'A' + 10);
            else
                return fail("bad \\u escape");
        }
        return true;
    }
    bool string(std::string& out) {
        ++p;  // the opening quote
        for (;;) {
            const char* run = p;
            while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
            out.append(run, p);
            if (p == end) return fail("unterminated string");
            if (*p == '"') {
                ++p;
                return true;
            }
            if (*p != '\\') return fail("control character in string");
            if (++p == end) return fail("unterminated string");
            const char e = *p++;
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned c = 0;
                    if (!hex4(c)) return false;
                    if (c >= 0xD800 && c < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                        p += 2;
                        unsigned low = 0;
                        if (!hex4(low)) return false;
                        if (low >= 0xDC00 && low < 0xE000)
                            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                        else
                            return fail("bad surrogate pair");
                    }
                    utf8(out, c);
                    break;
                }
                default: return fail("bad escape");
            }
        }
    }
    bool number(double& out) {
        const char* start = p;
        if (p < end && *p == '-') ++p;
        if (p == end || !(*p >= '0' && *p <= '9')) return fail("bad number");
        while (p < end && ((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E' || *p == '+' || *p == '-'))
            ++p;
        if (p - start > 40) return fail("number too long");
        char buffer[48];
        std::memcpy(buffer, start, static_cast<size_t>(p - start));
        buffer[p - start] = 0;
        char* stop = nullptr;
        out = std::strtod(buffer, &stop);
        if (stop != buffer + (p - start)) return fail("bad number");
        return true;
    }
    bool value(Value& v, int depth) {
        if (depth > MAX_DEPTH) return fail("nested too deeply");
        blanks();
        if (p == end) return fail("value expected");
        switch (*p) {
            case 'n': v.type = Value::Null; return literal("null");
            case 't':
                v.type = Value::Bool;
                v.boolean = true;
                return literal("true");
            case 'f':
                v.type = Value::Bool;
                v.boolean = false;
                return literal("false");
            case '"': v.type = Value::String; return string(v.text);
            case '[':
            case '{': {
                const bool object = *p == '{';
                v.type = object ? Value::Object : Value::Array;
                ++p;
                blanks();
                if (p < end && *p == (object ? '}' : ']')) {
                    ++p;
                    return true;
                }
                for (;;) {
                    blanks();
                    if (object) {
                        if (p == end || *p != '"') return fail("member name expected");
                        v.names.emplace_back();
                        if (!string(v.names.back())) return false;
                        blanks();
                        if (p == end || *p != ':') return fail("':' expected");
                        ++p;
                    }
                    v.items.emplace_back();
                    if (!value(v.items.back(), depth + 1)) return false;
                    blanks();
                    if (p < end && *p == ',') {
                        ++p;
                        continue;
                    }
                    if (p < end && *p == (object ? '}' : ']')) {
                        ++p;
                        return true;
                    }
                    return fail(object ? "',' or '}' expected" : "',' or ']' expected");
                }
            }
            default: v.type = Value::Number; return number(v.number);
        }
    }
};

}  // namespace

bool parse(const char* text, size_t length, Value& out, std::string& error) {
    Reader r{text, text + length, text, {}};
    out = Value();
    if (!r.value(out, 1)) return error = r.error, false;
    r.blanks();
    if (r.p != r.end) return error = "text after the value at byte " + std::to_string(r.p - text), false;
    return true;
}

}  // namespace tarvex::json
