// Whole lines on standard output. The interface threads, the connection threads, the network
// watcher and the device code all write progress messages to std::cout; written piece by piece,
// one thread's message could land in the middle of another's line. Once installed, std::cout
// collects what each thread writes and hands it on a whole line at a time (and on every flush),
// so each line reaches the log in one piece.
#pragma once

#include <cstddef>

namespace lineoutput {

// Longest text a thread collects before handing it on regardless of line breaks.
constexpr std::size_t LINE_CAPACITY = 4096;

// Points std::cout at the collecting buffer. Idempotent; the buffer lives to the end of the process.
void install();

}  // namespace lineoutput
