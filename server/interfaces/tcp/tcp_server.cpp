// The binary protocol's thread entry for the program: the listener on port 21328, each connection
// served for the device handed in by main.
#include "interfaces/tcp/tcp_protocol.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <iostream>

#include "device/Pulser.h"
#include "interfaces/interfaces.h"

void socketThread(int fd, DeviceAccess access) {
    tcp::PulserDevice device(access.pulser());
    tcp::serveConnection(fd, device, access.lock());
}

void run_streamHighLevel(DeviceAccess access) {
    // Close-on-exec: started commands and the restarted process image must not hold the port.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) std::cout << "ERROR opening socket" << std::endl;

    // Connections closed here linger in TIME_WAIT; a restarted server must still get its port.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(tcp::PORT);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) std::cout << "ERROR on binding" << std::endl;

    // Accepted connections inherit this: every receive of a connection waits at most 10 s.
    timeval tv{};
    tv.tv_sec = tcp::RECEIVE_TIMEOUT_S;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) std::cout << "ERROR setsockopt" << std::endl;

    if (listen(fd, tcp::BACKLOG) == 0)
        std::cout << "Listening for binary stream on port " << tcp::PORT << "..." << std::endl;
    else
        std::cout << "Error" << std::endl;

    tcp::acceptLoop(
        fd, [](int listen_fd) { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); },
        [access](int conn) { socketThread(conn, access); });
}
