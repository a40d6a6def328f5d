// A private 128 MiB sequence memory window (anonymous memory, touched lazily) for encoder tests.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "device/MemoryManager.h"
#include "hardware/registers.h"

class SeqWindow {
public:
    SeqWindow() {
        void* p = mmap(nullptr, reg::SEQMEM_LEN, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap of the test window failed");
        base_ = static_cast<uint8_t*>(p);
        mapper.base = reg::SEQMEM_BASE;
        mapper.length = reg::SEQMEM_LEN;
        mapper.addr = base_;
    }
    ~SeqWindow() { munmap(base_, reg::SEQMEM_LEN); }
    SeqWindow(const SeqWindow&) = delete;
    SeqWindow& operator=(const SeqWindow&) = delete;

    uint8_t* slot(unsigned s) const { return base_ + (s == 1 ? reg::SEQMEM_SLOT1_OFFSET : 0); }
    // Fills the first n bytes of a slot's region with a recognisable byte.
    void poison(unsigned s, size_t n, uint8_t v = 0x5A) const { std::memset(slot(s), v, n); }

    MemoryMapper mapper;

private:
    uint8_t* base_ = nullptr;
};
