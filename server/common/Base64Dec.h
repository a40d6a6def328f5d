// Base64 decoding of the sequence payload of the JSON-RPC "stream" method.
//
// Alphabet: "A-Z a-z 0-9 + /" (values 0 to 63). Decoding stops at the first "=" or at the first
// character outside the alphabet (line breaks, blanks, the URL-safe "-" and "_"); everything
// after it is ignored. Each group of 4 characters gives 3 bytes, a final group of 2 characters
// 1 byte and of 3 characters 2 bytes; a single leftover character gives nothing, so padding is
// optional.
#pragma once

#include <cstddef>
#include <string>

// Number of leading characters of `text` that are in the alphabet (where decoding stops).
size_t base64_valid_length(const char* text, size_t length);

// Number of bytes that `valid` characters of the alphabet decode to.
inline size_t base64_decoded_size(size_t valid) {
    static const size_t tail[4] = {0, 0, 1, 2};
    return valid / 4 * 3 + tail[valid % 4];
}

// Decodes `text` up to where decoding stops into `out`, which must hold
// base64_decoded_size(length) bytes; returns the number of bytes written.
size_t base64_decode(const char* text, size_t length, unsigned char* out);

// The same into a new string.
std::string base64_decode(const std::string& text);
