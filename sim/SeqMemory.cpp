#include "sim/SeqMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace sim {
namespace {

std::mutex windows_lock;
std::vector<const SeqMemory*>& windows() {
    static std::vector<const SeqMemory*> w;
    return w;
}

}  // namespace

SeqMemory::SeqMemory(size_t size) {
    const int fd = memfd_create("tarvex-seqmem", MFD_CLOEXEC);
    if (fd < 0) return;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
        void* f = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
        void* d = mmap(nullptr, size, PROT_NONE, MAP_SHARED | MAP_NORESERVE, fd, 0);
        if (f != MAP_FAILED && d != MAP_FAILED) {
            fpga_ = static_cast<uint8_t*>(f);
            driver_ = static_cast<uint8_t*>(d);
            size_ = size;
            std::lock_guard<std::mutex> g(windows_lock);
            windows().push_back(this);
        } else {
            if (f != MAP_FAILED) munmap(f, size);
            if (d != MAP_FAILED) munmap(d, size);
        }
    }
    close(fd);
}

SeqMemory::~SeqMemory() {
    {
        std::lock_guard<std::mutex> g(windows_lock);
        auto& w = windows();
        for (size_t i = 0; i < w.size(); ++i)
            if (w[i] == this) w.erase(w.begin() + static_cast<std::ptrdiff_t>(i--));
    }
    if (fpga_) munmap(fpga_, size_);
    if (driver_) munmap(driver_, size_);
}

void SeqMemory::release() {
    if (!fpga_) return;
    mmap(fpga_, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    mmap(driver_, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
}

uint8_t* fpga_view(const uint8_t* driver_addr, size_t n) {
    {
        std::lock_guard<std::mutex> g(windows_lock);
        const uintptr_t a = uintptr_t(driver_addr);
        for (const SeqMemory* m : windows()) {
            const uintptr_t base = uintptr_t(m->driver());
            if (a >= base && a - base <= m->size() && n <= m->size() - (a - base)) return m->fpga() + (a - base);
        }
    }
    window_fault("access outside the sequence window", driver_addr, n);
}

void window_fault(const char* what, const void* at, size_t n) {
    std::fprintf(stderr, "sequence window: %s at %p (%zu bytes)\n", what, at, n);
    std::abort();
}

}  // namespace sim
