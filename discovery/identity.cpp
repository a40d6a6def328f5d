#include "identity.h"

#include "paths.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace beacon {

namespace {

constexpr size_t info_file_limit = 512;

std::string to_upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string first_line(const std::string& path) {
    const std::string file = board_path(path);
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        std::perror(file.c_str());
        return "error";
    }
    std::string line;
    std::getline(in, line);
    return line;
}

std::string json_escape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    char code[7];
                    std::snprintf(code, sizeof code, "\\u%04x", byte);
                    out += code;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string identity_text(const std::string& iface, bool update_mode) {
    std::vector<std::pair<const char*, std::string>> members;
    members.emplace_back("serial", to_upper(first_line("/sys/class/net/" + iface + "/address")));
    if (update_mode) {
        members.emplace_back("hostname", first_line("/mnt/userconfig/network/hostname"));
        members.emplace_back("firmware", "Orvale updating");
    } else {
        members.emplace_back("hostname", first_line("/userconfig/network/hostname"));
        members.emplace_back("model", first_line("/etc/model_name"));
        members.emplace_back("fpgaid", first_line("/tmp/dna.dat"));
        members.emplace_back("firmware", first_line("/tmp/firmware_version"));
        members.emplace_back("hardware", first_line("/tmp/hardware_version"));
    }

    std::string text = "{";
    for (const auto& member : members) {
        if (text.size() > 1) text += ',';
        text += '"';
        text += member.first;
        text += "\":\"";
        text += json_escape(member.second);
        text += '"';
    }
    text += '}';
    return text;
}

std::string info_file_text(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::perror(path.c_str());
        return "error";
    }
    char buffer[info_file_limit];
    const size_t count = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    const void* zero = std::memchr(buffer, 0, count);
    return std::string(buffer, zero ? static_cast<const char*>(zero) - buffer : count);
}

}  // namespace beacon
