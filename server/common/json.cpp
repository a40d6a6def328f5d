// JSON values, reader and writers of pulserd (see json.h for the contract).
#include "common/json.h"

#include <pthread.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <memory>
#include <sstream>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---------------------------------------------------------------------------
// jsVar

uint32_t jsVar::usage = 0;
uint32_t jsVar::s_usage = 0;
uint32_t jsVar::m_usage = 0;
uint32_t jsVar::a_usage = 0;
const jsVar::object_t jsVar::dummy_map;

namespace {
// The counters are shared by every thread that builds values (the web server has several).
void count(uint32_t& counter, int delta) {
    __atomic_fetch_add(&counter, static_cast<uint32_t>(delta), __ATOMIC_RELAXED);
}
}  // namespace

void jsVar::count_up() {
    count(usage, 1);
    if (kind == JS_STRING) count(s_usage, 1);
    if (kind == JS_OBJECT) count(m_usage, 1);
    if (kind == JS_ARRAY) count(a_usage, 1);
}

jsVar::jsVar() : kind(JS_NULL), payload(nullptr) { count_up(); }

jsVar::jsVar(kind_t k) : kind(k), payload(nullptr) {
    switch (k) {
        case JS_STRING: payload = new std::string(); break;
        case JS_NUMBER: payload = new double(0.0); break;
        case JS_ARRAY: payload = new array_t(); break;
        case JS_OBJECT: payload = new object_t(); break;
        case JS_BOOL: payload = new unsigned char(0); break;
        default: kind = JS_NULL; break;
    }
    count_up();
}

jsVar::jsVar(const std::string& text) : kind(JS_STRING), payload(new std::string(text)) { count_up(); }

jsVar::jsVar(const char* text) : kind(JS_STRING), payload(new std::string(text ? text : "")) { count_up(); }

jsVar::jsVar(double number) : kind(JS_NUMBER), payload(new double(number)) { count_up(); }

jsVar::jsVar(bool value) : kind(JS_BOOL), payload(new unsigned char(value ? 1 : 0)) { count_up(); }

void jsVar::destroy() {
    switch (kind) {
        case JS_STRING: delete static_cast<std::string*>(payload); break;
        case JS_NUMBER: delete static_cast<double*>(payload); break;
        case JS_ARRAY:
            for (jsVar* e : *arr()) delete e;
            delete arr();
            break;
        case JS_OBJECT:
            for (auto& m : *obj()) delete m.second;
            delete obj();
            break;
        case JS_BOOL: delete static_cast<unsigned char*>(payload); break;
        default: break;
    }
    payload = nullptr;
}

jsVar::~jsVar() {
    destroy();
    count(usage, -1);
    if (kind == JS_STRING) count(s_usage, -1);
    if (kind == JS_OBJECT) count(m_usage, -1);
    if (kind == JS_ARRAY) count(a_usage, -1);
}

void jsVar::get_usage(double& all, double& strings, double& objects, double& arrays) {
    all = __atomic_load_n(&usage, __ATOMIC_RELAXED);
    strings = __atomic_load_n(&s_usage, __ATOMIC_RELAXED);
    objects = __atomic_load_n(&m_usage, __ATOMIC_RELAXED);
    arrays = __atomic_load_n(&a_usage, __ATOMIC_RELAXED);
}

jsVar* jsVar::member(const std::string& key) const {
    if (kind != JS_OBJECT) return nullptr;
    auto it = obj()->find(key);
    return it == obj()->end() ? nullptr : it->second;
}

jsVar* jsVar::element(int index) const {
    if (kind != JS_ARRAY || index < 0 || static_cast<size_t>(index) >= arr()->size()) return nullptr;
    return (*arr())[static_cast<size_t>(index)];
}

jsVar* jsVar::getValue(const std::string& key) const { return member(key); }
jsVar* jsVar::getValue(int index) const { return element(index); }

bool jsVar::getStr(std::string& out) const {
    if (kind != JS_STRING) return false;
    out = *str();
    return true;
}

bool jsVar::getBool(bool& out) const {
    if (kind == JS_BOOL) {
        out = as_bool();
        return true;
    }
    if (kind == JS_NUMBER && (num() == 0.0 || num() == 1.0)) {
        out = num() == 1.0;
        return true;
    }
    return false;
}

namespace {

// The one place that turns a JSON number into the integer types of the getters.
int32_t to_int32(double d) {
    if (std::isnan(d)) return 0;
    if (d <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    if (d >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(d);  // truncates toward zero
}

uint32_t to_uint32(double d) {
    if (std::isnan(d) || d <= 0.0) return 0;
    if (d >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(d);
}

int64_t to_int64(double d) {
    if (std::isnan(d)) return 0;
    // 2^63 is exact as a double; every double below it converts without overflow.
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    if (d >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(d);
}

void convert(double d, double& out) { out = d; }
void convert(double d, long& out) { out = to_int32(d); }
void convert(double d, int& out) { out = to_int32(d); }
void convert(double d, short& out) {
    out = static_cast<short>(static_cast<uint16_t>(static_cast<uint32_t>(to_int32(d))));
}
void convert(double d, unsigned char& out) { out = static_cast<unsigned char>(to_uint32(d) & 0xFFu); }
void convert(double d, unsigned int& out) { out = to_uint32(d); }
void convert(double d, long long& out) { out = to_int64(d); }

template <typename T>
bool number_of(const jsVar* v, T& out) {
    double d;
    if (!v || !v->getNumber(d)) return false;
    convert(d, out);
    return true;
}

template <typename T>
bool bool_of(const jsVar* v, T& out) {
    return v && v->getBool(out);
}

}  // namespace

bool jsVar::holdsInfinity() const {
    std::vector<const jsVar*> todo{this};  // no recursion: the nesting is bounded by memory only
    while (!todo.empty()) {
        const jsVar* v = todo.back();
        todo.pop_back();
        if (v->kind == JS_NUMBER && std::isinf(v->num())) return true;
        if (v->kind == JS_ARRAY) todo.insert(todo.end(), v->arr()->begin(), v->arr()->end());
        if (v->kind == JS_OBJECT)
            for (const auto& member : *v->obj()) todo.push_back(member.second);
    }
    return false;
}

bool jsVar::getNumber(double& out) const {
    if (kind != JS_NUMBER) return false;
    out = num();
    return true;
}
bool jsVar::getNumber(long& out) const { return number_of(this, out); }
bool jsVar::getNumber(int& out) const { return number_of(this, out); }
bool jsVar::getNumber(short& out) const { return number_of(this, out); }
bool jsVar::getNumber(unsigned char& out) const { return number_of(this, out); }
bool jsVar::getNumber(unsigned int& out) const { return number_of(this, out); }
bool jsVar::getNumber(long long& out) const { return number_of(this, out); }

bool jsVar::getNumber(const std::string& key, double& out) const { return number_of(member(key), out); }
bool jsVar::getNumber(const std::string& key, long& out) const { return number_of(member(key), out); }
bool jsVar::getNumber(const std::string& key, int& out) const { return number_of(member(key), out); }
bool jsVar::getNumber(const std::string& key, short& out) const { return number_of(member(key), out); }
bool jsVar::getNumber(const std::string& key, unsigned char& out) const { return number_of(member(key), out); }
bool jsVar::getNumber(const std::string& key, unsigned int& out) const { return number_of(member(key), out); }
bool jsVar::getNumber(const std::string& key, long long& out) const { return number_of(member(key), out); }

bool jsVar::getNumber(int index, double& out) const { return number_of(element(index), out); }
bool jsVar::getNumber(int index, long& out) const { return number_of(element(index), out); }
bool jsVar::getNumber(int index, int& out) const { return number_of(element(index), out); }
bool jsVar::getNumber(int index, short& out) const { return number_of(element(index), out); }
bool jsVar::getNumber(int index, unsigned char& out) const { return number_of(element(index), out); }
bool jsVar::getNumber(int index, unsigned int& out) const { return number_of(element(index), out); }
bool jsVar::getNumber(int index, long long& out) const { return number_of(element(index), out); }

bool jsVar::getStr(const std::string& key, std::string& out) const {
    const jsVar* v = member(key);
    return v && v->getStr(out);
}

bool jsVar::getStr(int index, std::string& out) const {
    const jsVar* v = element(index);
    return v && v->getStr(out);
}

bool jsVar::getBool(const std::string& key, bool& out) const { return bool_of(member(key), out); }
bool jsVar::getBool(int index, bool& out) const { return bool_of(element(index), out); }

unsigned jsVar::length() const { return kind == JS_ARRAY ? static_cast<unsigned>(arr()->size()) : 0; }

jsVar::const_iterator jsVar::begin() const { return kind == JS_OBJECT ? obj()->cbegin() : dummy_map.cbegin(); }

jsVar::const_iterator jsVar::end() const { return kind == JS_OBJECT ? obj()->cend() : dummy_map.cend(); }

void jsVar::setValue(std::string key, const std::string& text) {
    if (kind != JS_OBJECT) return;
    setValue(std::move(key), new jsVar(text));
}

void jsVar::setValue(std::string key, jsVar* value) {
    if (kind != JS_OBJECT) return;
    if (!value) value = new jsVar();
    jsVar*& slot = (*obj())[std::move(key)];
    if (slot == value) return;  // already stored there: destroying it would leave it dangling
    delete slot;
    slot = value;
}

void jsVar::removeValue(std::string key) {
    if (kind != JS_OBJECT) return;
    auto it = obj()->find(key);
    if (it == obj()->end()) return;
    delete it->second;
    obj()->erase(it);
}

void jsVar::pushback(jsVar* value) {
    if (kind != JS_ARRAY) return;
    std::unique_ptr<jsVar> owned(value ? value : new jsVar());
    arr()->push_back(owned.get());
    owned.release();
}

jsVar* jsVar::clone() const {
    switch (kind) {
        case JS_STRING: return new jsVar(*str());
        case JS_NUMBER: return new jsVar(num());
        case JS_BOOL: return new jsVar(as_bool());
        case JS_ARRAY: {
            std::unique_ptr<jsVar> copy(new jsVar(JS_ARRAY));
            copy->arr()->reserve(arr()->size());
            for (const jsVar* e : *arr()) copy->arr()->push_back(e->clone());
            return copy.release();
        }
        case JS_OBJECT: {
            std::unique_ptr<jsVar> copy(new jsVar(JS_OBJECT));
            for (const auto& m : *obj()) {
                std::unique_ptr<jsVar> value(m.second->clone());
                copy->obj()->emplace_hint(copy->obj()->end(), m.first, value.get());
                value.release();
            }
            return copy.release();
        }
        default: return new jsVar();
    }
}

std::string jsVar::asString() const {
    if (kind == JS_STRING) return *str();
    std::ostringstream os;
    JsonWriter::write(os, this);
    return os.str();
}

jsVar* jsVar::parse(const std::string& text) {
    std::istringstream is(text);
    return JsonReader(is, JsonReader::STRICT).parse();
}

// ---------------------------------------------------------------------------
// Reader

namespace {

// Direct view of a stream buffer's get area, so that runs of plain string
// characters are taken with one scan and one copy instead of a call per character.
// Forming these member pointers through a derived class is how standard C++ lets
// code outside the buffer reach the protected get-area accessors.
struct get_area : std::streambuf {
    static const char* next(std::streambuf* b) { return (b->*&get_area::gptr)(); }
    static const char* end(std::streambuf* b) { return (b->*&get_area::egptr)(); }
    static void skip(std::streambuf* b, int n) { (b->*&get_area::gbump)(n); }
};

constexpr int end_of_input = std::char_traits<char>::eof();

// The classic-locale classifications the grammar uses.
bool is_blank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_alpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_alnum(int c) { return is_alpha(c) || is_digit(c); }

int hex_value(int c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// First byte in [p, e) that ends a run of plain string characters: the quote,
// a backslash or a line feed. 32 bytes at a time with SSE2, else 16 bytes at a
// time in general registers.
const char* scan_plain(const char* p, const char* e, char quote) {
#if defined(__SSE2__)
    const __m128i vq = _mm_set1_epi8(quote);
    const __m128i vb = _mm_set1_epi8('\\');
    const __m128i vn = _mm_set1_epi8('\n');
    while (e - p >= 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, vq), _mm_cmpeq_epi8(a, vb)), _mm_cmpeq_epi8(a, vn)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, vq), _mm_cmpeq_epi8(b, vb)), _mm_cmpeq_epi8(b, vn)));
        if (_mm_movemask_epi8(hit)) break;
        p += 32;
    }
#endif
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    const uint64_t q = ones * static_cast<unsigned char>(quote);
    const uint64_t bs = ones * static_cast<unsigned char>('\\');
    const uint64_t lf = ones * static_cast<unsigned char>('\n');
    while (e - p >= 16) {
        uint64_t w0, w1;
        std::memcpy(&w0, p, 8);
        std::memcpy(&w1, p + 8, 8);
        // A byte of x is zero exactly when this sets its high bit (for some byte).
        auto zero = [](uint64_t x) { return (x - ones) & ~x; };
        const uint64_t hit =
            zero(w0 ^ q) | zero(w0 ^ bs) | zero(w0 ^ lf) | zero(w1 ^ q) | zero(w1 ^ bs) | zero(w1 ^ lf);
        if (hit & highs) break;
        p += 16;
    }
    while (p < e && *p != quote && *p != '\\' && *p != '\n') ++p;
    return p;
}

// The classic-locale formatted extraction of a double, applied to the characters
// the number scanner took. Returns false when it is malformed. The common case goes
// through from_chars, which rounds exactly as the extraction does; magnitudes outside
// the normal range take the stream itself, which accepts underflow. A magnitude beyond
// the double range is a valid number out of every range: it reads as an infinity
// (which the JSON-RPC envelope refuses wherever it stands in the parameters).
bool extract_double(const std::string& text, double& out) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first;  // from_chars takes no plus sign
    const auto r = std::from_chars(first, last, out);
    if (r.ec == std::errc() && r.ptr == last) return true;
    if (r.ec != std::errc::result_out_of_range) return false;
    thread_local std::istringstream conv = [] {
        std::istringstream s;
        s.imbue(std::locale::classic());
        return s;
    }();
    conv.clear();
    conv.str(text);
    conv >> out;
    if (conv.fail()) out = text[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    return true;
}

}  // namespace

JsonReader::JsonReader(std::istream& is, MODE mode) : is_(is), depth_limit_(depth_limit()), mode_(mode) {}

namespace {

// Lowest address of the calling thread's stack, 0 when it cannot be told. Found once per
// thread (the main thread's answer reads a file).
uintptr_t stack_low_end() {
    thread_local uintptr_t low = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t(0);
        void* base = nullptr;
        size_t size = 0;
        const int r = pthread_attr_getstack(&attr, &base, &size);
        size_t guard = 0;
        pthread_attr_getguardsize(&attr, &guard);
        pthread_attr_destroy(&attr);
        return r == 0 ? reinterpret_cast<uintptr_t>(base) + guard : uintptr_t(0);
    }();
    return low;
}

}  // namespace

int JsonReader::depth_limit() {
    char here = 0;
    const uintptr_t sp = reinterpret_cast<uintptr_t>(&here);
    const uintptr_t low = stack_low_end();
    // Unknown stack: assume the smallest thread stack in use here (64 KiB) is all left.
    const size_t room = (low != 0 && sp > low) ? sp - low : 64 * 1024;
    if (room <= stack_reserve) return 0;
    const size_t levels = (room - stack_reserve) / stack_per_level;
    return levels < static_cast<size_t>(max_depth) ? static_cast<int>(levels) : max_depth;
}

void JsonReader::remember(const char* from, const char* to) {
    if (to - from > static_cast<std::ptrdiff_t>(history_size)) from = to - history_size;
    for (; from < to; ++from) history_[history_count_++ % history_size] = *from;
}

int JsonReader::peek() {
    if (at_eof_) return end_of_input;
    int c = buf_->sgetc();
    if (c == end_of_input) {
        at_eof_ = true;
        is_.setstate(std::ios::eofbit);
    }
    return c;
}

int JsonReader::nch() {
    if (at_eof_) return end_of_input;
    int c = buf_->sbumpc();
    if (c == end_of_input) {
        at_eof_ = true;
        is_.setstate(std::ios::eofbit | std::ios::failbit);
        return c;
    }
    history_[history_count_++ % history_size] = static_cast<char>(c);
    if (c == '\n') {
        ++line_;
        column_ = 0;
    } else {
        ++column_;
    }
    return c;
}

int JsonReader::nch_skip_blanks() {
    int c;
    do c = nch();
    while (is_blank(c));
    return c;
}

int JsonReader::peek_skip_blanks() {
    int c;
    while (is_blank(c = peek())) nch();
    return c;
}

void JsonReader::syntax_error() {
    ++errors_;
    // Keep up to 15 characters already read and up to 15 still in the stream buffer;
    // looking ahead only reads the buffer, so the position does not move. The text
    // is composed when asked for, so that a body full of recovered errors stays cheap.
    const uint32_t back = history_count_ < 15 ? history_count_ : 15;
    window_size_ = 0;
    for (uint32_t i = history_count_ - back; i != history_count_; ++i)
        window_[window_size_++] = history_[i % history_size];
    if (!at_eof_ && buf_) {
        const char* p = get_area::next(buf_);
        const char* e = get_area::end(buf_);
        for (int n = 0; p && p < e && n < 15; ++n) window_[window_size_++] = *p++;
    }
}

std::string JsonReader::diagnostic() const {
    if (!errors_) return std::string();
    std::string text = "syntax error in JSON string.\ntext:";
    for (unsigned i = 0; i < window_size_; ++i) {
        const int c = static_cast<unsigned char>(window_[i]);
        if (is_blank(c)) continue;
        text += (c >= 0x20 && c < 0x7F) ? window_[i] : '.';
    }
    text.append(20, ' ');
    text += "^\n";
    return text;
}

jsVar* JsonReader::parse() {
    buf_ = is_.rdbuf();
    if (!buf_ || !is_.good()) {
        at_eof_ = true;
        is_.setstate(std::ios::failbit);
    }
    if (mode_ == STRICT && peek_skip_blanks() != '{') {
        nch();
        syntax_error();
        return nullptr;
    }
    return parse_var(0);
}

jsVar* JsonReader::parse_var(int depth) {
    const int c = peek_skip_blanks();
    if (c != '{' && c != '[' && ++values_ > max_values) {
        syntax_error();
        return nullptr;
    }
    if (c == '+' || c == '-' || is_digit(c)) return parse_number();
    if (is_alpha(c)) {
        const std::string word = parse_identifier();
        if (word == "null") return new jsVar();
        if (word == "true") return new jsVar(true);
        if (word == "false") return new jsVar(false);
        syntax_error();
        return nullptr;
    }
    nch();
    if (c == '{') return parse_object(depth + 1);
    if (c == '[') return parse_array(depth + 1);
    if (c == '"' || (c == '\'' && mode_ != STRICT)) {
        std::unique_ptr<jsVar> s(new jsVar(jsVar::JS_STRING));
        if (!parse_string(static_cast<char>(c), *static_cast<std::string*>(s->payload))) return nullptr;
        return s.release();
    }
    syntax_error();
    return nullptr;
}

jsVar* JsonReader::parse_object(int depth) {
    if (depth > depth_limit_ || ++values_ > max_values) {
        syntax_error();
        return nullptr;
    }
    std::unique_ptr<jsVar> object(new jsVar(jsVar::JS_OBJECT));
    int c = nch_skip_blanks();
    if (c == '}') return object.release();
    for (;;) {
        std::string key;
        if (c == '"' || (c == '\'' && mode_ != STRICT)) {
            if (!parse_string(static_cast<char>(c), key)) return nullptr;
        } else if (is_alpha(c)) {
            key = static_cast<char>(c) + parse_identifier();
        } else {
            syntax_error();
            return nullptr;
        }
        if (nch_skip_blanks() != ':') {
            syntax_error();
            return nullptr;
        }
        std::unique_ptr<jsVar> value(parse_var(depth));
        if (!value) return nullptr;
        jsVar*& slot = (*object->obj())[key];
        delete slot;
        slot = value.release();
        if (eof()) {
            syntax_error();
            return nullptr;
        }
        c = nch_skip_blanks();
        if (c == '}') return object.release();
        if (c != ',') {
            syntax_error();
            return nullptr;
        }
        c = nch_skip_blanks();
    }
}

jsVar* JsonReader::parse_array(int depth) {
    if (depth > depth_limit_ || ++values_ > max_values) {
        syntax_error();
        return nullptr;
    }
    std::unique_ptr<jsVar> array(new jsVar(jsVar::JS_ARRAY));
    if (peek_skip_blanks() == ']') {
        nch();
        return array.release();
    }
    for (;;) {
        std::unique_ptr<jsVar> value(parse_var(depth));
        if (!value) return nullptr;
        array->arr()->push_back(value.get());
        value.release();
        if (eof()) {
            syntax_error();
            return nullptr;
        }
        const int c = nch_skip_blanks();
        if (c == ']') return array.release();
        if (c != ',') {
            syntax_error();
            return nullptr;
        }
    }
}

bool JsonReader::parse_string(char quote, std::string& out) {
    for (;;) {
        // Plain characters straight from the buffer: none of them is a line feed,
        // so only the column moves.
        const char* p = at_eof_ ? nullptr : get_area::next(buf_);
        const char* e = at_eof_ ? nullptr : get_area::end(buf_);
        if (p && p < e) {
            if (e - p > (1 << 30)) e = p + (1 << 30);
            const char* stop = scan_plain(p, e, quote);
            if (stop != p) {
                const auto n = static_cast<int>(stop - p);
                out.append(p, stop);
                remember(p, stop);
                column_ = static_cast<int32_t>(static_cast<uint32_t>(column_) + static_cast<uint32_t>(n));
                get_area::skip(buf_, n);
            }
        }
        int c = nch();
        if (c == end_of_input) {
            syntax_error();
            return false;
        }
        if (c == quote) return true;
        if (c == '\n') {
            syntax_error();
            continue;
        }
        if (c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        c = nch();
        switch (c) {
            case '"': out += '"'; break;
            case '\'': out += '\''; break;
            case '/': out += '/'; break;
            case '\\': out += '\\'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': append_utf8(out, parse_hex()); break;
            default: syntax_error(); break;
        }
    }
}

uint32_t JsonReader::parse_hex() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_value(nch());
        value <<= 4;
        if (digit < 0)
            syntax_error();
        else
            value |= static_cast<uint32_t>(digit);
    }
    return value;
}

void JsonReader::append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string JsonReader::parse_identifier() {
    std::string word;
    while (is_alnum(peek())) word += static_cast<char>(nch());
    return word;
}

// Takes exactly the characters the classic-locale extraction of a double takes:
// a sign, leading zeros, digits with at most one decimal point, then at most one
// exponent mark (after some digit) with an optional sign and digits.
jsVar* JsonReader::parse_number() {
    std::string text;
    int c = peek();
    if (c == '+' || c == '-') {
        text += static_cast<char>(nch());
        c = peek();
    }
    bool mantissa = false;
    while (c == '0') {
        if (!mantissa) text += '0';
        mantissa = true;
        nch();
        c = peek();
    }
    bool point = false, exponent = false;
    for (;;) {
        if (is_digit(c)) {
            text += static_cast<char>(c);
            mantissa = true;
        } else if (c == '.' && !point && !exponent) {
            text += '.';
            point = true;
        } else if ((c == 'e' || c == 'E') && !exponent && mantissa) {
            text += 'e';
            exponent = true;
            nch();
            c = peek();
            if (c != '+' && c != '-') continue;
            text += static_cast<char>(c);
        } else {
            break;
        }
        nch();
        c = peek();
    }
    double d;
    if (!extract_double(text, d)) return nullptr;
    return new jsVar(d);
}

std::istream& operator>>(std::istream& is, jsVar*& value) {
    value = JsonReader(is, JsonReader::STRICT).parse();
    return is;
}

// ---------------------------------------------------------------------------
// Writers

namespace {

// Length of the valid UTF-8 sequence at p (at most e - p bytes), 0 when p does not start one.
size_t utf8_sequence(const unsigned char* p, const unsigned char* e) {
    const unsigned c = p[0];
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<size_t>(e - p) < n) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return n;
}

}  // namespace

void JsonWriter::write_string(std::ostream& os, const std::string& text) { write_string(os, text.data(), text.size()); }

void JsonWriter::write_string(std::ostream& os, const char* text, size_t length) {
    os << '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* e = p + length;
    const auto* run = p;
    auto flush = [&](const unsigned char* to) { os.write(reinterpret_cast<const char*>(run), to - run); };
    while (p < e) {
        const unsigned c = *p;
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++p;
            continue;
        }
        if (c >= 0x80) {
            const size_t n = utf8_sequence(p, e);
            if (n) {
                p += n;
                continue;
            }
            // The replacement character itself, so that writing what was read back writes the same.
            flush(p);
            os << "\xEF\xBF\xBD";
            run = ++p;
            continue;
        }
        flush(p);
        switch (c) {
            case '"': os << "\\\""; break;
            case '\\': os << "\\\\"; break;
            case '\b': os << "\\b"; break;
            case '\f': os << "\\f"; break;
            case '\n': os << "\\n"; break;
            case '\r': os << "\\r"; break;
            case '\t': os << "\\t"; break;
            default: {
                static const char hex[] = "0123456789abcdef";
                const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                os.write(esc, 6);
            }
        }
        run = ++p;
    }
    flush(p);
    os << '"';
}

void JsonWriter::write(std::ostream& os, const jsVar* v) {
    if (!v) {
        os << "null";
        return;
    }
    switch (v->kind) {
        case jsVar::JS_STRING: write_string(os, *v->str()); break;
        case jsVar::JS_NUMBER: {
            const double d = v->num();
            if (!std::isfinite(d)) {
                os << "null";
                break;
            }
            char text[32];
            const auto r = std::to_chars(text, text + sizeof text, d, std::chars_format::general, 6);
            os.write(text, r.ptr - text);
            break;
        }
        case jsVar::JS_ARRAY: {
            os << '[';
            bool first = true;
            for (const jsVar* e : *v->arr()) {
                if (!first) os << ',';
                first = false;
                write(os, e);
            }
            os << ']';
            break;
        }
        case jsVar::JS_OBJECT: {
            os << '{';
            bool first = true;
            for (const auto& m : *v->obj()) {
                if (!first) os << ',';
                first = false;
                write_string(os, m.first);
                os << ": ";
                write(os, m.second);
            }
            os << '}';
            break;
        }
        case jsVar::JS_BOOL: os << (v->as_bool() ? "true" : "false"); break;
        default: os << "null"; break;
    }
}

std::ostream& operator<<(ObjectWriter::KeyWriter w, const std::string& key) {
    w.os << ',';
    JsonWriter::write_string(w.os, key);
    return w.os << ':';
}

std::ostream& operator<<(ObjectWriter::FirstKeyWriter w, const std::string& key) {
    JsonWriter::write_string(w.os, key);
    return w.os << ':';
}

std::ostream& operator<<(ObjectWriter::ValueWriter w, const std::string& text) {
    JsonWriter::write_string(w.os, text);
    return w.os;
}

std::ostream& operator<<(ObjectWriter::ValueWriter w, const char* text) {
    if (!text) {
        w.os << '"';
        w.os.setstate(std::ios::badbit);
        return w.os;
    }
    JsonWriter::write_string(w.os, text, std::strlen(text));
    return w.os;
}
