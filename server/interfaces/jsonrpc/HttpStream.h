// Standard streams over one HTTP connection of the embedded server: the request body is read
// and the reply written in small pieces, so large bodies stream through without a raw copy.
#pragma once

#include <civetweb.h>

#include <streambuf>
#include <vector>

// Reads the request body (bounded by its length header) through a buffer of putback + size
// bytes; the last `putback` characters read stay available for putting back.
class MongooseInbuffer : public std::streambuf {
public:
    MongooseInbuffer(mg_connection* conn, unsigned int size, unsigned int putback);

protected:
    int_type underflow() override;

private:
    mg_connection* conn_;
    unsigned int putback_;
    std::vector<char> buffer_;
};

// Writes the reply through a put area of `size` bytes plus one spare byte for the character
// that triggers an overflow. Nothing is sent by destruction alone: flush before returning.
class MongooseOutbuffer : public std::streambuf {
public:
    MongooseOutbuffer(mg_connection* conn, unsigned int size);
    // Writes the pending bytes; returns their number, or -1 when the library wrote fewer.
    int flush();

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    mg_connection* conn_;
    std::vector<char> buffer_;
};
