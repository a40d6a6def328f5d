// Sequence slots, upload and run control: putting a sequence into a slot, programming its run
// count, final state and chaining, starting and stopping playback, and the status queries.
// Every operation runs with pulser_lock held by the caller; the waits release it (see Pulser.h).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>
#include <vector>

#include "common/CpuTime.h"
#include "device/Pulse.h"
#include "device/Pulser.h"
#include "hardware/streaming_state.h"
#include "device/register_access.h"
#include "platform/platform.h"

using namespace reg;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t UPLOAD_POLL_US = 100;
constexpr uint32_t START_POLL_US = 10;
constexpr uint32_t HANDSHAKE_POLL_US = 10;
constexpr uint32_t CONFIG_SETTLE_US = 10;
constexpr uint32_t MANY_PULSES_FROM = 8001;  // low-level pulses that need the large-sequence bit

unsigned bit01(uint32_t word, uint32_t mask) { return (word & mask) ? 1 : 0; }

bool valid_slot(unsigned int slot) { return slot == 0 || slot == 1; }

// The error indication blocks uploads unless both error-cleared bits are set.
bool underflowGatePasses(uint32_t s) {
    const uint32_t cleared = status::ERROR_KIND_A | status::ERROR_KIND_B;
    return !(s & status::ERROR) || (s & cleared) == cleared;
}

uint32_t busyBits(unsigned int slot) { return slot == 0 ? status::SLOT0_BUSY : status::SLOT1_BUSY; }

bool slotHolds(uint32_t s, unsigned int slot) {
    if (slot == 0) return (s & (status::SLOT0_READY | status::SLOT0_HOLDS)) && !(s & status::SLOT0_NOT_HOLDING);
    return (s & (status::SLOT1_READY | status::SLOT1_HOLDS)) && !(s & status::SLOT1_NOT_HOLDING);
}

bool filled(uint32_t s) {
    const uint32_t both = status::FIFOS_FILLED_A | status::DECODER_FIFO_FULL;
    return (s & both) == both;
}

bool fillStop(uint32_t s, unsigned int slot) {
    const uint32_t slot_bit = slot == 0 ? (1u << 24) : (1u << 25);
    return s & (status::FIFO_FULL | status::ERROR_KIND_A | slot_bit);
}

void printHex(uint32_t v) { std::cout << std::hex << v << std::dec << std::endl; }

}  // namespace

void Pulser::showConstant(const Pulse& p) {
    ANALOG_TO_BYTES analog;
    analog.setWithCalibration(p.ao0, p.ao1);
    ctrl.write(ctrl::CONST_ANALOG, analog.value);
    field_set(ctrl, ctrl::CONST_DIGI, p.digi);
}

int Pulser::upload(sequences_t slot, const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state,
                   next_action_t next_action, when_t when, on_nodata_t on_nodata) {
    uint64_t id = 0;
    if (openFill(SlotFill{slot, n_runs, final_state, next_action, when, on_nodata}, id) != 0) return -1;
    return fillInPieces(id, seq) && closeFill(id) == 0 ? 0 : -1;
}

bool Pulser::fillInPieces(uint64_t id, const std::vector<Pulse>& seq) {
    for (size_t at = 0; at < seq.size(); at += FILL_PIECE) {
        if (at > 0) pauseUnlocked(0);
        if (!fillPulses(id, seq.data() + at, std::min(FILL_PIECE, seq.size() - at))) return false;
    }
    return true;
}

bool Pulser::uploadGate() {
    if (underflowGatePasses(ctrl.read(ctrl::STATUS))) return true;
    std::cout << "Underflow before upload executed" << std::endl;
    return false;
}

int Pulser::openFill(const SlotFill& fill, uint64_t& id) {
    id = 0;
    const sequences_t slot = fill.slot;
    std::cout << "Uploading Sequence data to slot: " << slot << std::endl;
    const auto begin = Clock::now();
    if (!uploadGate()) return -1;
    if (!valid_slot(slot)) {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return -1;
    }
    // A streamed sequence may run past the start of slot 1's memory: slot 1 then waits until
    // slot 0 holds that sequence no more, or its end would be overwritten.
    if (slot == 1 && field_read(slotBlock(0), slot::ENABLE) && slotBlock(0).read(slot::SIZE) > SEQMEM_SLOT1_OFFSET) {
        std::cout << "ERROR - the sequence in slot 0 reaches into slot 1's memory" << std::endl;
        return -1;
    }

    while (ctrl.read(ctrl::STATUS) & busyBits(slot)) {
        if (!pauseUnlocked(UPLOAD_POLL_US)) {
            std::cout << "upload overtaken by another operation" << std::endl;
            return FILL_OVERTAKEN;
        }
        if (Clock::now() - begin > upload_busy_timeout) {
            uint32_t s = ctrl.read(ctrl::STATUS);
            std::cout << "stop upload" << std::endl;
            printHex(s);
            std::cout << bit01(s, status::ERROR) << std::endl;
            return -1;
        }
        if (!uploadGate()) return -1;
    }

    overtakeOthers();
    // Nothing plays, chains to or reads back the slot while it is written.
    Mapper& block = slotBlock(slot);
    field_set(block, slot::ENABLE, 0);
    block.write(slot::SIZE, 0);
    seq_data[slot] = SequenceControlData();
    slotMemoryWritten(slot);
    open_fill.id = id = generation;
    open_fill.fill = fill;
    open_fill.encoder = std::make_unique<SequenceEncoder>(
        Analog_calibration, seq_mem, slot,
        Full_Pattern(0, fill.final_state.digi, fill.final_state.ao0, fill.final_state.ao1),
        static_cast<uint64_t>(fill.n_runs));
    return 0;
}

bool Pulser::fillPulses(uint64_t id, const Pulse* pulses, size_t count) {
    if (id == 0 || id != open_fill.id) return false;
    try {
        open_fill.encoder->add(pulses, count);
    } catch (...) {
        open_fill = OpenFill();
        throw;
    }
    return true;
}

int Pulser::closeFill(uint64_t id) {
    if (id == 0 || id != open_fill.id) return FILL_OVERTAKEN;
    const OpenFill f = std::move(open_fill);
    open_fill = OpenFill();
    const SlotFill& u = f.fill;
    SequenceControlData data = f.encoder->finish();
    slotMemoryWritten(u.slot);
    std::cout << "Seq data: " << data.nBytes << " bytes | Ticks: " << data.wholeTicks << std::endl;
    std::cout << data.nPulses << " pulses | Data Rate: " << data.dataRate << " GBit/s " << std::endl;

    setSequenceConfig(u.slot, data, u.n_runs, u.next_action, u.when, u.on_nodata);
    usleep(CONFIG_SETTLE_US);
    setFinalState(u.final_state, u.slot);
    constant_state = u.final_state;
    field_set(slotBlock(u.slot), slot::ENABLE, 1);
    return 0;
}

void Pulser::dropFill(uint64_t id) {
    if (id != 0 && id == open_fill.id) open_fill = OpenFill();
}

int Pulser::openStream(long long n_runs, const Pulse& final_state, uint64_t& id) {
    std::cout << "Stop FPGA and streaming" << std::endl;
    showConstant(constant_state);
    stopFpga();
    return openFill(SlotFill{0, n_runs, final_state, 0, 0, 0}, id);
}

int Pulser::closeStream(uint64_t id) {
    if (id != 0 && closeFill(id) != 0) return FILL_OVERTAKEN;
    return start(0, -1);
}

void Pulser::overtakeOthers() {
    ++generation;
    open_fill = OpenFill();
}

bool Pulser::pauseUnlocked(uint32_t us) {
    const uint64_t before = generation;
    if (device_lock) device_lock->unlock();
    if (us > 0)
        usleep(us);
    else
        std::this_thread::yield();
    if (device_lock) device_lock->lock();
    return generation == before;
}

std::pair<const uint8_t*, size_t> Pulser::slotRegion(sequences_t slot) {
    if (!valid_slot(slot) || !seq_mem.addr) return {nullptr, 0};
    const uint32_t offset = slot == 0 ? 0 : SEQMEM_SLOT1_OFFSET;
    const size_t size = std::min<size_t>(slotBlock(slot).read(slot::SIZE), SEQMEM_LEN - offset);
    return {seq_mem.addr + offset, size};
}

void Pulser::slotMemoryWritten(sequences_t slot) {
    // Kept even: readers compare versions; a fill keeps the slot's size at 0 while it writes.
    slot_memory_version[1] += 2;
    if (slot == 0) slot_memory_version[0] += 2;  // a sequence of slot 0 may reach into slot 1's memory
}

void Pulser::setSequenceConfig(unsigned int slot, SequenceControlData data, long long n_runs, next_action_t next_action,
                               when_t when, on_nodata_t on_nodata) {
    if (!valid_slot(slot)) {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return;
    }
    Mapper& block = slotBlock(slot);
    field_set(block, slot::ENABLE, 0);
    seq_data[slot] = data;
    field_set(block, slot::MANY_PULSES, data.nPulses >= MANY_PULSES_FROM ? 1 : 0);
    field_set(block, slot::LOOP, next_action == 3 ? 1 : 0);
    block.write(slot::SIZE, data.nBytes);

    uint64_t runs;
    if (n_runs < 0) {
        runs = slot::RUNS_ENDLESS;
    } else if (n_runs == 0) {
        std::cout << "n_runs =0" << std::endl;
        runs = 0;
    } else {
        runs = static_cast<uint64_t>(n_runs) - 1;
    }
    block.write(slot::RUNS_LO, static_cast<uint32_t>(runs));
    block.write(slot::RUNS_HI, static_cast<uint32_t>(runs >> 32));

    field_set(block, slot::FOLLOW_ON, (next_action == 1 || next_action == 2) ? 1 : 0);
    field_set(block, slot::WHEN, when == 1 ? 1 : 0);
    field_set(block, slot::NOT_ACTION_1, next_action == 1 ? 0 : 1);

    auto noDuration = [&] {
        field_set(block, slot::NODATA_DURATION, 0);
        block.write(slot::DURATION_LO, 0);
        block.write(slot::DURATION_HI, 0);
        field_set(block, slot::DURATION_WIDE, 0);
    };
    if (on_nodata == 1) {
        field_set(block, slot::NODATA_REPEAT, 1);
        noDuration();
        return;
    }
    field_set(block, slot::NODATA_REPEAT, 0);
    if (on_nodata == 2 && next_action != 0 && next_action != 3) {
        field_set(block, slot::NODATA_DURATION, 1);
        block.write(slot::DURATION_LO, static_cast<uint32_t>(data.wholeTicks));
        block.write(slot::DURATION_HI, static_cast<uint32_t>(data.wholeTicks >> 32));
        // Duration x runs needs more than 63 bits; only positive operands have a logarithm.
        bool wide = data.wholeTicks > 0 && n_runs > 0 &&
                    std::log2(static_cast<double>(data.wholeTicks)) + std::log2(static_cast<double>(n_runs)) > 63.0;
        if (wide) std::cout << "True it is 64" << std::endl;
        field_set(block, slot::DURATION_WIDE, wide ? 1 : 0);
    } else {
        noDuration();
    }
}

void Pulser::setFinalState(const Pulse& final_state, sequences_t slot) {
    if (!valid_slot(slot)) {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return;
    }
    ANALOG_TO_BYTES analog;
    analog.setWithCalibration(final_state.ao0, final_state.ao1);
    Mapper& block = slotBlock(slot);
    block.write(slot::FINAL_ANALOG, analog.value);
    field_set(block, slot::FINAL_DIGI, final_state.digi);
}

int Pulser::stream(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state) {
    uint64_t id = 0;
    if (openStream(n_runs, final_state, id) == FILL_OVERTAKEN) return -1;
    if (id != 0 && !fillInPieces(id, seq)) return -1;
    const int started = closeStream(id);
    return started == FILL_OVERTAKEN ? -1 : started;
}

int Pulser::start(unsigned int slot, long long slot_runs) {
    if (!startable(slot)) return -1;
    overtakeOthers();

    uint32_t s = ctrl.read(ctrl::STATUS);
    if ((s & status::FINISHED) && !(s & status::ERROR)) showConstant(constant_state);

    field_set(ctrl, ctrl::RUN, 0);
    field_set(ctrl, ctrl::LOAD_ENABLE, 0);
    field_set(ctrl, ctrl::START_SLOT, slot);
    clearFifos();
    const uint64_t runs = static_cast<uint64_t>(slot_runs);
    ctrl.write(ctrl::SLOT_RUNS_LO, static_cast<uint32_t>(runs));
    ctrl.write(ctrl::SLOT_RUNS_HI, static_cast<uint32_t>(runs >> 32));

    s = ctrl.read(ctrl::STATUS);
    const double cpu_begin = cpu_seconds();
    field_set(ctrl, ctrl::LOAD_ENABLE, 1);
    std::cout << "FPGA tvalid: " << bit01(s, status::TVALID) << std::endl;

    const auto begin = Clock::now();
    for (;;) {
        s = ctrl.read(ctrl::STATUS);
        if (filled(s) || fillStop(s, slot)) break;
        if (Clock::now() - begin > start_fill_timeout) {
            std::cout << "start aborted and reset system" << std::endl;
            printHex(s);
            // Leave no half-prepared load behind: it would keep the slot's memory busy.
            field_set(ctrl, ctrl::LOAD_ENABLE, 0);
            return -1;
        }
        if (!pauseUnlocked(START_POLL_US)) {
            std::cout << "start overtaken by another operation" << std::endl;
            return -1;
        }
    }
    const double fill_us = (cpu_seconds() - cpu_begin) * 1e6;

    std::cout << "\tFIFO full " << bit01(s, status::FIFO_FULL) << std::endl;
    std::cout << "\tDECODER_FIFO full " << bit01(s, status::DECODER_FIFO_FULL) << std::endl;
    std::cout << "\tLOOP_MODE " << bit01(s, status::LOOP_MODE) << std::endl;
    std::cout << "Fill time: " << fill_us << "µs" << std::endl;
    std::cout << "FPGA tvalid: " << bit01(s, status::TVALID) << std::endl;
    std::cout << "Datamover reset: " << (ctrl.read(ctrl::CONTROL) & ctrl::DM_RESET.mask) << std::endl;

    field_set(ctrl, ctrl::RUN, 1);
    if (trigger_start == IMMEDIATE) {
        field_set(ctrl, ctrl::SW_TRIGGER, 1);
        field_set(ctrl, ctrl::SW_TRIGGER, 0);
    }
    return 0;
}

bool Pulser::startable(unsigned int slot) {
    StreamingState ss = getStreamingState();
    uint32_t s = ctrl.read(ctrl::STATUS);
    if (ss.state == 2 || (s & status::ERROR)) return false;
    if (ss.state == 3 && ss.state_condition == 0) return false;
    if (!valid_slot(slot)) {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return false;
    }
    return slotHolds(s, slot);
}

int Pulser::constant(const Pulse& state) {
    std::cout << "constant called: " << state.ticks << "|" << static_cast<unsigned>(state.digi) << "|" << state.ao0
              << "|" << state.ao1 << std::endl;
    showConstant(state);
    stopFpga();
    constant_state = state;
    return 0;
}

int Pulser::forceFinal() {
    showConstant(constant_state);
    std::cout << "Stop Pulser..." << std::endl;
    stopFpga();
    return 0;
}

StreamingState Pulser::getStreamingState() {
    StreamingState r;
    const auto begin = Clock::now();
    // An earlier readout that gave up may have left the acknowledge set; the FPGA only sees a
    // new acknowledge when it rises, so start from a cleared one.
    if (field_read(ctrl, ctrl::SS_ACK)) field_set(ctrl, ctrl::SS_ACK, 0);

    field_set(ctrl, ctrl::SS_REQUEST, 1);
    field_set(ctrl, ctrl::SS_REQUEST, 0);

    auto waitValid = [&](bool want) {
        for (;;) {
            if ((field_read(ctrl, ctrl::SS_VALID) != 0) == want) return true;
            if (Clock::now() - begin > streaming_state_timeout) return false;
            usleep(HANDSHAKE_POLL_US);
        }
    };
    auto put = [](uint64_t& counter, unsigned half, uint32_t w) {
        if (half == 0)
            counter = (counter & 0xFFFFFFFF00000000ull) | w;
        else
            counter = (counter & 0xFFFFFFFFull) | (uint64_t(w) << 32);
    };

    for (unsigned i = 0; i < streaming_state::WORDS; ++i) {
        if (!waitValid(true)) {
            r.error_message = "Transfer failed";
            return r;
        }
        uint32_t w = ctrl.read(ctrl::SS_DATA);
        switch (i) {
            case 0: {
                using namespace streaming_state;
                auto on = [w](uint32_t b) { return (w & b) != 0; };
                r.error_message = "";
                if (on(HALTED) && on(HALT_CLEARED)) {
                    r.state = 0;
                    r.state_condition = 3;
                } else if (on(HALTED)) {
                    r.state = 4;
                    r.state_condition = 0;
                    r.error_message = on(NO_DATA) ? "No Data" : "Underflow";
                } else if (on(STREAMING)) {
                    r.state = 2;
                    r.state_condition = on(LOOPING) ? 3 : 0;
                } else if (on(FILLING)) {
                    r.state = 1;
                    r.state_condition = on(CONDITION_ONE) ? 1 : 2;
                } else if (on(FILLED) && !on(FILL_BLOCKED)) {
                    r.state = 3;
                    r.state_condition = on(ARMED) ? 0 : (on(CONDITION_ONE) ? 1 : 2);
                } else if (on(FINISHED)) {
                    r.state = 0;
                    r.state_condition = on(NO_DATA) ? 3 : (on(CONDITION_ONE) ? 1 : 0);
                } else {
                    r.state = 0;
                    r.state_condition = hasSequence() ? 4 : 0;
                }
                break;
            }
            case 1:
            case 2: put(r.total_time, i - 1, w); break;
            case 3:
            case 4: put(r.streaming_time, i - 3, w); break;
            case 5:
            case 6: put(r.underflow_time, i - 5, w); break;
            case 7:
            case 8: put(r.waiting_data_time, i - 7, w); break;
            default: put(r.slot_changes, i - 9, w); break;
        }
        field_set(ctrl, ctrl::SS_ACK, 1);
        if (!waitValid(false)) {
            r.error_message = "Transfer failed";
            return r;
        }
        field_set(ctrl, ctrl::SS_ACK, 0);
    }
    return r;
}

SequenceControlData Pulser::getSequenceControlData(int slot) {
    if (slot != 0 && slot != 1) {
        std::cout << "ERROR - slot number not defined" << std::endl;
        return SequenceControlData();
    }
    return seq_data[slot];
}

bool Pulser::isReadyForData(sequences_t slot) {
    uint32_t s = ctrl.read(ctrl::STATUS);
    if (!valid_slot(slot)) {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return false;
    }
    return underflowGatePasses(s) && !(s & busyBits(slot));
}

bool Pulser::hasSequence() {
    uint32_t s = ctrl.read(ctrl::STATUS);
    return slotHolds(s, 0) || slotHolds(s, 1);
}

bool Pulser::isStreaming() { return ctrl.read(ctrl::STATUS) & status::STREAMING; }

bool Pulser::hasFinished() {
    uint32_t s = ctrl.read(ctrl::STATUS);
    return (s & status::FINISHED) && !(s & status::ERROR);
}

unsigned int Pulser::getUnderflow() { return bit01(ctrl.read(ctrl::STATUS), status::ERROR); }
