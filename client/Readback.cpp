// Readback of a slot over HTTP (port 8050): GET /api/slot/<N>/segments?from=<i>&max=<count>,
// answered with {"slot":N,"from":i,"segments":[[ticks,digital,code0,code1],...],"more":bool,
// "error":""}. Pages are asked for until "more" is false; each reply is bounded in size and time.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "json_reader.h"
#include "net.h"
#include "tarvex/Client.h"

namespace tarvex {

namespace {

constexpr size_t PAGE = 16384;                        // segments asked for per request
constexpr size_t MAX_HEADER_BYTES = 16 * 1024;        // status line and header fields
constexpr size_t MAX_BODY_BYTES = size_t(8) << 20;    // a page of PAGE segments is below 1 MiB
constexpr uint64_t MAX_SEGMENTS = uint64_t(1) << 27;  // more than a slot's memory can describe

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// One GET with "Connection: close"; the body of a 200 answer (plain, with Content-Length, or chunked).
std::string http_get(const std::string& host, uint16_t port, const std::string& path,
                     std::chrono::milliseconds timeout) {
    net::Connection link(host, port, timeout);
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    iovec piece{request.data(), request.size()};
    if (!link.send(&piece, 1, timeout))
        throw Error(Error::Unreachable, link.endpoint() + " closed the connection", link.endpoint());

    const auto deadline = net::Clock::now() + timeout;
    std::string data;
    size_t header_end = std::string::npos;
    char buffer[65536];
    for (;;) {
        const size_t n = link.receiveSome(buffer, sizeof buffer, deadline);
        if (n == 0) break;
        data.append(buffer, n);
        if (header_end == std::string::npos) {
            header_end = data.find("\r\n\r\n");
            if (header_end == std::string::npos && data.size() > MAX_HEADER_BYTES)
                throw Error(Error::Protocol, link.endpoint() + " sent an oversized HTTP header", link.endpoint());
        }
        if (data.size() > MAX_HEADER_BYTES + MAX_BODY_BYTES)
            throw Error(Error::Protocol,
                        link.endpoint() + " sent a reply above " + std::to_string(MAX_BODY_BYTES) + " bytes",
                        link.endpoint());
    }
    if (header_end == std::string::npos)
        throw Error(Error::Protocol, link.endpoint() + " sent no complete HTTP reply", link.endpoint());
    const std::string head = lower(data.substr(0, header_end + 2));
    std::string body = data.substr(header_end + 4);
    const size_t space = head.find(' ');
    const int status = space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
    if (head.compare(0, 5, "http/") != 0 || status == 0)
        throw Error(Error::Protocol, link.endpoint() + " sent no HTTP status line", link.endpoint());
    if (status == 404)
        throw Error(Error::Refused,
                    "the instrument at " + link.endpoint() + " has no readback (HTTP 404 for " + path + ")",
                    link.endpoint(), status);
    if (status != 200)
        throw Error(Error::Refused, "the instrument answered HTTP " + std::to_string(status) + " for " + path,
                    link.endpoint(), status);
    if (head.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos) {
        std::string plain;
        size_t at = 0;
        for (;;) {
            const size_t line_end = body.find("\r\n", at);
            if (line_end == std::string::npos)
                throw Error(Error::Protocol, link.endpoint() + " cut a chunked reply short", link.endpoint());
            const unsigned long size = std::strtoul(body.c_str() + at, nullptr, 16);
            at = line_end + 2;
            if (size == 0) break;
            if (size > body.size() - at)
                throw Error(Error::Protocol, link.endpoint() + " cut a chunked reply short", link.endpoint());
            plain.append(body, at, size);
            at += size + 2;
        }
        body.swap(plain);
    } else {
        const size_t length_at = head.find("\r\ncontent-length:");
        if (length_at != std::string::npos) {
            const unsigned long length = std::strtoul(head.c_str() + length_at + 17, nullptr, 10);
            if (length > body.size())
                throw Error(Error::Protocol, link.endpoint() + " cut a reply short", link.endpoint());
            body.resize(length);
        }
    }
    return body;
}

bool whole(const json::Value* v, double max) {
    return v && v->type == json::Value::Number && v->number >= 0 && v->number <= max &&
           std::floor(v->number) == v->number;
}

}  // namespace

void Client::readback(unsigned slot, const std::function<void(const std::vector<Segment>&)>& sink) {
    const std::string where = endpoint(host_, ports_.http);
    auto malformed = [&](const std::string& what) {
        return Error(Error::Protocol, where + " sent a malformed readback page: " + what, where);
    };
    std::vector<Segment> page;
    std::string version;  // of the slot's contents: pages of two contents are refused
    for (uint64_t from = 0;;) {
        const std::string body =
            http_get(host_, ports_.http,
                     "/api/slot/" + std::to_string(slot) + "/segments?from=" + std::to_string(from) +
                         "&max=" + std::to_string(PAGE) + version,
                     timeout_);
        json::Value reply;
        std::string error;
        if (!json::parse(body.data(), body.size(), reply, error)) throw malformed(error);
        const json::Value* text = reply.find("error");
        if (text && text->type == json::Value::String && !text->text.empty())
            throw Error(Error::Refused,
                        "the instrument refused the readback of slot " + std::to_string(slot) + ": " + text->text,
                        where);
        const json::Value* segments = reply.find("segments");
        const json::Value* more = reply.find("more");
        const json::Value* at = reply.find("from");
        if (!segments || segments->type != json::Value::Array || !more || more->type != json::Value::Bool)
            throw malformed("\"segments\" and \"more\" expected");
        if (!whole(at, 1e18) || static_cast<uint64_t>(at->number) != from)
            throw malformed("\"from\" is not " + std::to_string(from));
        if (segments->items.size() > PAGE || (more->boolean && segments->items.empty()))
            throw malformed(std::to_string(segments->items.size()) + " segments");
        page.clear();
        for (const json::Value& s : segments->items) {
            if (s.type != json::Value::Array || s.items.size() != 4 || !whole(&s.items[0], 1.8e19) ||
                !whole(&s.items[1], 255) || !whole(&s.items[2], 0x3FFF) || !whole(&s.items[3], 0x3FFF))
                throw malformed("segment " + std::to_string(from + page.size()) +
                                " is not [ticks,digital,code0,code1]");
            page.push_back(Segment{static_cast<uint64_t>(s.items[0].number), static_cast<uint8_t>(s.items[1].number),
                                   static_cast<uint16_t>(s.items[2].number), static_cast<uint16_t>(s.items[3].number)});
        }
        const json::Value* contents = reply.find("version");
        if (version.empty() && whole(contents, 1e15))
            version = "&version=" + std::to_string(static_cast<uint64_t>(contents->number));
        from += page.size();
        if (from > MAX_SEGMENTS) throw malformed("more than " + std::to_string(MAX_SEGMENTS) + " segments");
        if (!page.empty()) sink(page);
        if (!more->boolean) return;
    }
}

}  // namespace tarvex
