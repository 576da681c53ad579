// reply.cpp — the reply buffer s_rb and the RESP2/RESP3 encoders that fill it,
// and flush_reply, which hands a finished reply to the client's output.
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "server/server.h"

ReplyBuffer s_rb;

bool rb_resp3() { return s_rb.client != nullptr && s_rb.client->resp3 != 0; }

void rb_write(ReplyBuffer* rb, const void* bytes, size_t len) {
    rb->data.append(static_cast<const char*>(bytes), len);
}

static void rb_text(std::string_view s) { s_rb.data.append(s); }

// Appends a prefix character, a decimal number and CR LF without formatting calls.
static void rb_number_line(char prefix, long long n) {
    char buf[32];
    char* end = buf + sizeof(buf);
    char* p = end;
    *--p = '\n';
    *--p = '\r';
    unsigned long long mag = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    do {
        *--p = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    if (n < 0) *--p = '-';
    *--p = prefix;
    s_rb.data.append(p, static_cast<size_t>(end - p));
}

void rb_int(long long n) { rb_number_line(':', n); }

void rb_simple(const char* text) {
    // Simple strings are limited to 511 bytes, as formatted texts are everywhere.
    size_t n = strnlen(text, 511);
    s_rb.data.push_back('+');
    s_rb.data.append(text, n);
    rb_text("\r\n");
}

static bool has_own_prefix(const char* m) {
    static const char* const prefixes[] = {"ERR ", "WRONGTYPE ", "OOM ", "NOAUTH ", "WRONGPASS "};
    for (const char* p : prefixes) {
        if (std::strncmp(m, p, std::strlen(p)) == 0) return true;
    }
    return false;
}

void rb_error(const char* message) {
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
    s_rb.data.append(buf, n);
}

void rb_arr_hdr(long long count) { rb_number_line('*', count); }

void rb_map_hdr(long long pairs) {
    if (rb_resp3()) {
        rb_number_line('%', pairs);
    } else {
        rb_number_line('*', pairs * 2);
    }
}

void rb_push_hdr() { rb_text(rb_resp3() ? ">3\r\n" : "*3\r\n"); }

void rb_null() { rb_text(rb_resp3() ? "_\r\n" : "$-1\r\n"); }

void rb_bulk_len(const void* bytes, size_t len) {
    rb_number_line('$', static_cast<long long>(len));
    if (len) s_rb.data.append(static_cast<const char*>(bytes), len);
    rb_text("\r\n");
}

void rb_bulk(const char* text) {
    if (text == nullptr) {
        rb_null();
    } else {
        rb_bulk_len(text, std::strlen(text));
    }
}

void send_float_reply(double x) {
    char buf[64];
    if (std::isfinite(x) && std::fabs(x) < 1e15 && x == static_cast<double>(static_cast<long long>(x))) {
        long long n = static_cast<long long>(x);
        if (rb_resp3()) {
            rb_int(n);
            return;
        }
        std::snprintf(buf, sizeof(buf), "%lld", n);
        rb_bulk(buf);
        return;
    }
    std::snprintf(buf, sizeof(buf), "%.*g", 17, x);
    if (rb_resp3()) {
        s_rb.data.push_back(',');
        s_rb.data.append(buf);
        rb_text("\r\n");
    } else {
        rb_bulk(buf);
    }
}

void flush_reply(Client* c) {
    if (!s_rb.data.empty() && c != nullptr && !c->closed()) {
        if (c->pending_output() == 0) {
            // Hand the whole buffer over instead of copying it.
            c->outbuf.clear();
            c->out_sent = 0;
            c->outbuf.swap(s_rb.data);
            client_send(c, nullptr, 0);
        } else {
            client_send(c, s_rb.data.data(), s_rb.data.size());
        }
    }
    s_rb.data.clear();
    s_rb.client = nullptr;
}
