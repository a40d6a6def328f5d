// One CSV pulse line read field by field, and the texts of its faults (docs/sequences.md).
#pragma once

#include <string>

#include "tarvex/Pulse.h"

namespace tarvex::csv {

inline bool blank(char c) { return c == ' ' || c == '\t'; }

// The field (0-3) at which the line [p, e) fails, or -1 with the pulse in `out`.
int parseLine(const char* p, const char* e, Pulse& out);

// Why the line [p, e) that failed at `field` is bad.
std::string describe(const char* p, const char* e, int field);

// Whether [p, e) is the header: the four names in any case, blanks around each.
bool isHeader(const char* p, const char* e);

}  // namespace tarvex::csv
