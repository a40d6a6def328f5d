#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/sandbox.h"
#include "support/tcp_client.h"

#ifndef TARVEX_BIN_DIR
#define TARVEX_BIN_DIR "build/bin"
#endif

namespace testsupport {

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd) {
    // Everything the child needs is built here: between fork and exec it only makes system calls,
    // which is what is safe when the test process has threads of its own.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : env) replaced = replaced || x.compare(0, key.size() + 1, key + "=") == 0;
        if (!replaced) env_strings.push_back(entry);
    }
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> arg_strings = argv;
    std::vector<char*> args;
    for (auto& a : arg_strings) args.push_back(&a[0]);
    args.push_back(nullptr);

    char tmpl[] = "/tmp/tarvex-proc-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    log_ = tmpl;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // A test process that dies (a crash, a time-out kill) takes its servers with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(125);
        dup2(fd, 1);
        dup2(fd, 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(fd);
}

Process::~Process() {
    if (running()) stop(SIGKILL, std::chrono::seconds(5));
    unlink(log_.c_str());
}

std::string Process::output() const { return read_file(log_); }

bool Process::running() {
    if (exited_ || pid_ <= 0) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        exited_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    // An exit ends the wait; what it wrote before counts.
    eventually([&] { return output().find(text) != std::string::npos || !running(); }, timeout);
    return output().find(text) != std::string::npos;
}

int Process::wait(std::chrono::milliseconds timeout) {
    return eventually([&] { return !running(); }, timeout) ? status_ : -1;
}

int Process::stop(int signal, std::chrono::milliseconds timeout) {
    if (running()) kill(pid_, signal);
    return wait(timeout);
}

std::string program(const std::string& name) { return std::string(TARVEX_BIN_DIR) + "/" + name; }

bool waitForPort(int port, std::chrono::milliseconds timeout) {
    return eventually([&] { return TcpClient(static_cast<uint16_t>(port)).connected(); }, timeout);
}

SandboxedPulserd::SandboxedPulserd()
    : process(std::make_unique<Process>(std::vector<std::string>{program("pulserd")},
                                        std::vector<std::string>{"TARVEX_ROOT=" + sandbox.root()}, sandbox.root())) {
    if (!process->waitForOutput("Listening for binary stream on port 21328...\n") || !waitForPort(8050))
        std::fprintf(stderr, "pulserd did not come up:\n%s\n", process->output().c_str());
}

}  // namespace testsupport
