#include "support/sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

Sandbox::Sandbox() {
    char tmpl[] = "/tmp/tarvex-test-XXXXXX";
    char* dir = mkdtemp(tmpl);
    if (!dir) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
    if (const char* prev = std::getenv("TARVEX_ROOT")) {
        previous_ = prev;
        had_previous_ = true;
    }
    setenv("TARVEX_ROOT", root_.c_str(), 1);
}

Sandbox::~Sandbox() {
    if (std::system(("rm -rf '" + root_ + "'").c_str()) != 0) {
    }  // a folder left behind is harmless
    if (had_previous_)
        setenv("TARVEX_ROOT", previous_.c_str(), 1);
    else
        unsetenv("TARVEX_ROOT");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

}  // namespace testsupport
