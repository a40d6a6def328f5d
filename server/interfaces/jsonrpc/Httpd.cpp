#include "interfaces/jsonrpc/Httpd.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "interfaces/jsonrpc/HostCheck.h"
#include "interfaces/jsonrpc/HttpStream.h"

// ---- HttpRequestHandler: each form forwards to the next simpler one ----
int HttpRequestHandler::do_request(mg_connection* conn, const mg_request_info* info, std::istream&, std::ostream& out) {
    return do_request(conn, info, out);
}
int HttpRequestHandler::do_request(mg_connection*, const mg_request_info* info, std::ostream& out) {
    return do_request(info, out);
}
int HttpRequestHandler::do_request(const mg_request_info* info, std::istream&, std::ostream& out) {
    return do_request(info, out);
}
int HttpRequestHandler::do_request(const mg_request_info*, std::ostream& out) { return do_request(out); }
int HttpRequestHandler::do_request(std::istream&, std::ostream& out) { return do_request(out); }
int HttpRequestHandler::do_request(std::ostream&) { return 404; }

namespace {

// The path of the request without the query string, as the client sent it.
const char* request_path(const mg_request_info* info) {
    if (info->local_uri_raw) return info->local_uri_raw;
    return info->local_uri ? info->local_uri : "";
}

// The socket of the connection a request came on: the one whose peer is the request's remote
// address and port and whose own port is the server's; -1 when none is found.
int connection_socket(const mg_request_info* info) {
    sockaddr_storage want{};
    auto* want4 = reinterpret_cast<sockaddr_in*>(&want);
    auto* want6 = reinterpret_cast<sockaddr_in6*>(&want);
    if (inet_pton(AF_INET, info->remote_addr, &want4->sin_addr) == 1) {
        want.ss_family = AF_INET;
        want4->sin_port = htons(static_cast<uint16_t>(info->remote_port));
    } else if (inet_pton(AF_INET6, info->remote_addr, &want6->sin6_addr) == 1) {
        want.ss_family = AF_INET6;
        want6->sin6_port = htons(static_cast<uint16_t>(info->remote_port));
    } else {
        return -1;
    }
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const int fd = std::atoi(e->d_name);
        if (fd == dirfd(dir)) continue;
        sockaddr_storage peer{}, self{};
        socklen_t n = sizeof(peer), m = sizeof(self);
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &n) != 0) continue;
        if (peer.ss_family != want.ss_family || getsockname(fd, reinterpret_cast<sockaddr*>(&self), &m) != 0) continue;
        bool same;
        if (peer.ss_family == AF_INET) {
            const auto* p = reinterpret_cast<const sockaddr_in*>(&peer);
            same = p->sin_port == want4->sin_port && p->sin_addr.s_addr == want4->sin_addr.s_addr &&
                   ntohs(reinterpret_cast<const sockaddr_in*>(&self)->sin_port) == info->server_port;
        } else {
            const auto* p = reinterpret_cast<const sockaddr_in6*>(&peer);
            same = p->sin6_port == want6->sin6_port &&
                   std::memcmp(&p->sin6_addr, &want6->sin6_addr, sizeof(in6_addr)) == 0 &&
                   ntohs(reinterpret_cast<const sockaddr_in6*>(&self)->sin6_port) == info->server_port;
        }
        if (same) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Ends a connection at once, so that no client holds a worker by sending on after its answer
// (after a 413, a late body, a header that took too long): the answer goes out followed by the
// end of the stream, and the connection is let go (reset if the client is still sending). A
// fresh unconnected socket takes over the descriptor's number, so the library's own closing
// finds nothing left to wait for.
void cut_connection(int fd) {
    if (fd < 0) return;
    shutdown(fd, SHUT_WR);
    const int spare = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (spare >= 0) {
        dup3(spare, fd, O_CLOEXEC);
        close(spare);
    } else {
        shutdown(fd, SHUT_RDWR);
    }
}

// Answers a refusal with a short text and ends the connection without reading on.
int refuse(mg_connection* conn, int fd, int status, const char* reason, const char* text) {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n%s\r\n",
              status, reason, std::strlen(text) + 2, text);
    cut_connection(fd);
    return status;
}

}  // namespace

bool same_origin(const char* origin, const char* host) {
    if (!origin) return true;  // not sent by a browser's cross-site request
    if (!host) return false;
    const char* scheme = "http://";
    if (strncasecmp(origin, scheme, 7) != 0) return false;
    return strcasecmp(origin + 7, host) == 0;
}

Httpd::Httpd(const Handlers& prefix_handlers) {
    for (const auto& h : prefix_handlers) addRequesthandler(h.first, h.second);
    // Every setting the front end relies on, set explicitly. Several workers, so that a slow
    // client holds one of them only; every request is bounded in time: its header within
    // request_timeout_ms of its start, its body by the minimum rate of MongooseInbuffer.
    options["listening_ports"] = "8050";
    options["num_threads"] = "8";
    options["enable_keep_alive"] = "no";
    // Replies go out in pieces of the reply buffer: each is sent at once, not held back until the
    // client has acknowledged the one before (which can take the client's delayed-ACK time).
    options["tcp_nodelay"] = "1";
    options["document_root"] = ".";
    options["enable_directory_listing"] = "yes";
    options["index_files"] = "index.html,index.htm,index.shtml";
    options["ssi_pattern"] = "**.shtml$|**.shtm$";
    options["cgi_pattern"] = "";  // the pages use no CGI: nothing in the web folder is run
    options["request_timeout_ms"] = "5000";
}

void Httpd::start() {
    if (server) return;
    // The pages are served from the working folder, whatever it holds: say so when it holds none.
    if (access("index.shtml", F_OK) != 0 && access("index.html", F_OK) != 0) {
        char cwd[4096];
        std::cout << "Warning: the working folder " << (getcwd(cwd, sizeof cwd) ? cwd : "?")
                  << " holds no web pages (index.shtml); start pulserd in the pages folder" << std::endl;
    }
    std::vector<const char*> list;
    for (const auto& kv : options) {
        list.push_back(kv.first.c_str());
        list.push_back(kv.second.c_str());
    }
    list.push_back(nullptr);

    mg_callbacks callbacks;
    std::memset(&callbacks, 0, sizeof(callbacks));
    callbacks.begin_request = &Httpd::__begin_request;
    callbacks.end_request = &Httpd::__end_request;
    callbacks.log_message = &Httpd::__log_message;
    callbacks.connection_close = &Httpd::__connection_close;

    mg_init_library(0);
    server = mg_start(&callbacks, this, list.data());
    if (!server) std::exit(1);

    local_ips = mg_local_ips(server);
    for (char** p = local_ips; p && *p; ++p) {
        if (p != local_ips) local_ip_text += ", ";
        local_ip_text += *p;
    }
}

Httpd::~Httpd() {
    if (server) mg_stop(server);
    for (char** p = local_ips; p && *p; ++p) std::free(*p);
    std::free(local_ips);
    while (handlers) {
        HandlerNode* next = handlers->next;
        std::free(handlers->prefix);
        delete handlers;
        handlers = next;
    }
}

void Httpd::addRequesthandler(const char* prefix, HttpRequestHandler* handler) {
    HandlerNode* node = new HandlerNode;
    node->prefix = strdup(prefix);
    node->length = static_cast<uint32_t>(std::strlen(prefix));
    node->handler = handler;
    node->next = handlers;
    handlers = node;
}

int Httpd::begin_request(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    const char* uri = request_path(info);

    for (HandlerNode* node = handlers; node; node = node->next) {
        if (std::strncmp(uri, node->prefix, node->length) != 0) continue;
        if (!hostcheck::names_instrument(mg_get_header(conn, "Host")))
            return refuse(conn, connection_socket(info), 403, "Forbidden", "unknown host name");
        // The handler sees the request with the prefix taken off its path.
        mg_request_info shortened = *info;
        shortened.local_uri = uri + node->length;
        shortened.local_uri_raw = uri + node->length;
        MongooseInbuffer inbuf(conn, 1024, 8);
        MongooseOutbuffer outbuf(conn, 9000);
        std::istream in(&inbuf);
        std::ostream out(&outbuf);
        int status = node->handler->do_request(conn, &shortened, in, out);
        out.flush();
        return status;
    }

    if (std::strcmp(uri, "/") == 0) {
        MongooseOutbuffer outbuf(conn, 9000);
        std::ostream out(&outbuf);
        out << "HTTP/1.1 301 Moved Permanently\r\n"
            << "Location: /index.shtml\r\n\r\n";
        out.flush();
        return 1;
    }

    if (std::strcmp(uri, "/json-rpc") == 0) {
        const int fd = connection_socket(info);
        // A page of another site that a lab user has open, or one under a name that merely
        // resolves to the instrument, must not drive it.
        if (!same_origin(mg_get_header(conn, "Origin"), mg_get_header(conn, "Host")))
            return refuse(conn, fd, 403, "Forbidden", "cross-origin request");
        if (!hostcheck::names_instrument(mg_get_header(conn, "Host")))
            return refuse(conn, fd, 403, "Forbidden", "unknown host name");
        // Refused before any byte is read: the library would read the whole body first.
        if (info->content_length > MAX_REQUEST_BODY)
            return refuse(conn, fd, 413, "Payload Too Large", "request body too large");
        inflight::Claim claim;
        if (info->content_length > 0 && !claim.grow(static_cast<size_t>(info->content_length)))
            return refuse(conn, fd, 503, "Service Unavailable", "too many large requests at once");
        // A body without a length is counted, and bounded, as it arrives; its reply waits until
        // the body is known to be within the bounds.
        const bool unsized = info->content_length < 0;
        MongooseInbuffer inbuf(conn, 1024, 8, fd, MAX_REQUEST_BODY, unsized ? &claim : nullptr);
        std::istream in(&inbuf);
        std::ostringstream held;
        MongooseOutbuffer outbuf(conn, 9000);
        std::ostream direct(&outbuf);
        serveJsonRpc(in, unsized ? static_cast<std::ostream&>(held) : direct);
        if (inbuf.too_large()) return refuse(conn, fd, 413, "Payload Too Large", "request body too large");
        if (inbuf.no_room()) return refuse(conn, fd, 503, "Service Unavailable", "too many large requests at once");
        const std::string reply = held.str();
        direct.write(reply.data(), static_cast<std::streamsize>(reply.size()));
        direct.flush();
        // A body not read to its end (refused, or too slow) is not waited for either.
        if (unsized || inbuf.received() < info->content_length) cut_connection(fd);
        // Hand the memory of a large request back to the system.
        if (inbuf.received() > LARGE_REQUEST_BODY || info->content_length > LARGE_REQUEST_BODY) malloc_trim(0);
        return 1;
    }

    if (internal_files && serveInternalFile(conn, uri)) return 200;
    return 0;
}

const char* Httpd::open_file(mg_connection* conn, const char* path, unsigned int* size) {
    if (!internal_files) return nullptr;
    const char* root = mg_get_option(mg_get_context(conn), "document_root");
    size_t root_len = root ? std::strlen(root) : 0;
    if (std::strlen(path) < root_len) return nullptr;
    const char* rest = path + root_len;
    for (internal_http_files* row = internal_files; row->name; ++row) {
        if (std::strcmp(row->name, rest) == 0) {
            *size = row->size;
            return row->content;
        }
    }
    return nullptr;
}

// The library this front end runs on has no open-file hook: built-in files are answered here.
bool Httpd::serveInternalFile(mg_connection* conn, const char* uri) {
    const char* root = mg_get_option(mg_get_context(conn), "document_root");
    std::string path = std::string(root ? root : "") + uri;
    unsigned int size = 0;
    const char* content = open_file(conn, path.c_str(), &size);
    if (!content) return false;
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: %u\r\nConnection: close\r\n\r\n", size);
    mg_write(conn, content, size);
    return true;
}

int Httpd::__begin_request(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    Httpd* self = info ? static_cast<Httpd*>(info->user_data) : nullptr;
    return self ? self->begin_request(conn) : 0;
}

// Every connection ends through cut_connection, never through a wait for the client.
void Httpd::__connection_close(const mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    if (info) cut_connection(connection_socket(info));
}

void Httpd::__end_request(const mg_connection* conn, int status) {
    const mg_request_info* info = mg_get_request_info(conn);
    Httpd* self = info ? static_cast<Httpd*>(info->user_data) : nullptr;
    if (self) self->end_request(conn, status);
}

int Httpd::__log_message(const mg_connection* conn, const char* message) {
    const mg_request_info* info = conn ? mg_get_request_info(conn) : nullptr;
    Httpd* self = info ? static_cast<Httpd*>(info->user_data) : nullptr;
    return self ? self->log_message(conn, message) : 0;
}

char** mg_local_ips(mg_context* ctx) {
    const int max_texts = 19;
    char** list = static_cast<char**>(std::calloc(max_texts + 1, sizeof(char*)));
    if (!list) return nullptr;
    mg_server_port ports[8];
    int n_ports = mg_get_server_ports(ctx, 8, ports);
    int count = 0;
    for (int p = 0; p < n_ports && count < max_texts; ++p) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) continue;
        struct ifreq entries[20];
        struct ifconf conf;
        conf.ifc_len = sizeof(entries);
        conf.ifc_req = entries;
        if (ioctl(s, SIOCGIFCONF, &conf) == 0) {
            int n = conf.ifc_len / static_cast<int>(sizeof(struct ifreq));
            for (int i = 0; i < n && count < max_texts; ++i) {
                char addr[INET6_ADDRSTRLEN] = "Unknown AF";
                const sockaddr* sa = &entries[i].ifr_addr;
                if (sa->sa_family == AF_INET)
                    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, addr, sizeof(addr));
                else if (sa->sa_family == AF_INET6)
                    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, addr, sizeof(addr));
                if (std::strcmp(addr, "127.0.0.1") == 0) continue;
                char text[INET6_ADDRSTRLEN + 16];
                std::snprintf(text, sizeof(text), "%s:%d", addr, ports[p].port);
                list[count++] = strdup(text);
            }
        }
        close(s);
    }
    return list;
}
