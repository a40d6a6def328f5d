#include "common/SettingsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace settings {

namespace {

// Flushes the folder holding `path`, so that a rename in it is on disk.
void sync_folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool replace_file(const std::string& tmp, const std::string& target, const std::string& text, const char** step) {
    const char* failed = nullptr;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (step) *step = "open";
        return false;
    }
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0 && !failed) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            failed = "write";
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // A file system without a flush (EINVAL) has nothing more to write out.
    if (!failed && ::fsync(fd) != 0 && errno != EINVAL) failed = "fsync";
    int saved = errno;
    if (::close(fd) != 0 && !failed) {
        failed = "close";
        saved = errno;
    }
    if (!failed && std::rename(tmp.c_str(), target.c_str()) != 0) {
        failed = "rename";
        saved = errno;
    }
    if (failed) {
        ::unlink(tmp.c_str());
        errno = saved;
        if (step) *step = failed;
        return false;
    }
    sync_folder(target);
    return true;
}

}  // namespace settings
