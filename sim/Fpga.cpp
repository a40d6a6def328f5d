#include "sim/Fpga.h"
#include "sim/Modules.h"

#include <sys/mman.h>

#include <cstdlib>
#include <fstream>

#include "hardware/registers.h"
#include "sim/System.h"

namespace sim {

namespace {

struct Registry {
    std::mutex lock;
    std::vector<std::pair<std::string, Feature>> features;
    Fpga* current = nullptr;
    std::vector<Fpga*> retired;  // replaced devices stay reachable: stale threads may still touch them
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: threads may outlive static teardown
    return *r;
}

uint64_t parse_number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 0); }

constexpr size_t WRITE_LOG_LIMIT = 4096;

}  // namespace

Config load_config(const std::string& file, Config cfg) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "firmware_version")
            cfg.firmware_version = static_cast<uint32_t>(parse_number(value));
        else if (key == "device_id")
            cfg.device_id = parse_number(value);
        else if (key == "board_pins")
            cfg.board_pins = static_cast<uint32_t>(parse_number(value));
        else if (key == "output_stage_ready")
            cfg.output_stage_ready = parse_number(value) != 0;
        else if (key == "mac")
            cfg.mac = value;
        else if (key == "ip")
            cfg.ip = value;
        else if (key == "netmask")
            cfg.netmask = value;
        else if (key == "link_up")
            cfg.link_up = parse_number(value) != 0;
    }
    return cfg;
}

Fpga::Fpga(const Config& cfg) : config_(cfg), memory_(reg::SEQMEM_LEN) {
    using namespace reg;
    // Fixed words answered from the configuration.
    on_read(CTRL_BASE + ctrl::VERSION, [](Fpga& f, uint64_t, uint32_t stored) {
        return (stored & 0xFF000000u) | (f.config_.firmware_version & 0x00FFFFFFu);
    });
    on_read(CTRL_BASE + ctrl::DEVICE_ID_LO,
            [](Fpga& f, uint64_t, uint32_t) { return static_cast<uint32_t>(f.config_.device_id); });
    on_read(CTRL_BASE + ctrl::DEVICE_ID_HI,
            [](Fpga& f, uint64_t, uint32_t) { return static_cast<uint32_t>(f.config_.device_id >> 32); });
    on_read(GPIO_BASE + gpio::IN_BANK0, [](Fpga& f, uint64_t, uint32_t stored) {
        return (stored & ~gpio::BOARD_VERSION_MASK) | (f.config_.board_pins & gpio::BOARD_VERSION_MASK);
    });
    on_read(CTRL_BASE + ctrl::STATUS, [](Fpga& f, uint64_t, uint32_t stored) {
        return f.config_.output_stage_ready ? (stored | status::OUTPUT_READY) : (stored & ~status::OUTPUT_READY);
    });
    // Datamover halt strobe: both datamovers report the halt; the FIFO reset clears the report.
    on_write(CTRL_BASE + ctrl::CONTROL, [](Fpga& f, uint64_t, uint32_t old_value, uint32_t new_value) {
        auto rose = [&](Field fld) { return !(old_value & fld.mask) && (new_value & fld.mask); };
        if (rose(ctrl::DM_HALT)) f.set_bits(CTRL_BASE + ctrl::STATUS, status::DM0_HALTED | status::DM1_HALTED, true);
        if (rose(ctrl::FIFO_RESET))
            f.set_bits(CTRL_BASE + ctrl::STATUS, status::DM0_HALTED | status::DM1_HALTED, false);
    });
}

Fpga::~Fpga() { retire(); }

void Fpga::retire() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    memory_.release();
}

uint32_t& Fpga::word(uint64_t addr) { return words_[addr]; }

void Fpga::tick() {
    if (in_tick_) return;
    in_tick_ = true;
    for (auto& h : tick_hooks_) h(*this);
    in_tick_ = false;
}

uint32_t Fpga::read(uint64_t addr) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    tick();
    uint32_t v = word(addr);
    auto it = read_hooks_.find(addr);
    if (it != read_hooks_.end())
        for (auto& h : it->second) v = h(*this, addr, v);
    return v;
}

void Fpga::write(uint64_t addr, uint32_t value) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    tick();
    uint32_t& w = word(addr);
    uint32_t old_value = w;
    w = value;
    auto& log = write_log_[addr];
    if (log.size() < WRITE_LOG_LIMIT) log.push_back(value);
    auto it = write_hooks_.find(addr);
    if (it != write_hooks_.end())
        for (auto& h : it->second) h(*this, addr, old_value, value);
}

uint32_t Fpga::peek(uint64_t addr) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    auto it = words_.find(addr);
    return it == words_.end() ? 0 : it->second;
}

void Fpga::poke(uint64_t addr, uint32_t value) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    word(addr) = value;
}

void Fpga::set_bits(uint64_t addr, uint32_t mask, bool on) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    uint32_t& w = word(addr);
    w = on ? (w | mask) : (w & ~mask);
}

std::vector<uint32_t> Fpga::writes(uint64_t addr) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    auto it = write_log_.find(addr);
    return it == write_log_.end() ? std::vector<uint32_t>() : it->second;
}

void Fpga::clear_write_log() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    write_log_.clear();
}

void Fpga::on_read(uint64_t addr, ReadHook hook) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    read_hooks_[addr].push_back(std::move(hook));
}
void Fpga::on_write(uint64_t addr, WriteHook hook) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    write_hooks_[addr].push_back(std::move(hook));
}
void Fpga::on_tick(TickHook hook) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    tick_hooks_.push_back(std::move(hook));
}

static Fpga* make_device(const Config& cfg) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    Fpga* f = new Fpga(cfg);  // devices are never freed: stale threads may still touch them
    for (auto& feat : r.features) feat.second(*f);
    Fpga* old = r.current;
    r.current = f;
    if (old) {
        old->retire();
        r.retired.push_back(old);
    }
    return f;
}

Fpga& device() {
    register_modules();
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (r.current) return *r.current;
    }
    return *make_device(load_config(system_path("/sim.conf")));
}

Fpga& fresh_device(const Config& cfg) {
    register_modules();
    return *make_device(cfg);
}

void add_feature(const char* name, Feature install) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.features.emplace_back(name, install);
    if (r.current) install(*r.current);
}

}  // namespace sim
