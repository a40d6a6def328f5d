// pulserd: the instrument control server. No command line; ports and paths are fixed.
#include <unistd.h>

#include <iostream>  // std::cout must be ready before the device object is built
#include <mutex>
#include <thread>

#include "common/LineOutput.h"
#include "device/Pulse.h"
#include "device/Pulser.h"
#include "interfaces/interfaces.h"
#include "platform/platform.h"

// Static initialisation, in this order (one translation unit, so the order holds): whole-line
// output for every thread, the calibration, then the device object whose reset converts analog
// zero through it.
[[maybe_unused]] static const bool line_output = (lineoutput::install(), true);
AnalogCalibDataCorr Analog_calibration(platform::path(ANALOG_CALIB_FILE));
Pulser pulser;
// The one device lock: every interface holds it around each call into `pulser`.
std::mutex pulser_lock;

int main() {
    platform::mark_server_process();
    std::thread json_thread(run_json_httpd);
    std::thread stream_thread(run_streamHighLevel);
    std::thread grpc_thread(RunServer);
    for (;;) sleep(1);
}
