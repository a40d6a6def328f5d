// Processor time of the whole process, for the timing figures of log lines.
// Read from CLOCK_PROCESS_CPUTIME_ID, which does not wrap: clock() returns a clock_t of 32 bits
// on the board, which wraps after about 36 minutes of processor time.
#pragma once

#include <time.h>

// Processor time used so far, in seconds.
inline double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
