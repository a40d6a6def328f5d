#include "sim/System.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace sim {

namespace {

struct SystemState {
    std::mutex lock;
    std::vector<Command> commands;
    std::vector<std::pair<std::string, ShellHandler>> shell_handlers;
    std::vector<std::pair<std::string, ProgramHandler>> program_handlers;
    std::string seeded_root;
    std::string hostname;
    bool hostname_set = false;
    bool server = false;
};

SystemState& state() {
    static SystemState* s = new SystemState();  // never destroyed: used by detached threads
    return *s;
}

void make_dirs(const std::string& path) {
    std::string partial;
    std::stringstream ss(path);
    std::string item;
    while (std::getline(ss, item, '/')) {
        if (item.empty()) {
            if (partial.empty()) partial = "/";
            continue;
        }
        partial += (partial.empty() || partial.back() == '/') ? item : "/" + item;
        mkdir(partial.c_str(), 0755);
    }
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void write_if_missing(const std::string& path, const std::string& content) {
    if (exists(path)) return;
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string escape_field(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

// Appends the command to "$root/sim/commands.log" for black-box tests: "sh\t<line>" or
// "argv\t<arg>\t<arg>..." with tabs, line feeds and backslashes escaped.
void log_command(const Command& c) {
    std::string dir = system_path("/sim");
    make_dirs(dir);
    std::ofstream out(dir + "/commands.log", std::ios::app);
    if (c.shell) {
        out << "sh\t" << escape_field(c.line) << "\n";
    } else {
        out << "argv";
        for (const auto& a : c.argv) out << "\t" << escape_field(a);
        out << "\n";
    }
}

// The emulated reboot: the server restarts its own process image after about a second, so
// stored settings are loaded at the next start as on the board.
void restart_process_soon() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
        std::vector<std::string> args;
        std::string arg;
        while (std::getline(cmdline, arg, '\0')) args.push_back(arg);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        std::cout << std::flush;
        // Listening sockets must not leak into the new image.
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0 || argv.size() < 2) _exit(0);
        exe[n] = 0;
        execv(exe, argv.data());
        _exit(0);
    }).detach();
}

void install_default_handlers(SystemState& s) {
    s.shell_handlers.emplace_back("/sbin/reboot", [](const std::string&) {
        if (is_server_process()) restart_process_soon();
        return 0;
    });
    s.shell_handlers.emplace_back("cat /sys/class/fpga_manager/fpga0/state", [](const std::string&) {
        std::cout << "operating" << std::endl;
        return 0;
    });
    s.shell_handlers.emplace_back("hostname -F ", [](const std::string& line) {
        std::string file = line.substr(std::string("hostname -F ").size());
        std::ifstream in(system_path(file));
        if (!in) return 1;
        std::string name;
        std::getline(in, name);
        set_hostname(name);
        return 0;
    });
}

}  // namespace

std::string root() {
    const char* env = std::getenv("TARVEX_ROOT");
    std::string r = (env && *env) ? env : "sandbox";
    if (r[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd))) r = std::string(cwd) + "/" + r;
    }
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

std::string system_path(const std::string& path) {
    std::string r = root();
    SystemState& s = state();
    bool seed = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.seeded_root != r) {
            s.seeded_root = r;
            seed = true;
        }
    }
    if (seed) seed_root(r);
    return r + (path.empty() || path[0] == '/' ? path : "/" + path);
}

void seed_root(const std::string& r) {
    make_dirs(r + "/userconfig/network");
    make_dirs(r + "/userconfig/hardware");
    make_dirs(r + "/tmp");
    make_dirs(r + "/etc");
    make_dirs(r + "/sys/class/net/eth0");
    make_dirs(r + "/sim");
    write_if_missing(r + "/userconfig/network/network.conf",
                     "PERMANENT=1\nIP=192.168.1.100\nNETMASK=255.255.255.0\nGATEWAY=192.168.1.1\n");
    write_if_missing(r + "/userconfig/network/hostname", "tarvex");
    write_if_missing(r + "/etc/model_name", "Tarvex PG8\n");
    write_if_missing(r + "/sys/class/net/eth0/address", "02:00:00:00:00:01\n");
}

std::vector<Command> commands() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().commands;
}

void clear_commands() {
    std::lock_guard<std::mutex> g(state().lock);
    state().commands.clear();
}

static int dispatch(const Command& c) {
    SystemState& s = state();
    ShellHandler shell_handler;
    ProgramHandler program_handler;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.shell_handlers.empty()) install_default_handlers(s);
        s.commands.push_back(c);
        if (c.shell) {
            for (auto it = s.shell_handlers.rbegin(); it != s.shell_handlers.rend(); ++it)
                if (c.line.compare(0, it->first.size(), it->first) == 0) {
                    shell_handler = it->second;
                    break;
                }
        } else if (!c.argv.empty()) {
            for (auto it = s.program_handlers.rbegin(); it != s.program_handlers.rend(); ++it)
                if (c.argv[0] == it->first) {
                    program_handler = it->second;
                    break;
                }
        }
    }
    log_command(c);
    if (shell_handler) return shell_handler(c.line);
    if (program_handler) return program_handler(c.argv);
    return 0;
}

int run_shell(const std::string& line) {
    Command c;
    c.shell = true;
    c.line = line;
    return dispatch(c);
}

int run_argv(const std::vector<std::string>& argv) {
    Command c;
    c.shell = false;
    c.argv = argv;
    for (size_t i = 0; i < argv.size(); ++i) c.line += (i ? " " : "") + argv[i];
    return dispatch(c);
}

void on_shell(const std::string& prefix, ShellHandler handler) {
    SystemState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.shell_handlers.empty()) install_default_handlers(s);
    s.shell_handlers.emplace_back(prefix, std::move(handler));
}

void on_program(const std::string& program, ProgramHandler handler) {
    SystemState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.program_handlers.emplace_back(program, std::move(handler));
}

std::string hostname() {
    {
        std::lock_guard<std::mutex> g(state().lock);
        if (state().hostname_set) return state().hostname;
    }
    std::string name = first_line(system_path("/userconfig/network/hostname"));
    return name.empty() ? "tarvex" : name;
}

void set_hostname(const std::string& name) {
    std::lock_guard<std::mutex> g(state().lock);
    state().hostname = name;
    state().hostname_set = true;
}

void mark_server_process() {
    std::lock_guard<std::mutex> g(state().lock);
    state().server = true;
}

bool is_server_process() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().server;
}

}  // namespace sim
