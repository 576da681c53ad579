// command_line.cpp — vorel-cli: splitting typed lines and framing requests.
#include "tools/cli/command_line.h"

namespace cli {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads a double-quoted argument starting after the quote; i ends after the
// closing quote. False when the quote is never closed.
bool read_double_quoted(std::string_view s, size_t& i, std::string* arg) {
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') return true;
        if (c != '\\' || i >= s.size()) {
            arg->push_back(c);
            continue;
        }
        char e = s[i++];
        switch (e) {
            case 'n': arg->push_back('\n'); break;
            case 'r': arg->push_back('\r'); break;
            case 't': arg->push_back('\t'); break;
            case 'a': arg->push_back('\a'); break;
            case 'b': arg->push_back('\b'); break;
            case 'x':
                if (i + 1 < s.size() && hex_value(s[i]) >= 0 && hex_value(s[i + 1]) >= 0) {
                    arg->push_back(static_cast<char>(hex_value(s[i]) * 16 + hex_value(s[i + 1])));
                    i += 2;
                } else {
                    arg->push_back('x');
                }
                break;
            default: arg->push_back(e); break;
        }
    }
    return false;
}

bool read_single_quoted(std::string_view s, size_t& i, std::string* arg) {
    while (i < s.size()) {
        char c = s[i++];
        if (c == '\'') return true;
        if (c == '\\' && i < s.size() && s[i] == '\'') {
            arg->push_back('\'');
            ++i;
        } else {
            arg->push_back(c);
        }
    }
    return false;
}

}  // namespace

std::optional<std::vector<std::string>> split_command_line(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i >= line.size()) return args;
        std::string arg;
        if (line[i] == '"' || line[i] == '\'') {
            char quote = line[i++];
            bool closed = quote == '"' ? read_double_quoted(line, i, &arg) : read_single_quoted(line, i, &arg);
            if (!closed || (i < line.size() && !is_blank(line[i]))) return std::nullopt;
        } else {
            while (i < line.size() && !is_blank(line[i])) arg.push_back(line[i++]);
        }
        args.push_back(std::move(arg));
    }
}

void append_request(const std::vector<std::string>& args, std::string* out) {
    out->push_back('*');
    out->append(std::to_string(args.size()));
    out->append("\r\n");
    for (const std::string& a : args) {
        out->push_back('$');
        out->append(std::to_string(a.size()));
        out->append("\r\n");
        out->append(a);
        out->append("\r\n");
    }
}

}  // namespace cli
