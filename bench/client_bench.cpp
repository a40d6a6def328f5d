// `tarvex stream` of 2,000,000 pulses on loopback against the real pulserd (sim build), from a
// binary file and from a CSV file, against the binary protocol benchmark's own client (TcpClient,
// the same pulses from memory) in the same rounds. Each command is timed from its start to its
// exit, so the tarvex figures include starting the program and reading the file. Also timed in each
// round: the library in this process (binary file read and Client::stream), reading the CSV file into a list in this process (PulseList::read) and the encoder alone
// on the same pulses, the reference for the CSV parsing cost.
//
// Prints medians over the rounds and the ratios binary file / benchmark client and CSV reading /
// encoding.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "device/Pulse.h"
#include "hardware/registers.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/tcp_client.h"
#include "tarvex/Client.h"
#include "tarvex/PulseList.h"
#include "support/seq_window.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t PULSES = 2000000;
constexpr int ROUNDS = 9;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs tarvex with its output to /dev/null; false unless it exits with 0. Spawned without copying
// this process's page tables (a fork of a process holding the lists and the window costs several
// milliseconds that would be counted against tarvex).
bool run_tarvex(const std::vector<std::string>& args) {
    std::vector<std::string> all{testsupport::program("tarvex")};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
    testsupport::SandboxedPulserd server;
    const std::string dir = server.sandbox.root();

    // Pulses of 8 to 2000 ticks with changing outputs (as the binary protocol benchmark).
    std::mt19937 rng(12345);
    std::vector<Pulse> pulses(PULSES);
    std::string csv = "ticks,digital,ao0,ao1\n";
    for (auto& p : pulses) {
        p = Pulse{static_cast<uint32_t>(8 + rng() % 1993), static_cast<uint8_t>(rng()), static_cast<int16_t>(rng()),
                  static_cast<int16_t>(rng())};
        csv += std::to_string(p.ticks) + "," + std::to_string(p.digi) + "," + std::to_string(p.ao0) + "," +
               std::to_string(p.ao1) + "\n";
    }
    const std::string bin_path = dir + "/list.bin", csv_path = dir + "/list.csv";
    std::ofstream(bin_path, std::ios::binary)
        << tarvex::binaryPulseFile(reinterpret_cast<const tarvex::Pulse*>(pulses.data()), PULSES);
    std::ofstream(csv_path, std::ios::binary) << csv;

    static SeqWindow seq_window;
    const MemoryMapper window = seq_window.mapper;
    std::ofstream devnull("/dev/null");
    std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());   // the encoder's lines
    highToLow(pulses, Full_Pattern(0, 0, 0, 0), 1, window, 0);  // the window's pages faulted in

    const auto header = testsupport::TcpClient::sequenceHeader(PULSES, -1, Pulse{0, 0, 0, 0});
    std::map<std::string, std::vector<double>> t;
    for (int round = 0; round <= ROUNDS; ++round) {
        // A connection per round, as tarvex makes one: the server serves one connection at a time.
        auto t0 = Clock::now();
        std::optional<testsupport::TcpClient::Answer> answer;
        {
            testsupport::TcpClient client;
            client.sendSequence(tcp::CMD_STREAM, 1, header, pulses.data(), PULSES);
            answer = client.readAnswer();
        }
        const double bench = since(t0);
        t0 = Clock::now();
        {
            tarvex::Client instrument("127.0.0.1");
            const auto file = tarvex::PulseList::read(bin_path, tarvex::PulseFormat::Binary, PULSES, "stream");
            instrument.stream(file.data(), file.size(), -1, tarvex::Pulse{});
        }
        const double library = since(t0);
        t0 = Clock::now();
        const bool bin_ok = run_tarvex({"stream", bin_path});
        const double bin = since(t0);
        t0 = Clock::now();
        const bool csv_ok = run_tarvex({"stream", csv_path});
        const double from_csv = since(t0);
        t0 = Clock::now();
        const auto list = tarvex::PulseList::read(csv_path, tarvex::PulseFormat::Csv, PULSES, "stream");
        const double parse = since(t0);
        t0 = Clock::now();
        highToLow(pulses, Full_Pattern(0, 0, 0, 0), 1, window, 0);
        const double encode = since(t0);
        if (!answer || answer->header.status != 0 || !bin_ok || !csv_ok || list.size() != PULSES) {
            std::cout.rdbuf(saved);
            std::printf("a stream failed in round %d\n", round);
            return 1;
        }
        if (round == 0) continue;  // warm-up
        for (auto [name, secs] : {std::pair{"benchmark client", bench},
                                  {"tarvex stream binary file", bin},
                                  {"library: binary file read + stream", library},
                                  {"tarvex stream CSV file", from_csv},
                                  {"CSV read in process", parse},
                                  {"encode", encode}})
            t[name].push_back(secs);
        t["ratio binary file / benchmark client"].push_back(bin / bench);
        t["ratio library binary file / benchmark client"].push_back(library / bench);
        t["ratio CSV read / encode"].push_back(parse / encode);
        t["ratio CSV read / tarvex stream binary file"].push_back(parse / bin);
    }
    std::cout.rdbuf(saved);
    std::printf("stream of %zu pulses (binary file %zu bytes, CSV file %zu bytes), medians of %d rounds:\n", PULSES,
                PULSES * sizeof(Pulse), csv.size(), ROUNDS);
    for (auto& [name, v] : t)
        std::printf(name.rfind("ratio", 0) == 0 ? "  %-36s %8.2f\n" : "  %-36s %8.1f ms\n", name.c_str(),
                    median(v) * (name.rfind("ratio", 0) == 0 ? 1 : 1e3));
    return 0;
}
