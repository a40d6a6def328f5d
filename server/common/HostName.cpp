#include "common/HostName.h"

#include <cctype>

bool valid_host_name(const std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    size_t label = 0;
    char previous = '.';
    for (char c : name) {
        if (c == '.') {
            if (label == 0 || previous == '-') return false;
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
            if (c == '-' && label == 0) return false;
            if (++label > 63) return false;
        } else {
            return false;
        }
        previous = c;
    }
    return label > 0 && previous != '-';
}
