// The simulated board's system image: the sandbox root that stands in for the board's file
// system, the recorded (never executed) system commands with their emulated effects, and the
// simulated hostname.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

// The sandbox root: $TARVEX_ROOT, or "./sandbox" when unset (made absolute).
std::string root();
// An absolute system path resolved under the sandbox root; seeds the root on first use.
std::string system_path(const std::string& path);
// Creates what the board image provides (folders, network.conf, hostname, model name, the
// interface address file), never overwriting what is there.
void seed_root(const std::string& root);

// One recorded command: a shell line, or a program with its arguments (no shell).
struct Command {
    bool shell = true;
    std::string line;               // the shell line; for argv commands the arguments joined by blanks
    std::vector<std::string> argv;  // empty for shell lines
};
std::vector<Command> commands();
void clear_commands();

// Records and emulates (never runs) a command. Returns what system() or the program would.
int run_shell(const std::string& line);
int run_argv(const std::vector<std::string>& argv);

// Emulated effects: a shell line starting with `prefix`, or a program by name.
using ShellHandler = std::function<int(const std::string& line)>;
using ProgramHandler = std::function<int(const std::vector<std::string>& argv)>;
void on_shell(const std::string& prefix, ShellHandler handler);
void on_program(const std::string& program, ProgramHandler handler);

// The simulated hostname (follows "hostname -F <file>").
std::string hostname();
void set_hostname(const std::string& name);

// pulserd marks itself: only then does the emulated reboot restart the process image.
void mark_server_process();
bool is_server_process();

}  // namespace sim
