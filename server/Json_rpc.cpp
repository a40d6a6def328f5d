// JSON-RPC over HTTP. The dispatcher and its methods are being completed; until then every
// request is answered with the bare envelope.
#include <unistd.h>

#include <iostream>

#include "Httpd.h"
#include "interfaces.h"

class JsonHttpd : public Httpd {};

void Httpd::serveJsonRpc(std::istream&, std::ostream& out) {
    out << "HTTP/1.1 200 OK\r\n"
        << "Content-Type: application/json\r\n\r\n"
        << "{\"jsonrpc\":\"2.0\"}";
}

void run_json_httpd() {
    std::cout << "Starting Json Http Daemon..." << std::endl;
    JsonHttpd server;
    for (;;) sleep(1);
}
