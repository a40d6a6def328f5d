// A minimal HTTP/1.0 client over loopback for tests: one request, the whole raw answer.
#pragma once

#include <string>

namespace testsupport {

struct HttpReply {
    int status = 0;    // 0 when no status line arrived
    std::string head;  // status line and headers
    std::string body;
    std::string raw;  // everything received
};

// Sends `method path` with the body (a Content-Length header is added when `body` is not empty
// or `extra_headers` carries none; "Host: 127.0.0.1" unless they carry one) and reads until the server closes the connection or the
// reply's declared Content-Length has arrived.
HttpReply http_request(int port, const std::string& method, const std::string& path, const std::string& body = "",
                       const std::string& extra_headers = "");

}  // namespace testsupport
