// reply_format.cpp — vorel-cli: the readable and raw forms of a reply.
#include "tools/cli/reply_format.h"

#include <cstdio>

namespace cli {
namespace {

// A string in double quotes; quotes, backslashes and bytes that are not
// printable ASCII are escaped so every reply fits on its own lines.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (ch < 0x20 || ch >= 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof(hex), "\\x%02x", ch);
                    out += hex;
                } else {
                    out.push_back(static_cast<char>(ch));
                }
        }
    }
    out.push_back('"');
    return out;
}

// A verbatim string's text without its three-letter format and colon.
std::string verbatim_text(const std::string& s) { return s.size() >= 4 && s[3] == ':' ? s.substr(4) : s; }

const char* empty_name(Reply::Kind kind) {
    switch (kind) {
        case Reply::Kind::Set: return "(empty set)";
        case Reply::Kind::Map: return "(empty map)";
        case Reply::Kind::Push: return "(empty push)";
        default: return "(empty array)";
    }
}

// "N) " (or "N# " for map entries) with N right-aligned to the widest index.
std::string index_label(size_t index, size_t count, char mark) {
    std::string number = std::to_string(index + 1);
    std::string widest = std::to_string(count);
    return std::string(widest.size() - number.size(), ' ') + number + mark + ' ';
}

// Lines after the first start at column `indent`, so an element nested under
// "2) " lines up under its own first line.
std::string readable(const Reply& r, size_t indent) {
    switch (r.kind) {
        case Reply::Kind::Status: return r.text;
        case Reply::Kind::Error: return "(error) " + r.text;
        case Reply::Kind::Integer: return "(integer) " + r.text;
        case Reply::Kind::Bulk: return quoted(r.text);
        case Reply::Kind::Nil: return "(nil)";
        case Reply::Kind::Double: return "(double) " + r.text;
        case Reply::Kind::Boolean: return r.text == "t" ? "(true)" : "(false)";
        case Reply::Kind::BigNumber: return "(big number) " + r.text;
        case Reply::Kind::Verbatim: return verbatim_text(r.text);
        default: break;
    }
    if (r.items.empty()) return empty_name(r.kind);
    std::string out;
    std::string pad(indent, ' ');
    if (r.kind == Reply::Kind::Push) out = "(push)\n" + pad;
    if (r.kind == Reply::Kind::Map) {
        size_t entries = r.items.size() / 2;
        for (size_t i = 0; i < entries; ++i) {
            std::string label = index_label(i, entries, '#');
            std::string key = readable(r.items[2 * i], indent + label.size());
            std::string head = label + key + " => ";
            if (i > 0) out += "\n" + pad;
            out += head + readable(r.items[2 * i + 1], indent + head.size());
        }
        return out;
    }
    for (size_t i = 0; i < r.items.size(); ++i) {
        std::string label = index_label(i, r.items.size(), ')');
        if (i > 0) out += "\n" + pad;
        out += label + readable(r.items[i], indent + label.size());
    }
    return out;
}

void raw(const Reply& r, std::string* out) {
    switch (r.kind) {
        case Reply::Kind::Boolean: out->append(r.text == "t" ? "true" : "false"); break;
        case Reply::Kind::Verbatim: out->append(verbatim_text(r.text)); break;
        case Reply::Kind::Nil: break;
        case Reply::Kind::Array:
        case Reply::Kind::Set:
        case Reply::Kind::Map:
        case Reply::Kind::Push:
            for (size_t i = 0; i < r.items.size(); ++i) {
                if (i > 0) out->push_back('\n');
                raw(r.items[i], out);
            }
            break;
        default: out->append(r.text); break;
    }
}

}  // namespace

std::string format_readable(const Reply& reply) { return readable(reply, 0); }

std::string format_raw(const Reply& reply) {
    std::string out;
    raw(reply, &out);
    return out;
}

}  // namespace cli
