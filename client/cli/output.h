// Output helpers of the tarvex command: one JSON document for scripts, aligned tables for people.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvex::cli {

// Builds one JSON object; members in the order they are added. Text is escaped.
class JsonOut {
public:
    JsonOut& text(const std::string& key, const std::string& value) { return raw(key, quote(value)); }
    JsonOut& number(const std::string& key, double value);
    JsonOut& integer(const std::string& key, long long value) { return raw(key, std::to_string(value)); }
    JsonOut& flag(const std::string& key, bool value) { return raw(key, value ? "true" : "false"); }
    JsonOut& object(const std::string& key, const JsonOut& value) { return raw(key, value.str()); }
    JsonOut& raw(const std::string& key, const std::string& json);
    std::string str() const { return "{" + body_ + "}"; }
    static std::string quote(const std::string& s);

private:
    std::string body_;
};

// Left-aligned columns with a header row.
void print_table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

}  // namespace tarvex::cli
