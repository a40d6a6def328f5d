#include <limits>
#include <cmath>
// Fuzz target for JsonReader: arbitrary bytes in both modes, through one buffer and
// through a stream that refills three bytes at a time. Checks, besides the
// sanitizers: both streams give the same result and position; what is accepted
// writes out as text that reads back and writes out the same; numbers take what
// the classic-locale extraction of a double takes; no value outlives its tree.
#include "common/json.h"

#include <cstdint>
#include <cstdlib>
#include <locale>
#include <memory>
#include <sstream>
#include <string>

namespace {

class ChunkedBuf : public std::streambuf {
public:
    explicit ChunkedBuf(const std::string& text) : text_(text) {}

protected:
    int_type underflow() override {
        if (pos_ >= text_.size()) return traits_type::eof();
        const size_t n = std::min<size_t>(3, text_.size() - pos_);
        char* base = &text_[pos_];
        setg(base, base, base + n);
        pos_ += n;
        return traits_type::to_int_type(*base);
    }

private:
    std::string text_;
    size_t pos_ = 0;
};

std::string written(const jsVar* v) {
    std::ostringstream os;
    JsonWriter::write(os, v);
    return os.str();
}

void check(bool ok) {
    if (!ok) std::abort();
}

void run(const std::string& text, JsonReader::MODE mode) {
    std::istringstream whole(text);
    JsonReader reader(whole, mode);
    std::unique_ptr<jsVar> v(reader.parse());

    ChunkedBuf buf(text);
    std::istream chunked(&buf);
    JsonReader reader2(chunked, mode);
    std::unique_ptr<jsVar> v2(reader2.parse());
    check((v == nullptr) == (v2 == nullptr));
    check(reader.line() == reader2.line() && reader.column() == reader2.column());
    check(reader.error_count() == reader2.error_count());
    if (!v) return;
    const std::string out = written(v.get());
    check(out == written(v2.get()));
    // A number beyond a double's range reads as infinity, which JSON cannot write back.
    if (out.find("inf") != std::string::npos || out.find("nan") != std::string::npos) return;

    // What was written reads back. The first write replaces bytes that are not UTF-8 (which can
    // change the order of object keys); from there on writing and reading agree exactly.
    std::istringstream again(out);
    std::unique_ptr<jsVar> back(JsonReader(again, JsonReader::LENIENT).parse());
    check(back != nullptr);
    const std::string settled = written(back.get());
    std::istringstream third(settled);
    std::unique_ptr<jsVar> back2(JsonReader(third, JsonReader::LENIENT).parse());
    check(back2 != nullptr && written(back2.get()) == settled);
    std::unique_ptr<jsVar> copy(v->clone());
    check(written(copy.get()) == out);
}

void compare_number(const std::string& text) {
    std::istringstream ref(text);
    ref.imbue(std::locale::classic());
    double expected = 0;
    ref >> expected;
    // Beyond a double's range the stream fails with the largest double where the reader gives
    // infinity.
    if (ref.fail() && std::fabs(expected) == std::numeric_limits<double>::max()) return;
    const bool ok = !ref.fail();

    std::istringstream is(text);
    JsonReader reader(is, JsonReader::LENIENT);
    std::unique_ptr<jsVar> v(reader.parse());
    check(ok == (v != nullptr));
    if (!ok) return;
    double d = 0;
    check(v->getNumber(d) && (d == expected || (d != d && expected != expected)));
    ref.clear();
    const std::streamoff taken = ref.tellg();
    check(reader.column() == static_cast<int32_t>(taken < 0 ? static_cast<std::streamoff>(text.size()) : taken));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const uint32_t live = jsVar::usage;
    run(text, JsonReader::STRICT);
    run(text, JsonReader::LENIENT);
    if (size && (data[0] == '+' || data[0] == '-' || (data[0] >= '0' && data[0] <= '9'))) compare_number(text);
    check(jsVar::usage == live);
    return 0;
}
