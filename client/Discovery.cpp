#include "tarvex/Discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "json_reader.h"
#include "net.h"
#include "tarvex/Client.h"
#include "tarvex/Error.h"

namespace tarvex {

namespace {

const char request_word[] = "TX-DISCOVERY";
const char reply_word[] = "TX-DISCOVERY-REPLY";

struct Target {
    std::string label;
    sockaddr_in address{};
};

sockaddr_in make_address(in_addr ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = ip;
    return a;
}

}  // namespace

bool parseIdentity(const std::string& text, Instrument& out) {
    json::Value v;
    std::string error;
    if (!json::parse(text.data(), text.size(), v, error) || v.type != json::Value::Object) return false;
    auto field = [&](const char* name, std::string& to) {
        const json::Value* m = v.find(name);
        if (m && m->type == json::Value::String) to = m->text;
        return m != nullptr;
    };
    field("serial", out.serial);
    field("hostname", out.hostname);
    const bool has_model = field("model", out.model);
    field("fpgaid", out.fpgaid);
    field("firmware", out.firmware);
    field("hardware", out.hardware);
    out.update_mode = !has_model;
    return true;
}

Discovered discover(const DiscoveryOptions& options) {
    Discovered found;
    std::vector<Target> targets;
    if (options.broadcast)
        targets.push_back({"broadcast", make_address(in_addr{htonl(INADDR_BROADCAST)}, options.port)});
    if (options.multicast) {
        in_addr group{};
        if (inet_pton(AF_INET, options.group.c_str(), &group) != 1)
            throw Error(Error::Input, "multicast group " + options.group + ": not a dotted IPv4 address");
        targets.push_back({"multicast group " + options.group, make_address(group, options.port)});
    }
    for (const std::string& a : options.addresses) {
        const size_t colon = a.rfind(':');
        uint16_t port = options.port;
        std::string host = a;
        if (colon != std::string::npos) {
            char* end = nullptr;
            const unsigned long p = std::strtoul(a.c_str() + colon + 1, &end, 10);
            if (*end != 0 || p == 0 || p > 65535 || colon + 1 == a.size())
                throw Error(Error::Input, "address " + a + ": the port must be 1 to 65535");
            port = static_cast<uint16_t>(p);
            host = a.substr(0, colon);
        }
        targets.push_back({endpoint(host, port), make_address(net::resolve(host, port), port)});
    }

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw Error(Error::Unreachable, std::string("discovery socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);

    auto send_all = [&](bool report) {
        for (const Target& t : targets)
            if (sendto(fd, request_word, sizeof request_word - 1, 0, reinterpret_cast<const sockaddr*>(&t.address),
                       sizeof t.address) < 0 &&
                report)
                found.failures.push_back(t.label + ": " + std::strerror(errno));
    };
    // Asked twice (a datagram may be lost): at the start and after a third of the time-out.
    send_all(true);
    const auto start = net::Clock::now();
    const auto resend = start + options.timeout / 3;
    const auto deadline = start + options.timeout;
    bool resent = false;
    std::set<std::pair<uint32_t, uint16_t>> seen;
    char buffer[MAX_DISCOVERY_REPLY + 1];
    for (;;) {
        const auto now = net::Clock::now();
        if (now >= deadline) break;
        if (!resent && now >= resend) {
            send_all(false);
            resent = true;
        }
        const auto until = resent ? deadline : resend;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(
            &p, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1);
        if (ready <= 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < static_cast<ssize_t>(sizeof reply_word - 1) || n > static_cast<ssize_t>(MAX_DISCOVERY_REPLY) ||
            std::memcmp(buffer, reply_word, sizeof reply_word - 1) != 0)
            continue;
        if (!seen.insert({from.sin_addr.s_addr, from.sin_port}).second || found.instruments.size() >= MAX_INSTRUMENTS)
            continue;
        Instrument instrument;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        instrument.address = text;
        instrument.port = ntohs(from.sin_port);
        instrument.identity.assign(buffer + sizeof reply_word - 1, static_cast<size_t>(n) - (sizeof reply_word - 1));
        parseIdentity(instrument.identity, instrument);
        found.instruments.push_back(std::move(instrument));
    }
    close(fd);
    return found;
}

}  // namespace tarvex
