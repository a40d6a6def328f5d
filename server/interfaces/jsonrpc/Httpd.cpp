#include "interfaces/jsonrpc/Httpd.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

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

}  // namespace

Httpd::Httpd(const Handlers& prefix_handlers) {
    for (const auto& h : prefix_handlers) addRequesthandler(h.first, h.second);
    // Every setting the front end relies on, set explicitly.
    options["listening_ports"] = "8050";
    options["num_threads"] = "1";
    options["enable_keep_alive"] = "no";
    options["document_root"] = ".";
    options["enable_directory_listing"] = "yes";
    options["index_files"] = "index.html,index.htm,index.cgi,index.shtml,index.php";
    options["ssi_pattern"] = "**.shtml$|**.shtm$";
    options["request_timeout_ms"] = "30000";

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
        if (info->content_length > MAX_REQUEST_BODY) {
            mg_printf(conn,
                      "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain\r\nContent-Length: 24\r\n"
                      "Connection: close\r\n\r\nrequest body too large\r\n");
            return 413;
        }
        MongooseInbuffer inbuf(conn, 1024, 8);
        MongooseOutbuffer outbuf(conn, 9000);
        std::istream in(&inbuf);
        std::ostream out(&outbuf);
        serveJsonRpc(in, out);
        out.flush();
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
