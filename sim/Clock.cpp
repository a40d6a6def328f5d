#include "sim/Modules.h"
#include "sim/Clock.h"

#include "hardware/registers.h"

namespace sim {

namespace {

struct ClockState {
    int position = 0;
    int fail_after = -1;  // confirmed steps still to go before the injected failure; -1 none
    std::vector<uint32_t> params;
};

ClockState& clock_state(Fpga& f) { return f.state<ClockState>("clock"); }

void install(Fpga& f) {
    using namespace reg;
    f.on_write(CTRL_BASE + ctrl::CLOCK, [](Fpga& dev, uint64_t, uint32_t old_value, uint32_t new_value) {
        auto rose = [&](Field fld) { return !(old_value & fld.mask) && (new_value & fld.mask); };
        ClockState& st = clock_state(dev);
        if (rose(ctrl::PHASE_STEP)) {
            bool ok = true;
            if (st.fail_after == 0) ok = false;
            if (st.fail_after >= 0) --st.fail_after;
            if (ok) st.position += field_get(ctrl::PHASE_DIR, new_value) ? 1 : -1;
            dev.set_bits(CTRL_BASE + ctrl::STATUS, status::PHASE_DONE, ok);
        }
        if (rose(ctrl::CLK_PARAM_WRITE)) st.params.push_back(dev.peek(CTRL_BASE + ctrl::CLK_PARAM));
    });
}

}  // namespace

void fail_phase_step(Fpga& f, unsigned int after_ok) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    clock_state(f).fail_after = static_cast<int>(after_ok);
}

int phase_position(Fpga& f) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    return clock_state(f).position;
}

std::vector<uint32_t> clock_params(Fpga& f) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    return clock_state(f).params;
}

void register_clock() { add_feature("clock", install); }

}  // namespace sim
