// Where beacond finds the board's files. On the instrument a path is itself; in the simulated
// build every absolute path lives under the sandbox root: $TARVEX_ROOT, or "./sandbox" when the
// variable is unset. Selected at build time by TARVEX_PLATFORM_SIM.
#pragma once

#include <string>

namespace beacon {

std::string board_path(const std::string& path);

}  // namespace beacon
