// The HTTP front end on port 8050: the embedded server serves the web pages from the working
// directory; the program answers the root redirect, the JSON-RPC endpoint "/json-rpc" and any
// registered prefix handlers.
//
// Threads: the library's master thread accepts, its worker threads (num_threads) run the
// callbacks, several requests at a time; device calls are serialised by the device lock. The
// object is set up (handlers, files) before start() and only read by the callbacks after it.
#pragma once

#include <civetweb.h>

#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/json.h"

// One row of a built-in file table; a table ends with a row whose name is null.
struct internal_http_files {
    const char* name;  // relative to the document root, e.g. "/index.html"
    const char* content;
    unsigned int size;
};

// Base of prefix handlers. Override the one overload you need; each default forwards to the
// next simpler form, and the simplest answers 404.
class HttpRequestHandler {
public:
    virtual ~HttpRequestHandler() = default;
    virtual int do_request(mg_connection* conn, const mg_request_info* info, std::istream& in, std::ostream& out);
    virtual int do_request(mg_connection* conn, const mg_request_info* info, std::ostream& out);
    virtual int do_request(const mg_request_info* info, std::istream& in, std::ostream& out);
    virtual int do_request(const mg_request_info* info, std::ostream& out);
    virtual int do_request(std::istream& in, std::ostream& out);
    virtual int do_request(std::ostream& out);
};

// Request bodies above this are refused with 413 before any byte is read (a 2,000,000-pulse
// sequence needs about 24 MB).
constexpr long long MAX_REQUEST_BODY = 64ll * 1024 * 1024;
// After a request body above this, freed memory is handed back to the system.
constexpr long long LARGE_REQUEST_BODY = 1024 * 1024;

// True when a request may drive the instrument: it carries no Origin header (scripts, client
// libraries, curl), or its Origin is the page origin "http://" + Host that the front end serves.
bool same_origin(const char* origin, const char* host);

class Httpd {
public:
    // Prefix handlers, registered before the server starts.
    using Handlers = std::vector<std::pair<const char*, HttpRequestHandler*>>;
    // Sets the options and registers the handlers; start() starts serving.
    explicit Httpd(const Handlers& prefix_handlers = {});
    // Builds the object without a server, for driving serveJsonRpc directly (tests, fuzzing).
    struct Offline {};
    explicit Httpd(Offline) {}
    virtual ~Httpd();
    Httpd(const Httpd&) = delete;
    Httpd& operator=(const Httpd&) = delete;

    // Starts the server once the object (and any derived one) is complete, so that no request
    // meets a half-built object; a start failure (port taken) ends the process with status 1.
    void start();
    void stop() {}
    void addRequesthandler(const char* prefix, HttpRequestHandler* handler);
    void set_internal_files(internal_http_files* table) { internal_files = table; }

    int begin_request(mg_connection* conn);
    void end_request(const mg_connection*, int) {}
    int log_message(const mg_connection*, const char*) { return 0; }
    const char* open_file(mg_connection* conn, const char* path, unsigned int* size);

    // The JSON-RPC envelope on one request body: reads the request, writes the whole reply
    // (status line, header, body) and calls jsonRPC for a well-formed call.
    void serveJsonRpc(std::istream& in, std::ostream& out);

    // One JSON-RPC method call: writes `,"result":...` or one error member through `reply`.
    // `params` is null when the request has none. Returns 404 for a method it does not offer
    // (having written nothing); this base offers none.
    virtual int jsonRPC(std::string& method, ObjectWriter::KeyWriter& reply, jsVar* params);

    const std::string& localAddresses() const { return local_ip_text; }

protected:
    struct HandlerNode {
        char* prefix;
        uint32_t length;
        HttpRequestHandler* handler;
        HandlerNode* next;
    };

    mg_context* server = nullptr;
    HandlerNode* handlers = nullptr;
    internal_http_files* internal_files = nullptr;
    std::map<std::string, std::string> options;
    char** local_ips = nullptr;
    std::string local_ip_text;

private:
    static int __begin_request(mg_connection* conn);
    static void __end_request(const mg_connection* conn, int status);
    static int __log_message(const mg_connection* conn, const char* message);
    static void __connection_close(const mg_connection* conn);
    bool serveInternalFile(mg_connection* conn, const char* uri);
};

// The host's addresses as "address:port" for each listening port of the server, 127.0.0.1
// left out; a newly allocated list of at most 19 texts ended by a null entry.
char** mg_local_ips(mg_context* ctx);
