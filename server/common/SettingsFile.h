// The one way pulserd stores a settings file (calibration, network.conf, hostname): the new
// text goes to a temporary file in the target's folder, which is written, flushed to disk and
// closed, every step checked, then renamed over the target, and the folder is flushed so the
// rename itself survives a power cut. A kill or failure at any point leaves either the old file
// or the new one, never a cut one.
#pragma once

#include <string>

namespace settings {

// Replaces `target` with `text` through `tmp` (a path in the same folder). True when the new
// file is in place. On failure the temporary file is removed, `target` is left as it was, errno
// tells why, and `*step` (when given) names the step that failed: "open", "write", "fsync",
// "close" or "rename".
bool replace_file(const std::string& tmp, const std::string& target, const std::string& text,
                  const char** step = nullptr);

}  // namespace settings
