// Starting the real programs (pulserd, beacond) for end-to-end tests, and reading their output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace testsupport {

class Process {
public:
    // Starts `argv` with the extra environment entries ("KEY=value") in `cwd` (empty: current),
    // standard output and error going to one log file.
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
            const std::string& cwd = "");
    ~Process();  // ends the process (SIGKILL) if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Everything the process wrote so far.
    std::string output() const;
    // Waits until the output contains `text`; false on time-out or exit.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool running();
    // Sends a signal; then waits for the exit and returns the exit status (128+signal when killed),
    // or -1 if it did not end within the time-out.
    int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the exit without signalling.
    int wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    std::string log_;
};

// pulserd in a sandbox root of its own (also its working folder), started and waited for until
// its binary-protocol and HTTP ports listen; when it does not come up, its output goes to stderr.
struct SandboxedPulserd {
    SandboxedPulserd();
    Sandbox sandbox;
    std::unique_ptr<Process> process;
};

// The path of a built program ("pulserd", "beacond").
std::string program(const std::string& name);
// True once a TCP connection to 127.0.0.1:port succeeds, within the time-out.
bool waitForPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport
