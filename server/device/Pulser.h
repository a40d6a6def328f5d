// The one device object: sole owner of the FPGA's registers and sequence memory.
//
// Pulser has no internal locking. Every interface thread holds the device lock (main.cpp) around
// each call; only the network watcher runs without it and touches nothing but
// its own status bits and the network settings (guarded by their own small lock).
//
// Waits for the device (a slot's memory to be free, the FIFOs to fill) sleep with that lock
// released when `device_lock` names it, so no interface waits behind another's device wait. An
// operation that changes what the slots hold or what plays (stopFpga, start, opening a fill)
// counts as overtaking every operation waiting or filling at that moment: those fail (-1) and
// leave the device as the overtaking operation left it.
//
// Results follow the system's conventions: 0 success, -1 failure; 1/0 for yes/no; a message line
// on standard output. Exceptions: std::out_of_range from the encoder (through upload and stream).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hardware/CommandDecoder.h"
#include "device/MemoryManager.h"
#include "device/Pulse.h"
#include "common/types.h"

// Network settings: the mode in force and the last static settings loaded or set.
struct network_settings {
    bool dhcp = false;
    std::string ip;
    std::string netmask;
    std::string gateway;
};

// Live state of an Ethernet interface.
struct ConfigEthx {
    bool link_up = false;  // up and running
    std::string ip = "0.0.0.0";
    std::string netmask = "0.0.0.0";
    ConfigEthx() = default;
};

// Largest phase shift, in steps, that shiftClkPhase carries out. The clock generator moves the
// phase in steps of 1/56 of its 625 MHz oscillator period (28.6 ps), so one turn of the 8 ns
// sequence clock is 280 steps; a larger shift only comes back round. Two turns are allowed.
constexpr int MAX_PHASE_STEPS = 2 * 280;

// Pulses encoded per hold of the device lock when a list is put into a slot.
constexpr size_t FILL_PIECE = 16384;

// Result of a fill operation that another operation overtook.
constexpr int FILL_OVERTAKEN = -2;

// The arguments of `upload` other than the pulses: what a slot is filled with.
struct SlotFill {
    sequences_t slot = 0;
    long long n_runs = 0;
    Pulse final_state{0, 0, 0, 0};
    next_action_t next_action = 0;
    when_t when = 0;
    on_nodata_t on_nodata = 0;
};

class Pulser {
public:
    Pulser();
    virtual ~Pulser();
    Pulser(const Pulser&) = delete;
    Pulser& operator=(const Pulser&) = delete;

    // ---- lifecycle and housekeeping (Pulser.cpp) ----
    int reset();
    int stopFpga();
    void clearFifos();
    void set_qos();
    void reset_qos();
    int reboot();

    // ---- analog calibration (PulserCalibration.cpp) ----
    AnalogCalibData getAnalogCalibration();
    int32_t setAnalogCalibration(AnalogCalibData data);

    // ---- sequence slots, upload and run control (PulserRun.cpp) ----
    int upload(sequences_t slot, const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state,
               next_action_t next_action, when_t when, on_nodata_t on_nodata);
    int stream(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state);

    // ---- a slot filled in pieces, with the device lock free between the calls ----
    // `upload` is openFill, fillPulses with pieces of FILL_PIECE pulses, closeFill, and leaves the
    // device lock to the others between the pieces (`stream` likewise). Each call is made with the
    // device lock held; `id` names the fill, and a fill another operation overtook is gone.
    // Opens a fill: `upload`'s checks and wait for the slot's memory; the slot is then emptied
    // (disabled, size 0), so nothing plays or reads it half written. 0; -1 as `upload` fails;
    // FILL_OVERTAKEN when another operation overtook the wait. `id` is 0 unless opened.
    int openFill(const SlotFill& fill, uint64_t& id);
    // Encodes the next `count` pulses into the slot. False when the fill is gone (nothing written).
    // Throws std::out_of_range when the slot's memory is full; the fill is then gone.
    bool fillPulses(uint64_t id, const Pulse* pulses, size_t count);
    // Ends the fill: the last commands, then the slot's sizes, run count, final state and enable
    // (the rest of `upload`). 0, or FILL_OVERTAKEN when the fill is gone.
    int closeFill(uint64_t id);
    // Ends the fill and leaves the slot empty (a sender that went away).
    void dropFill(uint64_t id);
    // `stream` in the same pieces: openStream puts the constant state out, stops the device and
    // opens a fill of slot 0 (openFill's result). closeStream closes the fill and starts slot 0:
    // start's result, also after an open that failed (id 0), as `stream` ignores a failed upload;
    // FILL_OVERTAKEN, without a start, when the fill is gone.
    int openStream(long long n_runs, const Pulse& final_state, uint64_t& id);
    int closeStream(uint64_t id);
    int start(unsigned int slot, long long slot_runs);
    bool startable(unsigned int slot);
    void setSequenceConfig(unsigned int slot, SequenceControlData data, long long n_runs, next_action_t next_action,
                           when_t when, on_nodata_t on_nodata);
    void setFinalState(const Pulse& final_state, sequences_t slot);
    int constant(const Pulse& state);
    int forceFinal();
    StreamingState getStreamingState();
    SequenceControlData getSequenceControlData(int slot);
    bool isReadyForData(sequences_t slot);
    // A slot's memory up to its size register (null and 0 for no slot or nothing uploaded); read
    // it under the device lock only, and only while slotMemoryVersion() stays the same.
    std::pair<const uint8_t*, size_t> slotRegion(sequences_t slot);
    // Changes whenever an upload writes the slot's memory (a fill holds the slot's size at 0 while it
    // writes, so readers see nothing uploaded until it closes).
    // (A sequence of slot 0 may reach into slot 1's memory: an upload into slot 0 counts for both.)
    uint64_t slotMemoryVersion(sequences_t slot) const { return slot_memory_version[slot & 1]; }
    // A new version of the slot's memory: called when a fill opens and when it closes.
    void slotMemoryWritten(sequences_t slot);
    bool hasSequence();
    bool isStreaming();
    bool hasFinished();
    unsigned int getUnderflow();

    // Constant state registers := p (calibrated analog word, digital state).
    void showConstant(const Pulse& p);
    // Bounds of the waits above, on the wall clock. Tests may shorten them; the paths are the same.
    std::chrono::milliseconds upload_busy_timeout{7000};
    std::chrono::milliseconds start_fill_timeout{1000};
    std::chrono::microseconds streaming_state_timeout{1000};
    // The lock every caller holds (see the top of this file); none: the waits keep it.
    std::mutex* device_lock = nullptr;

    // ---- trigger and clock (PulserTrigger.cpp) ----
    int setTrigger(start_t start, trigger_rearm_t rearm_mode);
    start_t getTriggerStart();
    trigger_rearm_t getTriggerRearm();
    int rearm();
    void startNow();
    int selectClock(clocksource_t src);
    clocksource_t getClock();
    int32_t setClkParam(double ref_mhz);
    // Refuses (-1, device untouched) step counts beyond +-MAX_PHASE_STEPS.
    int32_t shiftClkPhase(int steps);
    void setSquareWave125MHz(unsigned char mask);

    // ---- device information and diagnostics (PulserInfo.cpp) ----
    std::string getSerial();
    int32_t programSerial(const std::string& mac);
    std::string getFPGAID();
    std::string getFirmwareVersion();
    std::string getHardwareVersion();
    std::string getTemperature();
    SupplyState getSupplyState();
    uint32_t getStatusRegister();
    void setDebugRegister(unsigned int value, unsigned int mask);

    // ---- network configuration (PulserNetwork.cpp) ----
    ConfigEthx getConfigEth0();
    int setNetworkConfiguration(bool dhcp, std::string ip, std::string netmask, std::string gateway, bool testmode);
    int applyNetworkConfiguration();
    network_settings getNetworkConfiguration(bool permanent);
    void testNetworkConf();
    void network_daemon();

    // ---- hostname (PulserHostname.cpp) ----
    std::string getHostname();
    int setHostname(const std::string& name);

    // Members, in the device's declaration order.
    bool auto_rearm = true;
    network_settings settings;  // guarded by settings_lock (the watcher reads it)
    bool permanent = false;
    Pulse constant_state{0, 0, 0, 0};
    uint32_t board_version = 0;  // complemented input word of the board version pins
    uint32_t trigger_edge = 0;   // 0 rising, 1 falling, 2 both
    start_t trigger_start = IMMEDIATE;
    clocksource_t clock_source = INTERNAL;
    int mem_fd = -1;
    Mapper ctrl, slot0, slot1;
    MemoryMapper seq_mem;
    Mapper axi_hp0, axi_hp1, axi_hp2, axi_hp3, qos_cpu, i2c0, slcr, qos_io, gpio;
    std::thread network_thread;
    SequenceControlData seq_data[2];
    uint64_t slot_memory_version[2] = {0, 0};

    std::mutex settings_lock;  // serialises the network settings between watcher and interfaces

    // At most one "testip" runs at a time: test-mode calls made while it runs become one more run,
    // with the settings then in force (a flood of calls cannot start a thread and a command each).
    std::mutex network_test_lock;
    bool network_test_running = false, network_test_again = false;
    void startNetworkTest();

    // The watcher sleeps through this so the destructor can end it at once. Returns false when
    // the watcher is to stop.
    bool watcherSleep(std::chrono::milliseconds period);

    // The register block of a slot (0 or 1).
    Mapper& slotBlock(unsigned int slot) { return slot == 0 ? slot0 : slot1; }

private:
    // Counts the operations that change what the slots hold or what plays; bumping it ends the
    // open fill.
    uint64_t generation = 0;
    struct OpenFill {
        uint64_t id = 0;
        SlotFill fill;
        std::unique_ptr<SequenceEncoder> encoder;
    } open_fill;
    void overtakeOthers();
    // Sleeps `us` with the device lock released. False when another operation overtook the
    // caller meanwhile.
    bool pauseUnlocked(uint32_t us);
    // fillPulses with `seq` in pieces, pausing between them; false when the fill is gone.
    bool fillInPieces(uint64_t id, const std::vector<Pulse>& seq);
    // upload's underflow gate, with its message when it fails.
    bool uploadGate();

    std::mutex watcher_mutex;
    std::condition_variable watcher_cv;
    bool watcher_stop = false;

    bool mapped() const { return ctrl.words != nullptr; }
    void waitForOutputStage();
    void writeVersionFiles();
};
