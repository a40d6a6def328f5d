#include "common/LineOutput.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <streambuf>

namespace lineoutput {
namespace {

// Each thread's text not yet handed on. Plain thread storage without a destructor: it is still
// there while static objects are destroyed at exit (when the device object says goodbye).
thread_local char pending[LINE_CAPACITY];
thread_local std::size_t pending_length = 0;

// stdio takes one write whole under its own lock and keeps our lines in order with anything
// else printed through stdio.
void hand_on(std::size_t n) {
    if (n == 0) return;
    std::fwrite(pending, 1, n, stdout);
    std::fflush(stdout);
    std::memmove(pending, pending + n, pending_length - n);
    pending_length -= n;
}

// Hands on everything up to the last line break.
void hand_on_lines() {
    const void* last = nullptr;
    for (std::size_t i = pending_length; i > 0; --i)
        if (pending[i - 1] == '\n') {
            last = pending + i - 1;
            break;
        }
    if (last) hand_on(static_cast<const char*>(last) - pending + 1);
}

class LineBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        char ch = traits_type::to_char_type(c);
        append(&ch, 1);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        hand_on(pending_length);
        return 0;
    }

private:
    static void append(const char* s, std::size_t n) {
        bool line_break = false;
        while (n > 0) {
            if (pending_length == LINE_CAPACITY) hand_on(pending_length);
            std::size_t k = std::min(n, LINE_CAPACITY - pending_length);
            std::memcpy(pending + pending_length, s, k);
            line_break = line_break || std::memchr(s, '\n', k) != nullptr;
            pending_length += k;
            s += k;
            n -= k;
            if (line_break) {
                hand_on_lines();
                line_break = false;
            }
        }
    }
};

}  // namespace

void install() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Never destroyed: std::cout is flushed through it at the very end of the process.
        static LineBuffer* buffer = new LineBuffer;
        std::cout.rdbuf(buffer);
    });
}

}  // namespace lineoutput
