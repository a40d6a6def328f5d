// The simulated FPGA: answers the register map synchronously, holds the 128 MiB sequence window,
// and lets feature modules (playback, triggers, sensors, ...) react to register accesses.
//
// Thread-safe: every access runs under the device's own (recursive) lock. Feature modules
// register hooks through SIM_FEATURE (see below); each hook runs with the lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SeqMemory.h"

namespace sim {

// Fixed words of the simulated board. Tests set them in-process; the server reads them from
// "$TARVEX_ROOT/sim.conf" (KEY=value lines, numbers in C notation), see the README.
struct Config {
    uint32_t firmware_version = 0x00010700;      // control 0x30 bits 23:0
    uint64_t device_id = 0x0123456789ABCDEFull;  // control 0x34/0x38
    uint32_t board_pins = 0x1C00;                // GPIO input bank 0 (bits 12:10 read inverted)
    bool output_stage_ready = true;              // status bit 18
    std::string mac = "02:00:00:00:00:01";       // hardware address of eth0
    std::string ip = "192.168.1.100";            // eth0 address
    std::string netmask = "255.255.255.0";
    bool link_up = true;  // eth0 up and running
};

// Reads "KEY=value" lines of a sim configuration file over the given defaults.
Config load_config(const std::string& file, Config defaults = Config());

class Fpga {
public:
    using ReadHook = std::function<uint32_t(Fpga&, uint64_t addr, uint32_t stored)>;
    using WriteHook = std::function<void(Fpga&, uint64_t addr, uint32_t old_value, uint32_t new_value)>;
    using TickHook = std::function<void(Fpga&)>;

    explicit Fpga(const Config& cfg = Config());
    ~Fpga();
    Fpga(const Fpga&) = delete;
    Fpga& operator=(const Fpga&) = delete;

    // Register access as the device sees it (runs hooks).
    uint32_t read(uint64_t addr);
    void write(uint64_t addr, uint32_t value);

    // Test API: the stored word without side effects, and setting it directly.
    uint32_t peek(uint64_t addr);
    void poke(uint64_t addr, uint32_t value);
    // Sets or clears bits of a stored word (used for the read-only status word).
    void set_bits(uint64_t addr, uint32_t mask, bool on);
    // Every write seen so far for one address, in order (test API; bounded history).
    std::vector<uint32_t> writes(uint64_t addr);
    void clear_write_log();

    // The sequence memory window (128 MiB, touched lazily; see SeqMemory.h): the FPGA's view,
    // and the driver's (which faults on direct access).
    uint8_t* memory() { return memory_.fpga(); }
    uint8_t* driver_memory() { return memory_.driver(); }
    size_t memory_size() const { return memory_.size(); }

    Config& config() { return config_; }
    std::recursive_mutex& lock() { return lock_; }

    // Hooks for feature modules.
    void on_read(uint64_t addr, ReadHook hook);
    void on_write(uint64_t addr, WriteHook hook);
    // Runs before every access: lets time-driven state (playback) catch up with the wall clock.
    void on_tick(TickHook hook);

    // Per-feature state, owned by the device (created on first use).
    template <class T>
    T& state(const std::string& key) {
        std::lock_guard<std::recursive_mutex> g(lock_);
        auto it = states_.find(key);
        if (it == states_.end()) it = states_.emplace(key, std::make_shared<Holder<T>>()).first;
        return static_cast<Holder<T>*>(it->second.get())->value;
    }

    // Releases the pages of the sequence window (device replaced by a fresh one).
    void retire();

private:
    struct HolderBase {
        virtual ~HolderBase() = default;
    };
    template <class T>
    struct Holder : HolderBase {
        T value{};
    };

    void tick();
    uint32_t& word(uint64_t addr);

    std::recursive_mutex lock_;
    Config config_;
    std::map<uint64_t, uint32_t> words_;
    std::map<uint64_t, std::vector<ReadHook>> read_hooks_;
    std::map<uint64_t, std::vector<WriteHook>> write_hooks_;
    std::vector<TickHook> tick_hooks_;
    std::map<uint64_t, std::vector<uint32_t>> write_log_;
    std::map<std::string, std::shared_ptr<HolderBase>> states_;
    SeqMemory memory_;
    bool in_tick_ = false;
};

// The process's simulated FPGA, created on first use from "$TARVEX_ROOT/sim.conf".
Fpga& device();
// Replaces the process's device with a fresh one (tests). The previous object stays valid
// (threads that still hold it see a retired device) but its sequence pages are released.
Fpga& fresh_device(const Config& cfg = Config());

// Feature modules install their hooks on every new device; register_modules (Modules.h) adds
// them all before the first device is made.
using Feature = void (*)(Fpga&);
void add_feature(const char* name, Feature install);

}  // namespace sim
