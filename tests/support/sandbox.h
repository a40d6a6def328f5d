// A fresh sandbox root ($TARVEX_ROOT) per test, removed afterwards, and small file helpers.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

class Sandbox {
public:
    Sandbox();   // creates a temporary root and points TARVEX_ROOT at it
    ~Sandbox();  // removes it and restores TARVEX_ROOT
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    // The sandbox path of a system path ("/userconfig/network/network.conf").
    std::string path(const std::string& system_path) const { return root_ + system_path; }

private:
    std::string root_;
    std::string previous_;
    bool had_previous_ = false;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Polls `cond` until it holds or `limit` passes (for what a thread or another process brings about).
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace testsupport
