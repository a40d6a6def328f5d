// pulserd: the instrument control server. No command line; ports and paths are fixed.
#include <sys/resource.h>
#include <malloc.h>
#include <pthread.h>
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
static Pulser pulser;
// The one device lock: every interface holds it around each call into `pulser`.
static std::mutex pulser_lock;

int main() {
    platform::mark_server_process();
    // The device's waits (slot memory, FIFO fill) leave the lock to the other interfaces.
    pulser.device_lock = &pulser_lock;
    // Large blocks (request bodies, sequences, message buffers) are mapped apart and handed back
    // when freed, instead of the threshold rising after the first large request and later ones
    // staying in the heap.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // The address space of a 32-bit process is bounded (the board's 1 GiB and less): threads
    // share two malloc arenas instead of one each (64 MB of addresses apiece on a 64-bit host),
    // and each thread reserves a 1 MiB stack, not the system's 8 MiB.
    mallopt(M_ARENA_MAX, 2);
    pthread_attr_t stacks;
    if (pthread_attr_init(&stacks) == 0) {
        pthread_attr_setstacksize(&stacks, 1024 * 1024);
        pthread_setattr_default_np(&stacks);
        pthread_attr_destroy(&stacks);
    }
    // Every descriptor the system allows: connections on one interface must not leave the
    // others, or the settings files, without one.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const DeviceAccess device(pulser, pulser_lock);
    std::thread json_thread(run_json_httpd, device);
    std::thread stream_thread(run_streamHighLevel, device);
    std::thread grpc_thread(RunServer, device);
    // Memory freed after bursts of connections or large messages goes back to the system.
    for (;;) {
        sleep(10);
        malloc_trim(0);
    }
}
