// beacond: answers UDP discovery requests ("TX-DISCOVERY") with the instrument's identity.
// Single-threaded: start-up, then a blocking receive loop until SIGTERM or SIGINT closes the
// socket.
#include "identity.h"
#include "reply_limit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <cxxopts.hpp>

namespace {

const char request_word[] = "TX-DISCOVERY";
constexpr size_t request_length = sizeof request_word - 1;
const char reply_word[] = "TX-DISCOVERY-REPLY";
constexpr size_t receive_length = 16;

volatile sig_atomic_t socket_fd = -1;
volatile sig_atomic_t stop_requested = 0;
bool debug = false;
bool update = false;

// Async-signal-safe: no stdio here, the line is formatted by hand and written directly.
void on_signal(int signal_number) {
    stop_requested = 1;
    const int fd = socket_fd;
    if (fd >= 0) close(fd);
    if (debug) {
        char line[40] = "Received signal ";
        size_t length = std::strlen(line);
        char digits[12];
        size_t count = 0;
        unsigned value = static_cast<unsigned>(signal_number);
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && count < sizeof digits);
        while (count > 0) line[length++] = digits[--count];
        line[length++] = '\n';
        ssize_t ignored = write(STDOUT_FILENO, line, length);
        (void)ignored;
    }
}

void install_handler(int signal_number, const char* failure_prefix) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal_number, &action, nullptr) != 0) std::perror(failure_prefix);
}

}  // namespace

int main(int argc, char** argv) {
    // Diagnostics are lines; keep them in order with the signal handler's direct write.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    cxxopts::Options options("beacond", "Tarvex discovery server.");
    options.add_options()("i,iface", "Listen on interface.", cxxopts::value<std::string>()->default_value("eth0"))(
        "p,port", "Listen on port.", cxxopts::value<int16_t>()->default_value("12345"))(
        "f,info-file", "Replace infostring with content of the FILE.", cxxopts::value<std::string>(), "FILE")(
        "m,mcast-grp", "Multicast group to join.", cxxopts::value<std::string>()->default_value("239.255.255.82"))(
        "M,no-multicast", "Do not use multicast for discovery.", cxxopts::value<bool>()->default_value("false"))(
        "d,debug", "Print debug messages.", cxxopts::value<bool>()->default_value("false"))(
        "u,update", "Use discovery server in initramfs for update mode.",
        cxxopts::value<bool>()->default_value("false"))("h,help", "Print this help information.");
    options.parse_positional({"iface", "port"});
    options.positional_help("[iface] [port]");
    options.show_positional_help();

    bool no_multicast = false;
    std::string group;
    std::string iface;
    int16_t port = 0;
    std::string info_file;
    try {
        const auto result = options.parse(argc, argv);
        if (result.count("help")) {
            std::printf("%s\n", options.help().c_str());
            return 0;
        }
        debug = result["debug"].as<bool>();
        update = result["update"].as<bool>();
        no_multicast = result["no-multicast"].as<bool>();
        group = result["mcast-grp"].as<std::string>();
        iface = result["iface"].as<std::string>();
        port = result["port"].as<int16_t>();
        if (result.count("info-file")) info_file = result["info-file"].as<std::string>();
    } catch (const std::exception& e) {
        std::printf("error parsing options: %s\n", e.what());
        return -1;
    }

    install_handler(SIGTERM, "Unable to set SIGTERM handler.");
    install_handler(SIGINT, "Unable to set SIGINT handler.");

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::perror("Opening socket");
        return -1;
    }
    socket_fd = sock;

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("binding");
        return -1;
    }
    if (debug) std::printf("Listening on interface '%s' and port '%i'.\n", iface.c_str(), port);

    if (!no_multicast) {
        if (debug) std::printf("Joining multicast group: %s\n", group.c_str());
        ip_mreq membership;
        std::memset(&membership, 0, sizeof membership);
        membership.imr_interface.s_addr = htonl(INADDR_ANY);
        int joined = -1;
        if (inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr) == 1)
            joined = setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
        else
            errno = EINVAL;
        if (joined != 0) std::perror("Joining multicast group");
    }

    const std::string identity = beacon::identity_text(iface, update);
    const std::string reply = reply_word + (info_file.empty() ? identity : beacon::info_file_text(info_file));
    if (debug) {
        std::printf("ID STRING: %s\n", identity.c_str());
        std::printf("Expected request string: \"%s\" of length: %lu bytes.\n", request_word,
                    static_cast<unsigned long>(request_length));
    }

    beacon::ReplyLimit limit;
    while (!stop_requested) {
        char message[receive_length];
        sockaddr_in sender;
        socklen_t sender_length = sizeof sender;
        const ssize_t received =
            recvfrom(sock, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&sender), &sender_length);
        if (received < 0) break;
        if (debug) {
            char address[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
            std::printf("Received msg: %.*s [%d bytes] from: %s\n", static_cast<int>(received), message,
                        static_cast<int>(received), address);
        }
        if (static_cast<size_t>(received) < request_length || std::memcmp(message, request_word, request_length) != 0)
            continue;
        if (!limit.allow(ntohl(sender.sin_addr.s_addr), beacon::ReplyLimit::Clock::now())) {
            if (debug) std::printf("Reply rate limit reached: no reply\n");
            continue;
        }
        if (sendto(sock, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&sender), sender_length) < 0 &&
            !stop_requested)
            std::perror("sendto");
    }
    return 0;
}
