#include "sim/Modules.h"
#include "sim/Discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "sim/Control.h"
#include "sim/System.h"

namespace sim {

namespace {

// Children are forked by one thread that lives as long as the process: the kernel ends a child
// whose parent thread ends (PR_SET_PDEATHSIG), so no discovery child outlives the simulation.
struct Supervisor {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool started = false;
    // Touched only on the supervisor thread.
    std::vector<std::string> argv;
    pid_t pid = -1;
    // Readable from any thread.
    pid_t published_pid = -1;
};

Supervisor& supervisor() {
    static Supervisor* s = new Supervisor();  // never destroyed: its thread runs to the end
    return *s;
}

void supervise(Supervisor* s) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> g(s->lock);
            s->wake.wait(g, [s] { return !s->jobs.empty(); });
            job = std::move(s->jobs.front());
            s->jobs.pop_front();
        }
        job();
    }
}

// Runs `job` on the supervisor thread and waits for it.
void on_supervisor(const std::function<void(Supervisor&)>& job) {
    Supervisor& s = supervisor();
    std::mutex done_lock;
    std::condition_variable done_cv;
    bool done = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.started) {
            std::thread(supervise, &s).detach();
            s.started = true;
        }
        s.jobs.push_back([&] {
            job(s);
            {
                std::lock_guard<std::mutex> g2(s.lock);
                s.published_pid = s.pid;
            }
            std::lock_guard<std::mutex> d(done_lock);
            done = true;
            done_cv.notify_all();
        });
    }
    s.wake.notify_all();
    std::unique_lock<std::mutex> d(done_lock);
    done_cv.wait(d, [&] { return done; });
}

pid_t spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 1);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid < 0 ? -1 : pid;
}

void end_child(Supervisor& s) {
    if (s.pid <= 0) return;
    kill(s.pid, SIGKILL);
    while (waitpid(s.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    s.pid = -1;
}

void start_child(Supervisor& s) {
    if (s.argv.empty()) return;
    if (s.pid > 0) {
        if (waitpid(s.pid, nullptr, WNOHANG) == 0) return;  // still running
        s.pid = -1;
    }
    s.pid = spawn(s.argv);
}

// Children of this process left over from the image before an emulated reboot.
void end_inherited_children() {
    const pid_t self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc) return;
    std::vector<pid_t> children;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close_paren = text.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream fields(text.substr(close_paren + 1));
        std::string state;
        long ppid = 0;
        fields >> state >> ppid;
        if (ppid == self) children.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    for (pid_t pid : children) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

const bool commands_registered = [] {
    on_shell("killall -9 beacond.elf", [](const std::string&) {
        on_supervisor([](Supervisor& s) { end_child(s); });
        return 0;
    });
    on_shell("beacond.elf", [](const std::string&) {
        on_supervisor([](Supervisor& s) { start_child(s); });
        return 0;
    });
    return true;
}();

}  // namespace

void start_discovery(const std::vector<std::string>& argv) {
    on_supervisor([&argv](Supervisor& s) {
        end_child(s);
        s.argv = argv;
        start_child(s);
    });
}

void stop_discovery() {
    on_supervisor([](Supervisor& s) {
        end_child(s);
        s.argv.clear();
    });
}

pid_t discovery_pid() {
    Supervisor& s = supervisor();
    std::lock_guard<std::mutex> g(s.lock);
    return s.published_pid;
}

void start_server_discovery() {
    const char* setting = std::getenv("TARVEX_SIM_DISCOVERY");
    if (!setting || !*setting) return;
    std::string program = setting;
    if (program == "1") {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0) return;
        exe[n] = 0;
        program = std::string(exe);
        program = program.substr(0, program.rfind('/') + 1) + "beacond";
    }
    if (access(program.c_str(), X_OK) != 0) return;
    on_supervisor([](Supervisor&) { end_inherited_children(); });
    start_discovery({program});
}

}  // namespace sim

namespace sim {
namespace {
control::Json cmd_discovery(const control::Request&) {
    return control::Json::object().set("pid", static_cast<long long>(discovery_pid()));
}
}  // namespace
void register_discovery() {
    control::on_command("discovery", sim::cmd_discovery, "the process id of the discovery child, or -1");
}

}  // namespace sim
