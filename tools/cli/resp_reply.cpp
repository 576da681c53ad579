// resp_reply.cpp — vorel-cli: the reply parser. Works on whatever part of the
// byte stream has arrived and says Incomplete until a whole reply is there.
#include "tools/cli/resp_reply.h"

#include <charconv>

namespace cli {
namespace {

// Replies nest at most this deep; deeper input is treated as garbage.
constexpr int kMaxDepth = 256;

class Parser {
public:
    explicit Parser(std::string_view data) : data_(data) {}

    ParseStatus parse(size_t* pos, Reply* out, int depth) {
        if (depth > kMaxDepth) return ParseStatus::Invalid;
        if (*pos >= data_.size()) return ParseStatus::Incomplete;
        size_t eol = data_.find("\r\n", *pos);
        if (eol == std::string_view::npos) return ParseStatus::Incomplete;
        char type = data_[*pos];
        std::string_view line = data_.substr(*pos + 1, eol - *pos - 1);
        size_t next = eol + 2;
        switch (type) {
            case '+': return line_reply(Reply::Kind::Status, line, next, pos, out);
            case '-': return line_reply(Reply::Kind::Error, line, next, pos, out);
            case ':': return line_reply(Reply::Kind::Integer, line, next, pos, out);
            case ',': return line_reply(Reply::Kind::Double, line, next, pos, out);
            case '(': return line_reply(Reply::Kind::BigNumber, line, next, pos, out);
            case '_': return line_reply(Reply::Kind::Nil, {}, next, pos, out);
            case '#':
                if (line != "t" && line != "f") return ParseStatus::Invalid;
                return line_reply(Reply::Kind::Boolean, line, next, pos, out);
            case '$': return blob(Reply::Kind::Bulk, line, next, pos, out);
            case '!': return blob(Reply::Kind::Error, line, next, pos, out);
            case '=': return blob(Reply::Kind::Verbatim, line, next, pos, out);
            case '*': return aggregate(Reply::Kind::Array, 1, line, next, pos, out, depth);
            case '~': return aggregate(Reply::Kind::Set, 1, line, next, pos, out, depth);
            case '>': return aggregate(Reply::Kind::Push, 1, line, next, pos, out, depth);
            case '%': return aggregate(Reply::Kind::Map, 2, line, next, pos, out, depth);
            case '|': {
                // An attribute map, then the reply it describes.
                Reply attributes;
                ParseStatus st = aggregate(Reply::Kind::Map, 2, line, next, &next, &attributes, depth);
                if (st != ParseStatus::Complete) return st;
                st = parse(&next, out, depth + 1);
                if (st == ParseStatus::Complete) *pos = next;
                return st;
            }
            default: return ParseStatus::Invalid;
        }
    }

private:
    static bool parse_length(std::string_view text, long long* n) {
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *n);
        return ec == std::errc() && end == text.data() + text.size() && *n >= -1;
    }

    static ParseStatus line_reply(Reply::Kind kind, std::string_view line, size_t next, size_t* pos, Reply* out) {
        out->kind = kind;
        out->text.assign(line);
        *pos = next;
        return ParseStatus::Complete;
    }

    ParseStatus blob(Reply::Kind kind, std::string_view line, size_t next, size_t* pos, Reply* out) {
        long long n = 0;
        if (!parse_length(line, &n)) return ParseStatus::Invalid;
        if (n < 0) return line_reply(Reply::Kind::Nil, {}, next, pos, out);
        size_t len = static_cast<size_t>(n);
        if (data_.size() - next < len + 2) return ParseStatus::Incomplete;
        if (data_.substr(next + len, 2) != "\r\n") return ParseStatus::Invalid;
        out->kind = kind;
        out->text.assign(data_.substr(next, len));
        *pos = next + len + 2;
        return ParseStatus::Complete;
    }

    ParseStatus aggregate(Reply::Kind kind, size_t per_entry, std::string_view line, size_t next, size_t* pos,
                          Reply* out, int depth) {
        long long n = 0;
        if (!parse_length(line, &n)) return ParseStatus::Invalid;
        if (n < 0) return line_reply(Reply::Kind::Nil, {}, next, pos, out);
        // Every element takes at least three bytes, so a count beyond what has
        // arrived cannot be complete yet (and is not reserved for).
        if (static_cast<size_t>(n) > (data_.size() - next) / 3) return ParseStatus::Incomplete;
        size_t count = static_cast<size_t>(n) * per_entry;
        out->kind = kind;
        out->text.clear();
        out->items.assign(count, Reply{});
        for (Reply& item : out->items) {
            ParseStatus st = parse(&next, &item, depth + 1);
            if (st != ParseStatus::Complete) return st;
        }
        *pos = next;
        return ParseStatus::Complete;
    }

    std::string_view data_;
};

}  // namespace

ParseStatus parse_reply(std::string_view data, size_t pos, Reply* out, size_t* used) {
    size_t at = pos;
    ParseStatus st = Parser(data).parse(&at, out, 0);
    if (st == ParseStatus::Complete) *used = at - pos;
    return st;
}

}  // namespace cli
