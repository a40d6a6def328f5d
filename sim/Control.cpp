#include "sim/Modules.h"
#include "sim/Control.h"

#include <rapidjson/document.h>
#include <sys/socket.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/Fpga.h"
#include "sim/System.h"

namespace sim {
namespace control {

// ---- Json ----

namespace {
std::string quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}
}  // namespace

Json::Json(bool v) : kind_(Kind::Scalar), text_(v ? "true" : "false") {}
Json::Json(long long v) : kind_(Kind::Scalar), text_(std::to_string(v)) {}
Json::Json(unsigned long long v) : kind_(Kind::Scalar), text_(std::to_string(v)) {}
Json::Json(double v) : kind_(Kind::Scalar) {
    if (!std::isfinite(v)) {
        text_ = "null";
        return;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    text_ = buf;
}
Json::Json(const std::string& v) : kind_(Kind::Scalar), text_(quote(v)) {}

Json Json::object() {
    Json j;
    j.kind_ = Kind::Object;
    return j;
}
Json Json::array() {
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json& Json::set(const std::string& key, Json value) {
    kind_ = Kind::Object;
    for (auto& m : members_)
        if (m.first == key) {
            m.second = std::move(value);
            return *this;
        }
    members_.emplace_back(key, std::move(value));
    return *this;
}

Json& Json::push(Json value) {
    kind_ = Kind::Array;
    elements_.push_back(std::move(value));
    return *this;
}

std::string Json::dump() const {
    switch (kind_) {
        case Kind::Null: return "null";
        case Kind::Scalar: return text_;
        case Kind::Object: {
            std::string out = "{";
            for (size_t i = 0; i < members_.size(); ++i) {
                if (i) out += ",";
                out += quote(members_[i].first) + ":" + members_[i].second.dump();
            }
            return out + "}";
        }
        case Kind::Array: {
            std::string out = "[";
            for (size_t i = 0; i < elements_.size(); ++i) {
                if (i) out += ",";
                out += elements_[i].dump();
            }
            return out + "]";
        }
    }
    return "null";
}

// ---- Request ----

Request::Request(const std::string& line) {
    rapidjson::Document doc;
    doc.Parse(line.c_str(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) throw Error("request is not a JSON object");
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        Value v;
        const auto& j = it->value;
        if (j.IsString()) {
            v.kind = Value::Text;
            v.text.assign(j.GetString(), j.GetStringLength());
        } else if (j.IsBool()) {
            v.kind = Value::Bool;
            v.b = j.GetBool();
        } else if (j.IsUint64()) {
            v.kind = Value::Unsigned;
            v.u = j.GetUint64();
        } else if (j.IsInt64()) {
            v.kind = Value::Signed;
            v.i = j.GetInt64();
        } else if (j.IsNumber()) {
            v.kind = Value::Real;
            v.d = j.GetDouble();
        }
        values_[std::string(it->name.GetString(), it->name.GetStringLength())] = v;
    }
    auto cmd = values_.find("cmd");
    if (cmd == values_.end() || cmd->second.kind != Value::Text) throw Error("request has no \"cmd\" text");
    command_ = cmd->second.text;
}

const Request::Value& Request::value(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) throw Error("missing \"" + key + "\"");
    return it->second;
}

std::string Request::text(const std::string& key) const {
    const Value& v = value(key);
    if (v.kind != Value::Text) throw Error("\"" + key + "\" must be a text");
    return v.text;
}
std::string Request::text(const std::string& key, const std::string& fallback) const {
    return has(key) ? text(key) : fallback;
}

uint64_t Request::u64(const std::string& key) const {
    const Value& v = value(key);
    switch (v.kind) {
        case Value::Unsigned: return v.u;
        case Value::Text: {
            errno = 0;
            char* end = nullptr;
            unsigned long long n = std::strtoull(v.text.c_str(), &end, 0);
            if (v.text.empty() || *end != '\0' || errno != 0 || v.text[0] == '-')
                throw Error("\"" + key + "\" is not an unsigned number");
            return n;
        }
        default: throw Error("\"" + key + "\" is not an unsigned number");
    }
}
uint64_t Request::u64(const std::string& key, uint64_t fallback) const { return has(key) ? u64(key) : fallback; }

int64_t Request::i64(const std::string& key) const {
    const Value& v = value(key);
    switch (v.kind) {
        case Value::Signed: return v.i;
        case Value::Unsigned:
            if (v.u > static_cast<uint64_t>(INT64_MAX)) throw Error("\"" + key + "\" is out of range");
            return static_cast<int64_t>(v.u);
        case Value::Text: {
            errno = 0;
            char* end = nullptr;
            long long n = std::strtoll(v.text.c_str(), &end, 0);
            if (v.text.empty() || *end != '\0' || errno != 0) throw Error("\"" + key + "\" is not a number");
            return n;
        }
        default: throw Error("\"" + key + "\" is not an integer");
    }
}
int64_t Request::i64(const std::string& key, int64_t fallback) const { return has(key) ? i64(key) : fallback; }

uint32_t Request::u32(const std::string& key) const {
    uint64_t v = u64(key);
    if (v > 0xFFFFFFFFull) throw Error("\"" + key + "\" does not fit 32 bits");
    return static_cast<uint32_t>(v);
}
uint32_t Request::u32(const std::string& key, uint32_t fallback) const { return has(key) ? u32(key) : fallback; }

bool Request::flag(const std::string& key, bool fallback) const {
    if (!has(key)) return fallback;
    const Value& v = value(key);
    if (v.kind == Value::Bool) return v.b;
    if (v.kind == Value::Unsigned) return v.u != 0;
    throw Error("\"" + key + "\" must be true or false");
}

// ---- Registry and dispatch ----

namespace {
struct Entry {
    Handler handler;
    std::string help;
};
struct Registry {
    std::mutex lock;
    std::map<std::string, Entry> commands;
};
Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: the channel thread may outlive statics
    return *r;
}

std::string error_reply(const std::string& text) { return Json::object().set("ok", false).set("error", text).dump(); }
}  // namespace

void on_command(const std::string& name, Handler handler, const std::string& help) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.commands[name] = Entry{std::move(handler), help};
}

std::string handle(const std::string& line) {
    try {
        Request req(line);
        Handler h;
        {
            Registry& r = registry();
            std::lock_guard<std::mutex> g(r.lock);
            auto it = r.commands.find(req.command());
            if (it == r.commands.end()) return error_reply("unknown command \"" + req.command() + "\"");
            h = it->second.handler;
        }
        Json result = h(req);
        Json reply = Json::object().set("ok", true);
        std::string body = reply.dump();
        if (result.is_object()) {
            std::string more = result.dump();  // "{...}": splice its members behind "ok"
            if (more.size() > 2) body = body.substr(0, body.size() - 1) + "," + more.substr(1);
        }
        return body;
    } catch (const std::exception& e) {
        return error_reply(e.what());
    } catch (...) {
        return error_reply("request failed");
    }
}

// ---- Built-in commands: registers and recorded commands ----

namespace {
Json cmd_help(const Request&) {
    Json list = Json::array();
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (const auto& c : r.commands) list.push(Json::object().set("cmd", c.first).set("help", c.second.help));
    return Json::object().set("commands", list);
}

Json cmd_read(const Request& q) { return Json::object().set("value", device().read(q.u64("addr"))); }

Json cmd_write(const Request& q) {
    device().write(q.u64("addr"), q.u32("value"));
    return Json();
}

Json cmd_peek(const Request& q) { return Json::object().set("value", device().peek(q.u64("addr"))); }

Json cmd_poke(const Request& q) {
    device().poke(q.u64("addr"), q.u32("value"));
    return Json();
}

Json cmd_bits(const Request& q) {
    Fpga& f = device();
    uint64_t addr = q.u64("addr");
    f.set_bits(addr, q.u32("mask"), q.flag("on", true));
    return Json::object().set("value", f.peek(addr));
}

Json cmd_writes(const Request& q) {
    Json list = Json::array();
    for (uint32_t v : device().writes(q.u64("addr"))) list.push(v);
    return Json::object().set("writes", list);
}

Json cmd_commands(const Request&) {
    Json list = Json::array();
    for (const auto& c : commands()) {
        Json argv = Json::array();
        for (const auto& a : c.argv) argv.push(a);
        list.push(Json::object().set("shell", c.shell).set("line", c.line).set("argv", argv));
    }
    return Json::object().set("commands", list);
}
}  // namespace

// ---- Socket server ----

namespace {
bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Longest request line accepted; a longer one ends the connection.
constexpr size_t MAX_REQUEST = 1 << 20;

void serve_http(int fd, const std::string& request_line, std::string& buffer) {
    // Headers follow up to an empty line; the body is Content-Length bytes.
    size_t length = 0;
    for (;;) {
        size_t eol = buffer.find('\n');
        while (eol == std::string::npos) {
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || buffer.size() > MAX_REQUEST) return;
            buffer.append(chunk, static_cast<size_t>(n));
            eol = buffer.find('\n');
        }
        std::string header = buffer.substr(0, eol);
        buffer.erase(0, eol + 1);
        if (!header.empty() && header.back() == '\r') header.pop_back();
        if (header.empty()) break;
        const char* key = "content-length:";
        if (header.size() > std::strlen(key) && strncasecmp(header.c_str(), key, std::strlen(key)) == 0)
            length = std::strtoul(header.c_str() + std::strlen(key), nullptr, 10);
    }
    if (length > MAX_REQUEST) return;
    while (buffer.size() < length) {
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
    }
    std::string body = request_line.rfind("POST ", 0) == 0 ? handle(buffer.substr(0, length))
                                                           : error_reply("send the request as a POST body");
    body += "\n";
    write_all(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

void serve_connection(int fd) {
    std::string buffer;
    bool first = true;
    for (;;) {
        size_t eol = buffer.find('\n');
        if (eol == std::string::npos) {
            if (buffer.size() > MAX_REQUEST) break;
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
            continue;
        }
        std::string line = buffer.substr(0, eol);
        buffer.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first && (line.rfind("POST ", 0) == 0 || line.rfind("GET ", 0) == 0)) {
            serve_http(fd, line, buffer);
            break;
        }
        first = false;
        if (line.empty()) continue;
        if (!write_all(fd, handle(line) + "\n")) break;
    }
    ::close(fd);
}

std::mutex server_lock;
int server_fd = -1;
std::string server_path;
}  // namespace

std::string default_socket_path() { return root() + "/sim/control.sock"; }

bool start_server(const std::string& socket_path) {
    std::lock_guard<std::mutex> g(server_lock);
    if (server_fd >= 0 && server_path == socket_path) return true;

    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "sim control: socket path too long: %s\n", socket_path.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size());

    auto slash = socket_path.rfind('/');
    if (slash != std::string::npos && slash > 0) ::mkdir(socket_path.substr(0, slash).c_str(), 0755);
    ::unlink(socket_path.c_str());

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        std::fprintf(stderr, "sim control: cannot listen at %s: %s\n", socket_path.c_str(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    // Moving to another path (a test's fresh sandbox) ends the previous listener.
    if (server_fd >= 0) ::shutdown(server_fd, SHUT_RDWR);
    server_fd = fd;
    server_path = socket_path;
    std::thread([fd] {
        for (;;) {
            int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINVAL) {  // shut down: the channel moved elsewhere
                    ::close(fd);
                    return;
                }
                if (errno != EINTR && errno != ECONNABORTED) usleep(10000);
                continue;
            }
            std::thread(serve_connection, c).detach();
        }
    }).detach();
    return true;
}

}  // namespace control

void register_control_commands() {
    using namespace control;
    on_command("help", cmd_help, "lists the commands");
    on_command("read", cmd_read, "{addr}: reads a register as the processor would (hooks run)");
    on_command("write", cmd_write, "{addr, value}: writes a register as the processor would (hooks run)");
    on_command("peek", cmd_peek, "{addr}: the stored word, no side effects");
    on_command("poke", cmd_poke, "{addr, value}: replaces the stored word, no side effects");
    on_command("bits", cmd_bits, "{addr, mask, on}: sets (on, default) or clears bits of a stored word");
    on_command("writes", cmd_writes, "{addr}: every value written to a register, in order (bounded)");
    on_command("commands", cmd_commands, "the recorded system commands, in order");
}

}  // namespace sim
