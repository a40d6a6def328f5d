#include "device/MemoryManager.h"

#include <cstdlib>
#include <iostream>

#include "platform/platform.h"

void Mapper::map(int fd) {
    void* p = platform::map_phys(fd, base, length);
    if (!p) {
        std::cout << "Can't map" << std::endl;
        std::exit(0);
    }
    words = static_cast<volatile uint32_t*>(p);
}

void Mapper::unmap() {
    if (platform::unmap_phys(const_cast<uint32_t*>(words), length) != 0) {
        std::cout << "Can't unmap" << std::endl;
        std::exit(0);
    }
    words = nullptr;
}

uint32_t Mapper::read(uint32_t offset) const { return platform::reg_read(words, base, offset); }

void Mapper::write(uint32_t offset, uint32_t value) { platform::reg_write(words, base, offset, value); }

void MemoryMapper::map(int fd) {
    void* p = platform::map_phys(fd, base, length);
    if (!p) {
        std::cout << "Can't map" << std::endl;
        std::exit(0);
    }
    addr = static_cast<uint8_t*>(p);
}

void MemoryMapper::unmap() {
    if (platform::unmap_phys(addr, length) != 0) {
        std::cout << "Can't unmap" << std::endl;
        std::exit(0);
    }
    addr = nullptr;
}
