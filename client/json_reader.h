// A small JSON reader for what the client receives from the network (readback pages, discovery
// identities): the whole text in memory, nesting at most MAX_DEPTH deep, values kept in a tree.
// The caller bounds the text's size.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarvex::json {

constexpr int MAX_DEPTH = 16;

struct Value {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    bool boolean = false;
    double number = 0;
    std::string text;                // String
    std::vector<Value> items;        // Array elements, Object member values
    std::vector<std::string> names;  // Object member names, in order

    // The member `name` of an object, or nullptr.
    const Value* find(const std::string& name) const;
};

// Parses one JSON value filling the whole text (blanks around it allowed). False on a syntax
// error, on nesting deeper than MAX_DEPTH, or on trailing text; `error` then says where.
bool parse(const char* text, size_t length, Value& out, std::string& error);

}  // namespace tarvex::json
