// One Client::stream of a binary pulse file (9-byte records) to an instrument, for the Python
// package's benchmark: the file is read first, then only the stream call is timed.
//   stream_once HOST FILE RUNS   ->  prints the seconds the call took
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "tarvex/Client.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: stream_once HOST FILE RUNS\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<tarvex::Pulse> pulses(bytes.size() / sizeof(tarvex::Pulse));
    std::copy(bytes.begin(), bytes.begin() + static_cast<long>(pulses.size() * sizeof(tarvex::Pulse)),
              reinterpret_cast<char*>(pulses.data()));
    tarvex::Client client(argv[1], std::chrono::seconds(60));
    const auto start = std::chrono::steady_clock::now();
    try {
        client.stream(pulses.data(), pulses.size(), std::atoll(argv[3]), tarvex::Pulse{});
    } catch (const tarvex::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%.6f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
