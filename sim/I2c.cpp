#include "sim/Modules.h"
#include "sim/I2c.h"

#include "hardware/registers.h"

namespace sim {

namespace {

struct I2cState {
    std::vector<uint8_t> pending;
    std::vector<I2cTransfer> transfers;
    uint32_t completion = 0;
};

I2cState& i2c_state(Fpga& f) { return f.state<I2cState>("i2c"); }

void install(Fpga& f) {
    using namespace reg;
    const uint64_t base = I2C0_BASE;
    f.on_write(base + i2c::DATA, [](Fpga& dev, uint64_t, uint32_t, uint32_t value) {
        i2c_state(dev).pending.push_back(static_cast<uint8_t>(field_get(i2c::DATA_BYTE, value)));
    });
    f.on_write(base + i2c::ADDRESS, [](Fpga& dev, uint64_t, uint32_t, uint32_t value) {
        I2cState& st = i2c_state(dev);
        I2cTransfer t;
        t.bus_address = field_get(i2c::BUS_ADDRESS, value);
        t.control = field_get(i2c::CONTROL_MODE, dev.peek(base + i2c::CONTROL));
        t.bytes.swap(st.pending);
        st.transfers.push_back(std::move(t));
        dev.poke(base + i2c::INT_STATUS, dev.peek(base + i2c::INT_STATUS) | st.completion);
    });
    f.on_write(base + i2c::INT_STATUS, [](Fpga& dev, uint64_t addr, uint32_t old_value, uint32_t value) {
        dev.poke(addr, old_value & ~value);
    });
    f.on_write(SLCR_BASE + slcr::I2C0_RESET.offset, [](Fpga& dev, uint64_t, uint32_t old_value, uint32_t value) {
        if (!(old_value & slcr::I2C0_RESET.mask) && (value & slcr::I2C0_RESET.mask)) {
            i2c_state(dev).pending.clear();
            dev.poke(base + i2c::INT_STATUS, 0);
        }
    });
}

}  // namespace

std::vector<I2cTransfer> i2c_transfers(Fpga& f) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    return i2c_state(f).transfers;
}

void set_i2c_completion(Fpga& f, uint32_t int_status) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    i2c_state(f).completion = int_status;
}

void register_i2c() { add_feature("i2c", install); }

}  // namespace sim
