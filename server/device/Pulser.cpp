// Device bring-up, release and the housekeeping operations the other device operations build on.
#include "device/Pulser.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>

#include "platform/platform.h"
#include "device/register_access.h"

using namespace reg;

namespace {

// The output-stage wait at start-up is bounded in wall-clock time.
constexpr auto OUTPUT_STAGE_TIMEOUT = std::chrono::milliseconds(10000);
}  // namespace

Pulser::Pulser()
    : ctrl(CTRL_BASE, CTRL_LEN),
      slot0(SLOT0_BASE, SLOT_LEN),
      slot1(SLOT1_BASE, SLOT_LEN),
      seq_mem(SEQMEM_BASE, SEQMEM_LEN),
      axi_hp0(AXI_HP0_BASE, AXI_HP_LEN),
      axi_hp1(AXI_HP1_BASE, AXI_HP_LEN),
      axi_hp2(AXI_HP2_BASE, AXI_HP_LEN),
      axi_hp3(AXI_HP3_BASE, AXI_HP_LEN),
      qos_cpu(QOS_CPU_BASE, QOS_LEN),
      i2c0(I2C0_BASE, I2C0_LEN),
      slcr(SLCR_BASE, SLCR_LEN),
      qos_io(QOS_IO_BASE, QOS_LEN),
      gpio(GPIO_BASE, GPIO_LEN) {
    // Load the bitstream through the kernel's FPGA manager and show its state.
    platform::shell("echo 0 > /sys/class/fpga_manager/fpga0/flags");
    platform::shell("echo pulser.bin > /sys/class/fpga_manager/fpga0/firmware");
    std::cout << "fpga0: " << std::flush;
    platform::shell("cat /sys/class/fpga_manager/fpga0/state");

    mem_fd = platform::open_mem();
    if (mem_fd < 0) {
        std::cout << "Can't open" << std::endl;
        return;
    }

    axi_hp0.map(mem_fd);
    axi_hp1.map(mem_fd);
    axi_hp2.map(mem_fd);
    axi_hp3.map(mem_fd);
    ctrl.map(mem_fd);
    slot0.map(mem_fd);
    slot1.map(mem_fd);
    seq_mem.map(mem_fd);
    qos_cpu.map(mem_fd);
    qos_io.map(mem_fd);
    i2c0.map(mem_fd);
    slcr.map(mem_fd);
    gpio.map(mem_fd);

    for (Mapper* axi : {&axi_hp0, &axi_hp1, &axi_hp2, &axi_hp3}) axi->write(axi::READ_CHANNEL_CTRL, 0);

    // Reset I2C controller 0, route pins 50/51 to it and switch its clock on.
    field_set(slcr, slcr::I2C0_RESET, 1);
    sleep_us(100);
    field_set(slcr, slcr::I2C0_RESET, 0);
    sleep_us(100);
    field_set<slcr::MIO_PIN_50_CFG, slcr::MIO_I2C0_CONFIG>(slcr);
    field_set<slcr::MIO_PIN_51_CFG, slcr::MIO_I2C0_CONFIG>(slcr);
    field_set(slcr, slcr::I2C0_CLOCK, 1);

    reset_qos();

    // Identity files for discovery: firmware version and FPGA identifier (the "fpgaid" it reports).
    std::ofstream(platform::path("/tmp/firmware_version")) << getFirmwareVersion() << "\n";
    std::ofstream(platform::path("/tmp/dna.dat")) << getFPGAID() << "\n";

    board_version = ~(gpio.read(gpio::IN_BANK0) & gpio::BOARD_VERSION_MASK);
    field_set(ctrl, ctrl::HW_VERSION, field_get(gpio::BOARD_VERSION, board_version));

    std::cout << "Hardware: " << getHardwareVersion() << std::endl;
    std::ofstream(platform::path("/tmp/hardware_version")) << getHardwareVersion() << "\n";

    network_settings stored = getNetworkConfiguration(true);
    {
        std::lock_guard<std::mutex> g(settings_lock);
        settings = stored;
        settings.dhcp = !permanent;
    }

    network_thread = std::thread(&Pulser::network_daemon, this);

    reset();
    waitForOutputStage();
}

void Pulser::waitForOutputStage() {
    const auto begin = std::chrono::steady_clock::now();
    for (;;) {
        if (ctrl.read(ctrl::STATUS) & status::OUTPUT_READY) {
            std::cout << "Enable outputs..." << std::endl;
            field_set(gpio, gpio::OUT_ENABLE_A, 1);
            field_set(gpio, gpio::OUT_ENABLE_B, 1);
            sleep_us(10000);
            field_set(gpio, gpio::OUT_ENABLE_C, 1);
            return;
        }
        std::cout << "Waiting for output stage" << std::endl;
        sleep_us(10);
        if (std::chrono::steady_clock::now() - begin >= OUTPUT_STAGE_TIMEOUT) {
            std::cout << "Output stage not responding" << std::endl;
            return;
        }
    }
}

Pulser::~Pulser() {
    {
        std::lock_guard<std::mutex> g(watcher_mutex);
        watcher_stop = true;
    }
    watcher_cv.notify_all();
    if (!mapped()) {
        if (network_thread.joinable()) network_thread.join();
        platform::close_mem(mem_fd);
        return;
    }

    std::cout << "Reset QoS-Values" << std::endl;
    field_set(qos_cpu, qos::CONTROL, 0);
    field_set(qos_io, qos::CONTROL, 0);

    // The watcher reads this object: end it before the hardware goes away. So does a tried
    // network setting, on its own thread, until it clears its flag.
    if (network_thread.joinable()) network_thread.join();
    for (;;) {
        {
            std::lock_guard<std::mutex> g(network_test_lock);
            if (!network_test_running) break;
        }
        sleep_us(1000);
    }

    field_set(gpio, gpio::OUT_ENABLE_C, 0);
    sleep_us(10000);
    field_set(gpio, gpio::OUT_ENABLE_B, 0);
    sleep_us(10000);
    field_set(gpio, gpio::OUT_ENABLE_A, 0);

    axi_hp0.unmap();
    axi_hp1.unmap();
    axi_hp2.unmap();
    axi_hp3.unmap();
    ctrl.unmap();
    slot0.unmap();
    slot1.unmap();
    seq_mem.unmap();
    qos_cpu.unmap();
    qos_io.unmap();
    i2c0.unmap();
    slcr.unmap();
    gpio.unmap();
    platform::close_mem(mem_fd);
}

bool Pulser::watcherSleep(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> g(watcher_mutex);
    return !watcher_cv.wait_for(g, period, [this] { return watcher_stop; });
}

int Pulser::reset() {
    std::cout << "reset pulser" << std::endl;

    ANALOG_TO_BYTES zero;
    zero.setWithCalibration(0, 0);
    ctrl.write(ctrl::CONST_ANALOG, zero.value);
    field_set(ctrl, ctrl::CONST_DIGI, 0);

    setSquareWave125MHz(0);
    stopFpga();
    setTrigger(IMMEDIATE, AUTO);
    selectClock(INTERNAL);

    constant_state = Pulse{0, 0, 0, 0};
    return 0;
}

int Pulser::stopFpga() {
    overtakeOthers();
    field_set(ctrl, ctrl::RUN, 0);
    field_set(ctrl, ctrl::LOAD_ENABLE, 0);

    for (unsigned int s = 0; s < 2; ++s) {
        Mapper& block = slotBlock(s);
        for (uint32_t off :
             {slot::CONTROL, slot::SIZE, slot::RUNS_LO, slot::RUNS_HI, slot::DURATION_LO, slot::DURATION_HI})
            block.write(off, 0);
        seq_data[s].nPulses = 0;
        seq_data[s].wholeTicks = 0;
        seq_data[s].dataRate = 0.0;
    }

    field_set(ctrl, ctrl::STOP, 1);
    sleep_us(100);
    field_set(ctrl, ctrl::STOP, 0);
    field_set(ctrl, ctrl::START_SLOT, 0);

    std::cout << "Reset QoS-Values" << std::endl;
    field_set(qos_cpu, qos::CONTROL, 0);
    field_set(qos_io, qos::CONTROL, 0);

    ctrl.write(ctrl::SLOT_RUNS_LO, 0);
    ctrl.write(ctrl::SLOT_RUNS_HI, 0);

    clearFifos();
    return 0;
}

void Pulser::clearFifos() {
    auto report = [this] {
        uint32_t st = ctrl.read(ctrl::STATUS);
        std::cout << "halt complete: " << std::endl;
        std::cout << "Datamover " << 0 << ": " << ((st & status::DM0_HALTED) ? 1 : 0) << std::endl;
        std::cout << "Datamover " << 1 << ": " << ((st & status::DM1_HALTED) ? 1 : 0) << std::endl;
        std::cout << std::endl;
    };
    field_set(ctrl, ctrl::DM_HALT, 1);
    sleep_us(1);
    field_set(ctrl, ctrl::DM_HALT, 0);
    report();

    field_set(ctrl, ctrl::DM_RESET, 1);
    field_set(ctrl, ctrl::DM_RESET, 0);
    report();

    field_set(ctrl, ctrl::FIFO_RESET, 1);
    sleep_us(1);
    field_set(ctrl, ctrl::FIFO_RESET, 0);
    std::cout << "reset. " << std::endl;
}

void Pulser::set_qos() {
    std::cout << "Set QoS-Values" << std::endl;
    field_set<qos::CONTROL, 3>(qos_cpu);
    field_set(qos_cpu, qos::WRITE_PEAK, 1);
    field_set(qos_cpu, qos::READ_PEAK, 1);
}

void Pulser::reset_qos() {
    std::cout << "Reset QoS-Values" << std::endl;
    field_set(qos_cpu, qos::CONTROL, 0);
    field_set(qos_io, qos::CONTROL, 0);
}

int Pulser::reboot() {
    std::cout << "reboot system..." << std::endl;
    platform::shell("/sbin/reboot -d 1 &");
    return 0;
}
