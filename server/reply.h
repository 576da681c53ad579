// reply.h — a client's reply writer: the RESP2/RESP3 encoders append straight to
// the bytes that the connection loop sends to that client, whichever client the
// running command answers (its own, a parked client woken by a push, a
// subscriber receiving a message).
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// The text of a double: an integral value below 1e15 as its digits, anything
// else with 17 significant digits ("inf" and "-inf" for the infinities).
// Returns the length written into buf.
size_t format_double(double x, char (&buf)[64]);

// The bytes of one client's replies: a growable block the encoders write into
// directly, so a reply is copied once, from the value into the block.
class ReplyBytes {
public:
    ReplyBytes() = default;
    ReplyBytes(const ReplyBytes&) = delete;
    ReplyBytes& operator=(const ReplyBytes&) = delete;
    ~ReplyBytes();

    // Room for n more bytes at the end, to be written and then taken with
    // commit(n); throws std::bad_alloc when memory runs out.
    char* room(size_t n) {
        if (cap_ - size_ < n) grow(n);
        return data_ + size_;
    }
    void commit(size_t n) { size_ += n; }
    void append(const char* bytes, size_t n) {
        if (n == 0) return;
        std::memcpy(room(n), bytes, n);
        size_ += n;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    void push_back(char ch) {
        *room(1) = ch;
        size_ += 1;
    }

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return cap_; }
    char operator[](size_t i) const { return data_[i]; }
    void shrink_to(size_t n) { size_ = n; }
    // Drops the first n bytes, moving the rest to the front.
    void erase_front(size_t n);
    void clear() { size_ = 0; }
    // Drops everything and the memory behind it.
    void release();

private:
    void grow(size_t n);

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

class Reply {
public:
    // Encoders. Each appends one complete protocol element (or a header whose
    // elements follow); they throw std::bad_alloc when memory runs out.
    void integer(long long n);
    // A simple string; texts are cut at 511 bytes, as formatted texts are everywhere.
    void simple(const char* text);
    // An error line: "-" then the message, with "ERR " in front unless the
    // message carries its own code (WRONGTYPE, NOAUTH, ...); cut at 511 bytes.
    void error(const char* message);
    void array(long long count);
    // RESP3 map header "%n", RESP2 array header of 2n.
    void map(long long pairs);
    // The header of a three-element push frame (">3" in RESP3, "*3" in RESP2).
    void push_header();
    // The null bulk ("$-1" / "_").
    void null();
    // The null array ("*-1" / "_").
    void null_array();
    // A bulk string of exactly these bytes (empty included); never the null form.
    void bulk(std::string_view bytes);
    void bulk(const void* bytes, size_t len) { bulk(std::string_view(static_cast<const char*>(bytes), len)); }
    // A bulk string of the text; nullptr gives the null form.
    void bulk_or_null(const char* text);
    // A double: RESP3 "," (also for an integral value), RESP2 a bulk string; the
    // text is that of format_double.
    void number(double x);
    // A double as a bulk string in both protocols (the text of format_double).
    void double_bulk(double x);
    // Bytes already encoded.
    void raw(std::string_view bytes) { data_.append(bytes); }
    void raw(const void* bytes, size_t len) { data_.append(static_cast<const char*>(bytes), len); }

    bool resp3() const { return resp3_; }
    void set_resp3(bool on) { resp3_ = on; }

    // Where the next reply starts; rollback(mark) takes back everything written
    // since (a failed command's partial reply). A reply dropped by close() in
    // between stays dropped.
    size_t mark() const { return data_.size(); }
    void rollback(size_t mark) {
        if (mark <= data_.size()) data_.shrink_to(mark);
    }
    // The first byte written at `mark` ('-' starts an error), or 0 when nothing was.
    char byte_at(size_t mark) const { return mark < data_.size() ? data_[mark] : '\0'; }

    // ---- What the connection loop uses ----
    // Bytes written but not yet accepted by the socket.
    size_t pending() const { return data_.size() - sent_; }
    // Bytes of memory the writer holds (sent, unsent and spare).
    size_t held() const { return data_.capacity(); }
    const char* unsent() const { return data_.data() + sent_; }
    // Records that the socket took n more bytes, and gives back memory once the
    // buffer is drained or mostly sent.
    void consume(size_t n);
    // Drops everything unsent and the memory behind it.
    void clear();

private:
    void number_line(char prefix, long long n);

    ReplyBytes data_;
    size_t sent_ = 0;
    bool resp3_ = false;
};
