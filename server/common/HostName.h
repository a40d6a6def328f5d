// The syntax of a host name, as the settings that name hosts check it.
#pragma once

#include <string>

// Dot-separated labels of 1 to 63 letters, digits and hyphens, neither starting nor ending with a
// hyphen, at most 253 characters in all (never empty).
bool valid_host_name(const std::string& name);
