// The simulator's control channel: lets tests, demos and tools outside the process read and
// write registers, inject faults and trigger edges and read what the slots would play.
//
// Wire form: a Unix stream socket (pulserd in the sim build listens at
// "$TARVEX_ROOT/sim/control.sock"). Each request is one line holding one JSON object with the
// command name in "cmd"; each reply is one line holding one JSON object: {"ok":true, ...results}
// or {"ok":false,"error":"text"}. A connection may carry any number of requests. The same socket
// also answers an HTTP/1.x POST whose body is the JSON request (for curl --unix-socket).
//
// Feature modules add their own commands with on_command (or SIM_COMMAND) from their own files.
// Handlers run on the channel's thread; they take the device lock for anything that must be
// consistent across several registers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sim {
namespace control {

// A failed request: the text goes to the client as "error".
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A JSON value being built for a reply.
class Json {
public:
    Json() : kind_(Kind::Null) {}
    Json(bool v);
    Json(int v) : Json(static_cast<long long>(v)) {}
    Json(unsigned v) : Json(static_cast<unsigned long long>(v)) {}
    Json(long v) : Json(static_cast<long long>(v)) {}
    Json(unsigned long v) : Json(static_cast<unsigned long long>(v)) {}
    Json(long long v);
    Json(unsigned long long v);
    Json(double v);
    Json(const char* v) : Json(std::string(v)) {}
    Json(const std::string& v);

    static Json object();
    static Json array();

    // Object member (replaces an existing one of the same name); returns *this.
    Json& set(const std::string& key, Json value);
    // Array element; returns *this.
    Json& push(Json value);

    bool is_object() const { return kind_ == Kind::Object; }
    std::string dump() const;

private:
    enum class Kind { Null, Scalar, Object, Array };
    Kind kind_;
    std::string text_;  // rendered scalar
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> elements_;
};

// One parsed request: a flat JSON object. Numbers may also be given as text ("0x43C0002C").
class Request {
public:
    // Throws Error when `line` is not a JSON object with a text "cmd".
    explicit Request(const std::string& line);

    const std::string& command() const { return command_; }
    bool has(const std::string& key) const { return values_.count(key) != 0; }

    // Typed access; the forms without a default throw Error when the key is missing or unusable.
    std::string text(const std::string& key) const;
    std::string text(const std::string& key, const std::string& fallback) const;
    uint64_t u64(const std::string& key) const;
    uint64_t u64(const std::string& key, uint64_t fallback) const;
    int64_t i64(const std::string& key) const;
    int64_t i64(const std::string& key, int64_t fallback) const;
    uint32_t u32(const std::string& key) const;
    uint32_t u32(const std::string& key, uint32_t fallback) const;
    bool flag(const std::string& key, bool fallback) const;

private:
    struct Value {
        enum Kind { Text, Unsigned, Signed, Real, Bool, Other } kind = Other;
        std::string text;
        uint64_t u = 0;
        int64_t i = 0;
        double d = 0.0;
        bool b = false;
    };
    const Value& value(const std::string& key) const;

    std::string command_;
    std::map<std::string, Value> values_;
};

// A handler answers with an object of result members (or null for none), or throws Error.
using Handler = std::function<Json(const Request&)>;

// Registers a command; a later registration of the same name replaces the earlier one.
void on_command(const std::string& name, Handler handler, const std::string& help = "");

// Answers one request line with one reply line (no line break). Never throws.
std::string handle(const std::string& line);

// Starts listening at `socket_path` on a thread of its own (creates the folder, replaces a
// stale socket file). Returns false when the socket cannot be made. Called again with the same
// path it does nothing; with another path the channel moves there.
bool start_server(const std::string& socket_path);
// The socket pulserd uses: "$TARVEX_ROOT/sim/control.sock".
std::string default_socket_path();

}  // namespace control
}  // namespace sim
