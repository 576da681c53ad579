// reply.cpp — the RESP2/RESP3 encoders of a client's reply writer and the
// bookkeeping of its unsent bytes.
#include "server/reply.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool has_own_prefix(const char* m) {
    static const char* const prefixes[] = {"ERR ", "WRONGTYPE ", "OOM ", "NOAUTH ", "WRONGPASS ", "EXECABORT "};
    for (const char* p : prefixes) {
        if (std::strncmp(m, p, std::strlen(p)) == 0) return true;
    }
    return false;
}

// A drained buffer keeps this much room for the next replies; a larger one is freed.
constexpr size_t kKeptCapacity = size_t(1) << 20;

}  // namespace

ReplyBytes::~ReplyBytes() { std::free(data_); }

// Doubles the block, or grows it to exactly what is needed when that is more,
// so one large reply does not reserve up to twice its size.
void ReplyBytes::grow(size_t n) {
    if (n > SIZE_MAX - size_) throw std::bad_alloc();
    const size_t needed = size_ + n;
    size_t cap = cap_ <= SIZE_MAX / 2 ? cap_ * 2 : needed;
    if (cap < needed) cap = needed;
    if (cap < 64) cap = 64;
    char* grown = static_cast<char*>(std::realloc(data_, cap));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = grown;
    cap_ = cap;
}

void ReplyBytes::erase_front(size_t n) {
    std::memmove(data_, data_ + n, size_ - n);
    size_ -= n;
}

void ReplyBytes::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    cap_ = 0;
}

// Appends a prefix character, a decimal number and CR LF without formatting calls.
void Reply::number_line(char prefix, long long n) {
    char line[32];
    line[0] = prefix;
    char* end = std::to_chars(line + 1, line + sizeof(line) - 2, n).ptr;
    *end++ = '\r';
    *end++ = '\n';
    data_.append(line, static_cast<size_t>(end - line));
}

void Reply::integer(long long n) { number_line(':', n); }

void Reply::simple(const char* text) {
    size_t n = strnlen(text, 511);
    data_.push_back('+');
    data_.append(text, n);
    data_.append("\r\n", 2);
}

void Reply::error(const char* message) {
    char buf[512];
    if (has_own_prefix(message)) {
        std::snprintf(buf, sizeof(buf), "-%s\r\n", message);
    } else {
        std::snprintf(buf, sizeof(buf), "-ERR %s\r\n", message);
    }
    size_t n = std::strlen(buf);
    // A cut message still ends its line.
    if (n == sizeof(buf) - 1) {
        buf[n - 2] = '\r';
        buf[n - 1] = '\n';
    }
    data_.append(buf, n);
}

void Reply::array(long long count) { number_line('*', count); }

void Reply::map(long long pairs) {
    if (resp3_) {
        number_line('%', pairs);
    } else {
        number_line('*', pairs * 2);
    }
}

void Reply::push_header() { data_.append(resp3_ ? ">3\r\n" : "*3\r\n"); }

void Reply::null() { data_.append(resp3_ ? "_\r\n" : "$-1\r\n"); }

void Reply::null_array() { data_.append(resp3_ ? "_\r\n" : "*-1\r\n"); }

void Reply::bulk(std::string_view bytes) {
    // The header, the bytes and the CR LF are written into the buffer in place:
    // one capacity check (for the longest length, 20 digits) and one copy of
    // the value.
    const size_t size = bytes.size();
    char* const start = data_.room(1 + 20 + 2 + size + 2);
    char* p = start;
    *p++ = '$';
    p = std::to_chars(p, p + 20, size).ptr;
    *p++ = '\r';
    *p++ = '\n';
    // An empty value may have no storage at all: nothing to copy then.
    if (size != 0) std::memcpy(p, bytes.data(), size);
    p += size;
    *p++ = '\r';
    *p++ = '\n';
    data_.commit(static_cast<size_t>(p - start));
}

void Reply::bulk_or_null(const char* text) {
    if (text == nullptr) {
        null();
    } else {
        bulk(std::string_view(text));
    }
}

size_t format_double(double x, char (&buf)[64]) {
    int n = 0;
    if (std::isfinite(x) && std::fabs(x) < 1e15 && x == static_cast<double>(static_cast<long long>(x))) {
        n = std::snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(x));
    } else {
        n = std::snprintf(buf, sizeof(buf), "%.*g", 17, x);
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void Reply::number(double x) {
    if (!resp3_) return double_bulk(x);
    char buf[64];
    const size_t n = format_double(x, buf);
    data_.push_back(',');
    data_.append(buf, n);
    data_.append("\r\n", 2);
}

void Reply::double_bulk(double x) {
    char buf[64];
    bulk(std::string_view(buf, format_double(x, buf)));
}

void Reply::consume(size_t n) {
    sent_ += n;
    if (sent_ == data_.size()) {
        if (data_.capacity() > kKeptCapacity) {
            data_.release();
        } else {
            data_.clear();
        }
        sent_ = 0;
    } else if (sent_ > kKeptCapacity && sent_ * 2 > data_.size()) {
        data_.erase_front(sent_);
        sent_ = 0;
    }
}

void Reply::clear() {
    data_.release();
    sent_ = 0;
}
