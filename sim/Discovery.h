// The discovery server of the simulated board: a child process of the simulating program that
// the emulated commands "killall -9 beacond.elf" and "beacond.elf ..." end and start again. The
// child is only ever signalled by its process id; nothing else on the host is touched.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim {

// Starts `argv` (argv[0] a path) as the discovery child, ending a running one first. The child
// ends with the simulating process; its standard output goes to /dev/null.
void start_discovery(const std::vector<std::string>& argv);
// Ends the child and forgets the program: later emulated commands start nothing.
void stop_discovery();
// The running child's process id, or -1.
pid_t discovery_pid();

// pulserd at start: when $TARVEX_SIM_DISCOVERY is "1" starts "beacond" from pulserd's own
// folder, when it is a path starts that program; unset or empty starts nothing (the discovery
// server joins a multicast group, so it only runs where that is wanted, e.g. a network
// namespace). Children left by the previous process image (emulated reboot) are ended first.
void start_server_discovery();

}  // namespace sim
