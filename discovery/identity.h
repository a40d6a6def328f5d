// The identity beacond sends after "TX-DISCOVERY-REPLY": a JSON object of string members read
// from the board's files once at start-up.
#pragma once

#include <string>

namespace beacon {

// Normal mode: serial, hostname, model, fpgaid, firmware, hardware.
// Update mode (initramfs, configuration under /mnt): serial, hostname, firmware.
// The serial is the interface's MAC address in upper case. A file that cannot be opened gives
// "error" ("ERROR" for the serial) and its path and the system error on standard error.
std::string identity_text(const std::string& iface, bool update_mode);

// The replacement identity of the info-file option: the file's first 512 bytes, ending early
// at a zero byte; "error" (with the system error on standard error) if it cannot be opened.
// The path is used as given.
std::string info_file_text(const std::string& path);

// First line of the file at a board path, without its line feed; "error" if it cannot be opened.
std::string first_line(const std::string& path);

// `value` as the body of a JSON string: '"', '\\' and control characters escaped, every other
// byte as it is.
std::string json_escape(const std::string& value);

}  // namespace beacon
