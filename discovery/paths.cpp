#include "paths.h"

#include <cstdlib>

namespace beacon {

#if defined(TARVEX_PLATFORM_SIM) && TARVEX_PLATFORM_SIM

std::string board_path(const std::string& path) {
    const char* root = std::getenv("TARVEX_ROOT");
    return std::string(root && *root ? root : "./sandbox") + path;
}

#else

std::string board_path(const std::string& path) { return path; }

#endif

}  // namespace beacon
