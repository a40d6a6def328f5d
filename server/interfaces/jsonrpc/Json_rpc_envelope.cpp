// The JSON-RPC envelope, the parameter readers and the "stream" payload conversion. Nothing
// here touches the device: the method table lives in Json_rpc.cpp.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "common/Base64Dec.h"
#include "common/CpuTime.h"
#include "interfaces/jsonrpc/Httpd.h"
#include "interfaces/jsonrpc/Json_rpc.h"

// ---- reply pieces ----

void write_json_text(std::ostream& os, const std::string& text) { JsonWriter::write_string(os, text); }

void write_json_error(std::ostream& os, int code, const char* message, const std::string& data) {
    os << ",\"error\":{\"code\":" << code << ",\"message\":\"" << message << "\",\"data\":";
    write_json_text(os, data);
    os << '}';
}

void write_invalid_parameter(std::ostream& os, const std::string& data) {
    write_json_error(os, JSONRPC_INVALID_PARAMETER, "invalid parameter", data);
}

// ---- the envelope ----

namespace {

const char* const reply_head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";

// Reads the request; null when the body is not one JSON object (or cannot be held).
std::unique_ptr<jsVar> read_request(std::istream& in) {
    jsVar* request = nullptr;
    try {
        in >> request;
    } catch (const std::exception& e) {
        std::cout << "json-rpc: request not read: " << e.what() << std::endl;
        request = nullptr;
    }
    return std::unique_ptr<jsVar>(request);
}

bool refused_params_kind(const jsVar* params) {
    if (!params) return false;
    switch (params->kind) {
        case jsVar::JS_NUMBER:
        case jsVar::JS_BOOL: return true;
        case jsVar::JS_STRING: {
            std::string text;
            params->getStr(text);
            return !text.empty();
        }
        default: return false;
    }
}

}  // namespace

void Httpd::serveJsonRpc(std::istream& in, std::ostream& out) {
    std::unique_ptr<jsVar> request = read_request(in);
    out << reply_head;

    std::ostringstream body;
    body << "{\"jsonrpc\":\"2.0\"";
    if (request) {
        std::string version, method;
        bool has_version = request->getStr("jsonrpc", version);
        bool has_method = request->getStr("method", method);
        const jsVar* id = request->getValue("id");

        bool id_ok = false;
        body << ",\"id\":";
        int number = 0;
        double exact = 0;
        if (id && id->kind == jsVar::JS_NUMBER && id->getNumber(exact) && std::isfinite(exact)) {
            id->getNumber(number);
            body << number;
            id_ok = true;
        } else if (id && id->kind == jsVar::JS_STRING) {
            std::string text;
            id->getStr(text);
            write_json_text(body, text);
            id_ok = true;
        } else {
            body << "\"null\"";
        }

        jsVar* params = request->getValue("params");
        if (!has_method || !has_version || version != "2.0" || !id_ok) {
            write_json_error(body, JSONRPC_INVALID_REQUEST, "invalid request", "bad protocol");
        } else if (refused_params_kind(params)) {
            write_json_error(body, JSONRPC_INVALID_REQUEST, "invalid request", "bad parameter");
        } else if (params && params->holdsInfinity()) {
            write_invalid_parameter(body, "number out of range");
        } else {
            ObjectWriter::KeyWriter writer(body);
            if (jsonRPC(method, writer, params) == 404)
                write_json_error(body, JSONRPC_METHOD_NOT_FOUND, "method not found", method);
        }
    }
    body << '}';
    request.reset();

    const std::string text = body.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
}

int Httpd::jsonRPC(std::string&, ObjectWriter::KeyWriter&, jsVar*) { return 404; }

// ---- parameter readers ----

namespace {

template <class Enum, size_t N>
bool read_enum(const jsVar* value, Enum& out, std::ostream& reply, const char* const (&names)[N],
               const char* not_a_name, const char* wrong_kind) {
    if (value && value->kind == jsVar::JS_STRING) {
        std::string text;
        value->getStr(text);
        for (size_t i = 0; i < N; ++i) {
            if (text == names[i]) {
                out = static_cast<Enum>(i);
                return true;
            }
        }
        write_invalid_parameter(reply, not_a_name);
        return false;
    }
    if (value && value->kind == jsVar::JS_NUMBER) {
        // The enumerator's value as it stands, unchecked.
        int number = 0;
        value->getNumber(number);
        out = static_cast<Enum>(static_cast<uint32_t>(number));
        return true;
    }
    write_invalid_parameter(reply, wrong_kind);
    return false;
}

const char* const start_names[] = {"IMMEDIATE", "SOFTWARE", "HARDWARE_RISING", "HARDWARE_FALLING",
                                   "HARDWARE_RISING_AND_FALLING"};
const char* const rearm_names[] = {"AUTO", "MANUAL"};
const char* const clock_names[] = {"INTERNAL", "EXT_125MHZ", "EXT_10MHZ"};

}  // namespace

bool read_json_start(const jsVar* value, start_t& out, std::ostream& reply) {
    return read_enum(value, out, reply, start_names, "start is not a valid instance of enum TriggerStart",
                     "start is neither a string nor a number");
}

bool read_json_rearm(const jsVar* value, trigger_rearm_t& out, std::ostream& reply) {
    return read_enum(value, out, reply, rearm_names, "mode is not 'AUTO' or 'MANUAL'",
                     "rearm is neither a string nor a number");
}

bool read_json_clock(const jsVar* value, clocksource_t& out, std::ostream& reply) {
    return read_enum(value, out, reply, clock_names, "clock_source is not 'INTERNAL' or 'EXT_125MHZ' or 'EXT_10MHZ'",
                     "clock_source is neither a string nor a number");
}

bool read_serial(const jsVar* value, serial_t& out, std::ostream& reply) {
    if (value && value->kind == jsVar::JS_NUMBER) {
        int number = -1;
        value->getNumber(number);
        if (number != ID && number != MAC) {
            write_invalid_parameter(reply, "serial is not 'ID=0' or 'MAC=1'");
            return false;
        }
        out = static_cast<serial_t>(number);
        return true;
    }
    const char* const names[] = {"ID", "MAC"};
    return read_enum(value, out, reply, names, "serial is not 'ID' or 'MAC'",
                     "serial is neither a string nor a number");
}

bool read_json_pulse(const jsVar* value, Pulse& out, std::ostream& reply) {
    // Read into aligned fields: Pulse is packed, its members cannot be bound to references.
    uint8_t digi = 0;
    int16_t ao0 = 0, ao1 = 0;
    if (value && value->kind == jsVar::JS_ARRAY) {
        if (value->length() != 4) {
            write_invalid_parameter(reply, "number of elements in pulse is not 4");
            return false;
        }
        value->getNumber(1, digi);
        value->getNumber(2, ao0);
        value->getNumber(3, ao1);
    } else if (value && value->kind == jsVar::JS_OBJECT) {
        value->getNumber("digi", digi);
        value->getNumber("ao0", ao0);
        value->getNumber("ao1", ao1);
    } else {
        write_invalid_parameter(reply, "pulse is neither an Array nor an Object");
        return false;
    }
    out = Pulse{0xFFFF, digi, ao0, ao1};
    return true;
}

// ---- the "stream" payload ----

namespace {

inline uint32_t be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

inline int16_t be16(const unsigned char* p) { return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1])); }

double seconds_since(double since) { return cpu_seconds() - since; }

}  // namespace

bool read_json_seq(const jsVar* value, std::vector<Pulse>& seq) {
    seq.clear();
    const double t0 = cpu_seconds();

    // The text is decoded where it lies; only other kinds are turned into text first.
    std::string converted;
    const std::string* text = value ? value->strValue() : nullptr;
    if (!text) {
        // The text of an array or an object starts with a character outside the Base64
        // alphabet: it decodes to nothing, so it is not written out (a deep tree would only
        // cost stack).
        const bool container = value && (value->kind == jsVar::JS_ARRAY || value->kind == jsVar::JS_OBJECT);
        converted = container ? std::string() : value ? value->asString() : std::string("null");
        text = &converted;
    }
    size_t valid = base64_valid_length(text->data(), text->size());
    size_t length = base64_decoded_size(valid);
    if (length > MAX_JSON_SEQUENCE_BYTES) return false;

    std::cout << "time: base64 dec " << seconds_since(t0) << "\n";
    const double t1 = cpu_seconds();

    // Decoded straight into the pulse list, one block of whole records at a time, so the
    // decoded bytes never exist as a second copy of the payload.
    const size_t records = length / 9;
    seq.reserve(records);
    constexpr size_t block_records = 1024;                     // 9 KiB of bytes ...
    constexpr size_t block_chars = block_records * 9 / 3 * 4;  // ... from 12 Ki characters
    unsigned char block[block_records * 9 + 4];
    const char* in = text->data();
    size_t left = valid;
    while (seq.size() < records && left > 0) {
        size_t chars = left < block_chars ? left : block_chars;
        size_t n = base64_decode(in, chars, block);
        in += chars;
        left -= chars;
        for (size_t off = 0; off + 9 <= n && seq.size() < records; off += 9) {
            const unsigned char* r = block + off;
            seq.push_back(Pulse{be32(r), r[4], be16(r + 5), be16(r + 7)});
        }
    }

    std::cout << "time: binary dec " << seconds_since(t1) << std::endl;
    return true;
}

void print_json_call(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state) {
    std::ostringstream line;
    line << "jRPC call: len: " << seq.size() << ", n_runs: " << n_runs << ", final: " << final_state.ticks << "|"
         << static_cast<unsigned>(final_state.digi) << "|" << final_state.ao0 << "|" << final_state.ao1 << ", \n";
    std::cout << line.str() << std::flush;
}
