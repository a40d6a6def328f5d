// JSON values, the JSON reader and the JSON writers of pulserd.
//
// jsVar      one JSON value: a kind and an owned payload. Trees of jsVar are built
//            by the reader and freed by deleting the root.
// JsonReader one parse of one value from a std::istream (strict or lenient).
// JsonWriter writes whole values as JSON text.
// ObjectWriter::KeyWriter / FirstKeyWriter / ValueWriter
//            write an object piece by piece straight into a reply stream.
//
// Threads: values, readers and writers belong to one thread at a time. The usage
// counters are shared by all threads and changed atomically; they are for diagnostics.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

class jsVar {
public:
    // Kinds, as stored in `kind`.
    enum kind_t : uint32_t {
        JS_NULL = 0,
        JS_STRING = 1,
        JS_NUMBER = 2,
        JS_ARRAY = 3,
        JS_OBJECT = 4,
        JS_BOOL = 5,
    };
    using array_t = std::vector<jsVar*>;
    using object_t = std::map<std::string, jsVar*>;  // byte-wise key order
    using const_iterator = object_t::const_iterator;

    // Construction. Every value is meant to live on the heap; a container owns the
    // values put into it. There is no copy: use clone().
    jsVar();                                  // null
    explicit jsVar(kind_t kind);              // empty string, 0, [], {}, false, or null
    explicit jsVar(const std::string& text);  // string
    explicit jsVar(const char* text);         // string (a null pointer gives "")
    explicit jsVar(double number);            // number
    explicit jsVar(bool value);               // bool
    ~jsVar();
    jsVar(const jsVar&) = delete;
    jsVar& operator=(const jsVar&) = delete;

    // Read this value's kind; never assign it.
    uint32_t kind;

    // Getters. Each returns true on success; on failure the output is left as it was.
    // Keyed forms need an object holding the key, indexed forms an array holding the
    // index (0 <= index < length()). Returned pointers are borrowed from this value.
    jsVar* getValue(const std::string& key) const;
    jsVar* getValue(int index) const;
    // Whether a number beyond the range of a double (1e999, read as an infinity) stands anywhere
    // in this value.
    bool holdsInfinity() const;

    bool getStr(std::string& out) const;
    bool getStr(const std::string& key, std::string& out) const;
    bool getStr(int index, std::string& out) const;
    // The text of a string value without a copy (borrowed); null for every other kind.
    // For large texts such as a Base64 sequence.
    const std::string* strValue() const { return kind == JS_STRING ? str() : nullptr; }
    std::string* strValue() { return kind == JS_STRING ? static_cast<std::string*>(payload) : nullptr; }

    // A bool, or a number exactly 0.0 or 1.0.
    bool getBool(bool& out) const;
    bool getBool(const std::string& key, bool& out) const;
    bool getBool(int index, bool& out) const;

    // Numbers only. Conversions (NaN gives 0 for every integer type):
    //   double        copied
    //   long, int     truncated toward zero, saturated to the signed 32-bit range
    //                 (long too, whatever its width on the build host)
    //   unsigned int  truncated, saturated to 0 .. 4294967295
    //   short         low 16 bits of the signed 32-bit result (40000 -> -25536)
    //   unsigned char low 8 bits of the unsigned 32-bit result (300 -> 44, -5 -> 0)
    //   long long     truncated toward zero, saturated to the signed 64-bit range
    bool getNumber(double& out) const;
    bool getNumber(long& out) const;
    bool getNumber(int& out) const;
    bool getNumber(short& out) const;
    bool getNumber(unsigned char& out) const;
    bool getNumber(unsigned int& out) const;
    bool getNumber(long long& out) const;
    bool getNumber(const std::string& key, double& out) const;
    bool getNumber(const std::string& key, long& out) const;
    bool getNumber(const std::string& key, int& out) const;
    bool getNumber(const std::string& key, short& out) const;
    bool getNumber(const std::string& key, unsigned char& out) const;
    bool getNumber(const std::string& key, unsigned int& out) const;
    bool getNumber(const std::string& key, long long& out) const;
    bool getNumber(int index, double& out) const;
    bool getNumber(int index, long& out) const;
    bool getNumber(int index, int& out) const;
    bool getNumber(int index, short& out) const;
    bool getNumber(int index, unsigned char& out) const;
    bool getNumber(int index, unsigned int& out) const;
    bool getNumber(int index, long long& out) const;

    // Number of elements of an array; 0 for every other kind.
    unsigned length() const;

    // Members of an object in key order; an empty range for every other kind.
    const_iterator begin() const;
    const_iterator end() const;

    // Modifiers; on the wrong kind they do nothing (and the caller keeps ownership of
    // a value it passed). A null value pointer stores a new null value.
    void setValue(std::string key, const std::string& text);  // object: key = string
    void setValue(std::string key, jsVar* value);             // object: key = value, owned
    void removeValue(std::string key);                        // object: destroy member
    void pushback(jsVar* value);                              // array: append, owned

    // A new, independent deep copy.
    jsVar* clone() const;

    // A string's text as it is; any other value as JsonWriter::write writes it.
    std::string asString() const;

    // Parses a text in strict mode; null when the text is not accepted.
    static jsVar* parse(const std::string& text);

    // Live values: all, strings, objects, arrays.
    static uint32_t usage, s_usage, m_usage, a_usage;
    // Reports the four counters in the order usage, s_usage, m_usage, a_usage.
    static void get_usage(double& all, double& strings, double& objects, double& arrays);

private:
    friend class JsonReader;
    friend class JsonWriter;

    void count_up();
    void destroy();
    const std::string* str() const { return static_cast<const std::string*>(payload); }
    double num() const { return *static_cast<const double*>(payload); }
    array_t* arr() const { return static_cast<array_t*>(payload); }
    object_t* obj() const { return static_cast<object_t*>(payload); }
    bool as_bool() const { return *static_cast<const unsigned char*>(payload) != 0; }
    jsVar* member(const std::string& key) const;
    jsVar* element(int index) const;

    // Owned: nothing for null, std::string, double, array_t, object_t, one byte 0/1.
    void* payload;

    static const object_t dummy_map;
};

// Parses one value in strict mode from the stream into a new tree owned by the
// caller; stores null when the input is not accepted. Returns the stream.
std::istream& operator>>(std::istream& is, jsVar*& value);

// One parse. Strict mode (STRICT): the top level must be an object and strings are
// double-quoted only. Any other mode is lenient: any value at the top level, and
// strings may also be single-quoted.
//
// Grammar decisions worth knowing: bare-word object keys (letters and digits,
// starting with a letter); the bare words null, true and false (case-sensitive);
// numbers as the classic-locale formatted extraction of a double reads them (a
// leading '+' and leading zeros accepted, out-of-range magnitudes rejected);
// anything after the top-level value is left unread. Inside strings, a raw line
// feed, an unknown escape and a bad hex digit of a \u escape are reported and
// dropped, and reading goes on; raw control characters are kept. Nesting of more
// than depth_limit() arrays and objects, and more than max_values values, are
// syntax errors.
//
// The reader reads only what it needs from the stream (one character of
// look-ahead, left in the stream), never seeks, and takes runs of plain string
// characters straight from the stream buffer.
class JsonReader {
public:
    enum MODE : int32_t { STRICT = 0, LENIENT = 1 };
    static constexpr int max_depth = 512;
    // Most values one parse builds (containers, members and elements counted); more is a
    // syntax error. Every request of the instrument holds a few dozen values at most (a
    // sequence travels as one Base64 string), so this bounds a tree's memory to a few MB.
    static constexpr uint32_t max_values = 100000;
    // Stack one level of nesting may take on the reading thread (measured: about 200 bytes
    // for the reader's pair of frames per level, and less for freeing a tree); with this
    // wide margin the depth accepted on a thread is also capped by what its stack holds.
    static constexpr size_t stack_per_level = 1024;
    // Stack kept free below the reader's deepest level for the rest of the request.
    static constexpr size_t stack_reserve = 32 * 1024;
    // The deepest nesting accepted on the calling thread: max_depth, or less where the
    // thread's stack could not hold max_depth levels with the margins above.
    static int depth_limit();

    JsonReader(std::istream& is, MODE mode);

    // One value; null when the input is not accepted. The caller owns the result.
    jsVar* parse();

    // Position of the next character to read: line from 1, column from 0.
    int32_t line() const { return line_; }
    int32_t column() const { return column_; }

    // Syntax errors reported so far (recovered errors inside strings included) and
    // the diagnostic text of the last one ("" when there was none):
    //   "syntax error in JSON string.\ntext:" + up to 15 characters before and 15
    //   from the position (blanks left out, unprintable bytes as '.') + 20 blanks + "^\n".
    // The reader prints nothing itself.
    unsigned error_count() const { return errors_; }
    std::string diagnostic() const;

    // Appends the UTF-8 encoding of a code point below 65536; adds nothing above.
    static void append_utf8(std::string& out, uint32_t code_point);

private:
    int nch();
    int nch_skip_blanks();
    int peek();
    int peek_skip_blanks();
    bool eof() const { return at_eof_; }
    jsVar* parse_var(int depth);
    jsVar* parse_object(int depth);
    jsVar* parse_array(int depth);
    bool parse_string(char quote, std::string& out);
    std::string parse_identifier();
    jsVar* parse_number();
    uint32_t parse_hex();
    void syntax_error();
    void remember(const char* from, const char* to);

    std::istream& is_;
    int depth_limit_ = max_depth;
    uint32_t values_ = 0;
    int32_t line_ = 1;
    int32_t column_ = 0;
    MODE mode_;

    std::streambuf* buf_ = nullptr;
    bool at_eof_ = false;
    unsigned errors_ = 0;
    // The input around the last syntax error.
    char window_[30] = {};
    unsigned window_size_ = 0;
    // The last characters read, for the diagnostic window.
    static constexpr unsigned history_size = 16;
    char history_[history_size] = {};
    uint32_t history_count_ = 0;
};

class JsonWriter {
public:
    // JSON text of the value; a null pointer writes null. No blanks except one after
    // the colon of each object member. Numbers as %g with 6 significant digits; a
    // number that is not finite is written as null.
    static void write(std::ostream& os, const jsVar* value);
    // A double-quoted string, valid UTF-8 JSON whatever the text: the double quote, the
    // backslash and the control characters are escaped (\b \f \n \r \t, else \u00xx),
    // and each byte that is not part of a valid UTF-8 sequence becomes \ufffd. Valid UTF-8
    // needing no escape is written byte for byte. The one string escaper of pulserd.
    static void write_string(std::ostream& os, const std::string& text);
    static void write_string(std::ostream& os, const char* text, size_t length);
};

// Thin writers for replies written member by member. Each wraps a stream; each
// `<<` writes one piece and returns the stream, so that numbers, booleans (as 1/0)
// and braces go through the stream's own `<<` and the next piece through a new
// writer made from it:
//   ObjectWriter::FirstKeyWriter(os) << "a" << 1;   // "a":1
//   ObjectWriter::KeyWriter(os) << "b";             // ,"b":
//   ObjectWriter::ValueWriter(os) << "text";        // "text"
// Keys and texts are escaped as JsonWriter::write_string escapes them.
struct ObjectWriter {
    struct KeyWriter {
        explicit KeyWriter(std::ostream& s) : os(s) {}
        std::ostream& os;
    };
    struct FirstKeyWriter {
        explicit FirstKeyWriter(std::ostream& s) : os(s) {}
        std::ostream& os;
    };
    struct ValueWriter {
        explicit ValueWriter(std::ostream& s) : os(s) {}
        std::ostream& os;
    };
};

std::ostream& operator<<(ObjectWriter::KeyWriter w, const std::string& key);
std::ostream& operator<<(ObjectWriter::FirstKeyWriter w, const std::string& key);
std::ostream& operator<<(ObjectWriter::ValueWriter w, const std::string& text);
// A null text puts the stream into its bad state; the closing quote is not written.
std::ostream& operator<<(ObjectWriter::ValueWriter w, const char* text);
