#include "support/http_client.h"

#include <cctype>
#include <cstdlib>

#include "support/tcp_client.h"

namespace testsupport {

HttpReply http_request(int port, const std::string& method, const std::string& path, const std::string& body,
                       const std::string& extra_headers) {
    HttpReply reply;
    TcpClient conn(static_cast<uint16_t>(port));
    if (!conn.connected()) return reply;
    std::string request = method + " " + path + " HTTP/1.0\r\n" +
                          (extra_headers.find("Host:") == std::string::npos ? "Host: 127.0.0.1\r\n" : "") +
                          extra_headers;
    if (extra_headers.find("Content-Length") == std::string::npos && (!body.empty() || method == "POST"))
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    conn.sendBytes(request.data(), request.size());
    // Until the server closes, or until a declared body length has arrived.
    char buf[65536];
    long long expected = -1;
    for (;;) {
        ssize_t n = recv(conn.fd(), buf, sizeof(buf), 0);
        if (n <= 0) break;
        reply.raw.append(buf, static_cast<size_t>(n));
        size_t split = reply.raw.find("\r\n\r\n");
        if (split == std::string::npos) continue;
        if (expected < 0) {
            std::string head = reply.raw.substr(0, split);
            for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t cl = head.find("\r\ncontent-length:");
            if (cl == std::string::npos)
                expected = -2;
            else
                expected = std::atoll(head.c_str() + cl + 17);
        }
        if (expected >= 0 && static_cast<long long>(reply.raw.size() - split - 4) >= expected) break;
    }
    size_t split = reply.raw.find("\r\n\r\n");
    reply.head = reply.raw.substr(0, split);
    reply.body = split == std::string::npos ? "" : reply.raw.substr(split + 4);
    if (reply.raw.compare(0, 9, "HTTP/1.1 ") == 0 || reply.raw.compare(0, 9, "HTTP/1.0 ") == 0)
        reply.status = std::atoi(reply.raw.c_str() + 9);
    return reply;
}

}  // namespace testsupport
