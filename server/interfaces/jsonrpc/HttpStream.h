// Standard streams over one HTTP connection of the embedded server: the request body is read
// and the reply written in small pieces, so large bodies stream through without a raw copy.
#pragma once

#include <civetweb.h>

#include <chrono>
#include <streambuf>
#include <vector>

#include "common/InFlight.h"

// Reads the request body (bounded by its length header) through a buffer of putback + size
// bytes; the last `putback` characters read stay available for putting back.
//
// Given the connection's socket (`fd` >= 0), the body must also arrive at an average of at least
// BODY_MIN_RATE bytes/s once BODY_GRACE_S have passed: the buffer never asks the library for
// more than the socket holds, so a read waits at most the library's request time-out for one
// byte, and a slower body ends as if cut (too_slow() then tells).
//
// A body without a length header (chunked) is counted as it arrives: given `claim`, each piece
// read takes its bytes from the bound on bytes in flight, and past `limit` bytes (or when the
// bound has no room) the body ends as if cut (too_large() or no_room() then tells).
class MongooseInbuffer : public std::streambuf {
public:
    static constexpr int BODY_GRACE_S = 10;
    static constexpr long long BODY_MIN_RATE = 64 * 1024;

    MongooseInbuffer(mg_connection* conn, unsigned int size, unsigned int putback, int fd = -1, long long limit = -1,
                     inflight::Claim* claim = nullptr);
    bool too_slow() const { return too_slow_; }
    bool too_large() const { return too_large_; }
    bool no_room() const { return no_room_; }
    long long received() const { return received_; }

protected:
    int_type underflow() override;

private:
    int read_some(char* into, size_t size);

    mg_connection* conn_;
    unsigned int putback_;
    std::vector<char> buffer_;
    int fd_;
    std::chrono::steady_clock::time_point start_;
    long long received_ = 0;
    long long limit_;
    inflight::Claim* claim_;
    bool too_slow_ = false;
    bool too_large_ = false;
    bool no_room_ = false;
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
