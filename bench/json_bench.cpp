// Reading a JSON-RPC "stream" request whose sequence is a 24,000,000-character Base64
// text: JsonReader through a std::istream over memory, against RapidJSON (default
// parse flags, same text, same run) and a plain copy of the text as the floor.
#include "common/json.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>

namespace {

constexpr size_t base64_chars = 24000000;

const std::string& stream_request() {
    static const std::string body = [] {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::mt19937 rng(8);
        std::string b64(base64_chars, 'A');
        for (char& c : b64) c = alphabet[rng() & 63];
        return "{\"jsonrpc\":\"2.0\",\"method\":\"stream\",\"params\":[\"" + b64 + "\",-1,[10,255,0,0]],\"id\":1}";
    }();
    return body;
}

// An istream's buffer over text already in memory: the whole text is one get area.
class MemoryBuf : public std::streambuf {
public:
    explicit MemoryBuf(const std::string& text) {
        char* p = const_cast<char*>(text.data());
        setg(p, p, p + text.size());
    }
};

// The same text handed out a fixed number of bytes per refill, as a network body arrives.
class ChunkedBuf : public std::streambuf {
public:
    ChunkedBuf(const std::string& text, size_t chunk) : text_(text), chunk_(chunk) {}

protected:
    int_type underflow() override {
        if (pos_ >= text_.size()) return traits_type::eof();
        const size_t n = std::min(chunk_, text_.size() - pos_);
        std::memcpy(window_, text_.data() + pos_, n);
        setg(window_, window_, window_ + n);
        pos_ += n;
        return traits_type::to_int_type(window_[0]);
    }

private:
    const std::string& text_;
    size_t chunk_;
    size_t pos_ = 0;
    char window_[65536];
};

// Whether the request was read with its whole sequence (checked outside the timing).
bool read_whole(std::istream& is) {
    jsVar* v = nullptr;
    is >> v;
    std::unique_ptr<jsVar> owned(v);
    std::string seq;
    return v && v->getValue("params") && v->getValue("params")->getStr(0, seq) && seq.size() == base64_chars;
}

void BM_JsonReader(benchmark::State& state) {
    const std::string& body = stream_request();
    MemoryBuf check(body);
    std::istream check_is(&check);
    if (!read_whole(check_is)) state.SkipWithError("request not read");
    for (auto _ : state) {
        MemoryBuf buf(body);
        std::istream is(&buf);
        jsVar* v = nullptr;
        is >> v;
        benchmark::DoNotOptimize(v);
        delete v;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_JsonReaderChunked(benchmark::State& state) {
    const std::string& body = stream_request();
    const auto chunk = static_cast<size_t>(state.range(0));
    ChunkedBuf check(body, chunk);
    std::istream check_is(&check);
    if (!read_whole(check_is)) state.SkipWithError("request not read");
    for (auto _ : state) {
        ChunkedBuf buf(body, chunk);
        std::istream is(&buf);
        jsVar* v = nullptr;
        is >> v;
        benchmark::DoNotOptimize(v);
        delete v;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_RapidJson(benchmark::State& state) {
    const std::string& body = stream_request();
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(body.data(), body.size());
        if (d.HasParseError() || !d["params"][0].IsString() || d["params"][0].GetStringLength() != base64_chars)
            state.SkipWithError("rapidjson failed");
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// The floor: one copy of the text into a fresh string.
void BM_CopyText(benchmark::State& state) {
    const std::string& body = stream_request();
    for (auto _ : state) {
        std::string copy(body.data(), body.size());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

BENCHMARK(BM_JsonReader)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RapidJson)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JsonReaderChunked)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyText)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
