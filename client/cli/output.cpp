#include "output.h"

#include <algorithm>
#include <cmath>

namespace tarvex::cli {

JsonOut& JsonOut::number(const std::string& key, double value) {
    if (!std::isfinite(value)) return raw(key, "null");
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return raw(key, buffer);
}

JsonOut& JsonOut::raw(const std::string& key, const std::string& json) {
    if (!body_.empty()) body_ += ",";
    body_ += quote(key) + ":" + json;
    return *this;
}

std::string JsonOut::quote(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void print_table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width(header.size());
    for (size_t i = 0; i < header.size(); ++i) {
        width[i] = header[i].size();
        for (const auto& row : rows) width[i] = std::max(width[i], row[i].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size()) text += std::string(width[i] - cells[i].size() + 2, ' ');
        }
        std::printf("%s\n", text.c_str());
    };
    line(header);
    for (const auto& row : rows) line(row);
}

}  // namespace tarvex::cli
