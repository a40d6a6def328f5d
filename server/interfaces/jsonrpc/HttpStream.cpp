#include "interfaces/jsonrpc/HttpStream.h"

#include <sys/ioctl.h>

#include <cstring>

MongooseInbuffer::MongooseInbuffer(mg_connection* conn, unsigned int size, unsigned int putback, int fd,
                                   long long limit, inflight::Claim* claim)
    : conn_(conn),
      putback_(putback < 1 ? 1 : putback),
      buffer_(putback_ + size),
      fd_(fd),
      start_(std::chrono::steady_clock::now()),
      limit_(limit),
      claim_(claim) {
    char* end = buffer_.data() + putback_;
    setg(end, end, end);
}

MongooseInbuffer::int_type MongooseInbuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    // Keep up to `putback_` characters already read in front of the new data.
    size_t keep = static_cast<size_t>(gptr() - eback());
    if (keep > putback_) keep = putback_;
    std::memmove(buffer_.data() + (putback_ - keep), gptr() - keep, keep);
    char* start = buffer_.data() + putback_;
    int n = read_some(start, buffer_.size() - putback_);
    if (n <= 0) return traits_type::eof();
    if (limit_ >= 0 && received_ + n > limit_) {
        too_large_ = true;
        return traits_type::eof();
    }
    if (claim_ && !claim_->grow(static_cast<size_t>(n))) {
        no_room_ = true;
        return traits_type::eof();
    }
    received_ += n;
    setg(start - keep, start, start + n);
    return traits_type::to_int_type(*gptr());
}

int MongooseInbuffer::read_some(char* into, size_t size) {
    if (fd_ < 0) return mg_read(conn_, into, size);
    using namespace std::chrono;
    // The body is late once it is behind the minimum average rate after the grace period.
    const auto due = start_ + seconds(BODY_GRACE_S) + microseconds(received_ * 1000000 / BODY_MIN_RATE);
    if (steady_clock::now() > due) {
        too_slow_ = true;
        return -1;
    }
    // Never ask for more than the socket holds: the library would wait for all of it. With
    // nothing there, one byte: the library hands out what it took in with the header first,
    // else waits for one byte at most its request time-out.
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 1) waiting = 1;
    return mg_read(conn_, into, size < static_cast<size_t>(waiting) ? size : static_cast<size_t>(waiting));
}

MongooseOutbuffer::MongooseOutbuffer(mg_connection* conn, unsigned int size) : conn_(conn), buffer_(size + 1) {
    setp(buffer_.data(), buffer_.data() + size);
}

int MongooseOutbuffer::flush() {
    int n = static_cast<int>(pptr() - pbase());
    if (n == 0) return 0;
    int written = mg_write(conn_, pbase(), static_cast<size_t>(n));
    setp(buffer_.data(), buffer_.data() + buffer_.size() - 1);
    return written == n ? n : -1;
}

MongooseOutbuffer::int_type MongooseOutbuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return flush() < 0 ? traits_type::eof() : c;
}

int MongooseOutbuffer::sync() { return flush() < 0 ? -1 : 0; }
