#include "interfaces/jsonrpc/HttpStream.h"

#include <cstring>

MongooseInbuffer::MongooseInbuffer(mg_connection* conn, unsigned int size, unsigned int putback)
    : conn_(conn), putback_(putback < 1 ? 1 : putback), buffer_(putback_ + size) {
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
    int n = mg_read(conn_, start, buffer_.size() - putback_);
    if (n <= 0) return traits_type::eof();
    setg(start - keep, start, start + n);
    return traits_type::to_int_type(*gptr());
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
