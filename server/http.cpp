// http.cpp — the small HTTP/1.1 front end on the RESP port: completeness of a
// request, parameter and JSON field extraction, the routes /get, /set, /keys,
// /stats, /health, /metrics, /slowlog, /dashboard and the index page, and one
// response per connection.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "server/host_api.h"
#include "server/http.h"
#include "server/metrics.h"
#include "server/server.h"

namespace {

constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr uint64_t kMaxBodyBytes = 8u << 20;
constexpr size_t kMaxKeyBytes = 1023;
constexpr size_t kMaxValueBytes = (1u << 20) - 1;

constexpr char kIndexPage[] =
    "<!DOCTYPE html><html><head><title>tavrinex-vorel</title></head><body style='font-family:monospace;"
    "background:#111;color:#0f0'><h1>tavrinex-vorel 1.3.2</h1><p>Vorel-compatible cache server (RESP + HTTP "
    "REST)</p><p><a href='/health' style='color:#0ff'>/health</a> <a href='/stats' style='color:#0ff'>/stats</a> "
    "<a href='/keys' style='color:#0ff'>/keys</a></p></body></html>";

bool iequal_prefix(std::string_view text, std::string_view lower_prefix) {
    if (text.size() < lower_prefix.size()) return false;
    for (size_t i = 0; i < lower_prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != lower_prefix[i]) return false;
    }
    return true;
}

// The value of a header line (name given in lower case with its colon), trimmed.
// The request line is not a header line and is skipped.
bool header_value(std::string_view headers, std::string_view lower_name, std::string_view* out) {
    size_t at = headers.find("\r\n");
    if (at == std::string_view::npos) return false;
    at += 2;
    while (at < headers.size()) {
        size_t eol = headers.find("\r\n", at);
        if (eol == std::string_view::npos) eol = headers.size();
        std::string_view line = headers.substr(at, eol - at);
        if (iequal_prefix(line, lower_name)) {
            std::string_view v = line.substr(lower_name.size());
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
            *out = v;
            return true;
        }
        at = eol + 2;
    }
    return false;
}

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

std::string base64_decode(std::string_view in) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : in) {
        int v;
        if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
        else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
        else if (ch == '+') v = 62;
        else if (ch == '/') v = 63;
        else break;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xff);
        }
    }
    return out;
}

// With a password set, the data routes need "Bearer <password>" or Basic
// credentials of the user "default".
bool authorized(const Server& srv, std::string_view headers) {
    if (srv.password.empty()) return true;
    std::string_view auth;
    if (!header_value(headers, "authorization:", &auth)) return false;
    if (iequal_prefix(auth, "bearer ")) return srv.password_matches(auth.substr(7));
    if (iequal_prefix(auth, "basic ")) {
        std::string creds = base64_decode(auth.substr(6));
        return creds.size() > 8 && creds.compare(0, 8, "default:") == 0 &&
               srv.password_matches(std::string_view(creds).substr(8));
    }
    return false;
}

void send_http_response(Client* c, int code, const char* reason, const char* type, std::string_view body,
                        const char* extra_header = "") {
    char head[512];
    int n = std::snprintf(head, sizeof(head),
                          "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%sAccess-Control-Allow-Origin: "
                          "*\r\nConnection: close\r\n\r\n",
                          code, reason, type, body.size(), extra_header);
    send_to(c, [&](Reply& out) {
        out.raw(head, static_cast<size_t>(n));
        out.raw(body);
    });
    c->close_after_output = true;
}

void send_text(Client* c, int code, const char* reason, std::string_view body) {
    send_http_response(c, code, reason, "text/plain", body);
}

void route_get(Server& srv, Client* c, std::string_view query) {
    std::string key;
    if (!http_query_param(query, "key", &key)) return send_text(c, 400, "Bad Request", "Missing key");
    std::string value;
    if (srv.keyspace == nullptr || dict_exists(srv.keyspace, key) != DictStatus::Ok) return send_text(c, 404, "Not Found", "Not Found");
    std::string_view v;
    if (dict_get_string(srv.keyspace, key, &v) == DictStatus::Ok) value.assign(v);
    send_text(c, 200, "OK", value);
}

// The ttl named in a JSON body as a number: "ttl" then blanks, a colon, blanks
// and up to 23 digits; anything else (a string included) means no expiry.
int64_t json_ttl(std::string_view body) {
    size_t at = body.find("\"ttl\"");
    if (at == std::string_view::npos) return 0;
    size_t i = at + 5;
    auto blank = [&](size_t k) {
        return k < body.size() && (body[k] == ' ' || body[k] == '\t' || body[k] == '\r' || body[k] == '\n');
    };
    while (blank(i)) ++i;
    if (i >= body.size() || body[i] != ':') return 0;
    ++i;
    while (blank(i)) ++i;
    std::string digits;
    while (i < body.size() && digits.size() < 23 && std::isdigit(static_cast<unsigned char>(body[i]))) digits += body[i++];
    if (digits.empty()) return 0;
    long long v = std::strtoll(digits.c_str(), nullptr, 10);
    return v >= 1 && v <= 2147483646 ? v : 0;
}

// What a request says about its body: its length when a Content-Length header
// line gave one.
struct BodyInfo {
    bool length_given = false;
    std::string_view bytes;
};

void route_set(Server& srv, Client* c, std::string_view method, std::string_view query, const BodyInfo& info) {
    const std::string_view body = info.bytes;
    const std::string_view source = body.empty() ? query : body;
    std::string key, value;
    if (!http_query_param(source, "key", &key) || key.empty()) http_query_param(query, "key", &key);
    if (key.empty() && !body.empty()) http_json_field(body, "key", &key);
    bool have_value = !key.empty() && !body.empty() && http_json_field(body, "value", &value);
    if (!have_value) have_value = http_query_param(source, "val", &value) || http_query_param(query, "val", &value);
    if (!have_value || key.empty()) {
        // A POST that leaves its body unmeasured needed one here.
        if (method == "POST" && !info.length_given) return send_text(c, 411, "Length Required", "Length Required");
        return send_text(c, 400, "Bad Request", "Missing key or val");
    }
    if (key.size() > kMaxKeyBytes || value.size() > kMaxValueBytes) {
        return send_text(c, 413, "Payload Too Large", "Payload Too Large");
    }
    std::string ttl_text;
    int64_t ttl = 0;
    if (http_query_param(source, "ttl", &ttl_text)) ttl = std::atoi(ttl_text.c_str());
    if (ttl == 0 && !body.empty()) ttl = json_ttl(body);
    if (host_set_value(srv, key, value, ttl) != 0) {
        return send_text(c, 503, "Service Unavailable", srv.last_error.get());
    }
    send_text(c, 200, "OK", "OK");
}

void route(Server& srv, Client* c, std::string_view method, std::string_view target, std::string_view headers,
           const BodyInfo& body) {
    size_t q = target.find('?');
    std::string_view path = target.substr(0, q);
    std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    const bool get = method == "GET";
    if (get && path == "/health") return send_http_response(c, 200, "OK", "application/json", "{\"status\":\"ok\"}");
    if (get && (path == "/" || path == "/index.html")) return send_http_response(c, 200, "OK", "text/html", kIndexPage);
    const bool data_route = (get && (path == "/get" || path == "/keys" || path == "/stats" || path == "/metrics" ||
                                     path == "/slowlog" || path == "/dashboard")) ||
                            ((get || method == "POST") && path == "/set");
    if (!data_route) return send_text(c, 404, "Not Found", "Not Found");
    if (!authorized(srv, headers)) {
        return send_http_response(c, 401, "Unauthorized", "text/plain", "Unauthorized",
                                  "WWW-Authenticate: Basic realm=\"vorel\"\r\n");
    }
    if (path == "/get") return route_get(srv, c, query);
    if (path == "/set") return route_set(srv, c, method, query, body);
    if (path == "/metrics") {
        return send_http_response(c, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics_text(srv));
    }
    if (path == "/slowlog") return send_http_response(c, 200, "OK", "application/json", slowlog_json(srv, 128));
    if (path == "/dashboard") return send_http_response(c, 200, "OK", "text/html; charset=utf-8", dashboard_page());
    std::string json;
    if (path == "/keys") {
        std::string pattern = "*";
        http_query_param(query, "pattern", &pattern);
        json = srv.keyspace ? host_keys_json(srv, pattern.c_str()) : "[]";
    } else {
        json = host_stats_json(srv);
    }
    send_http_response(c, 200, "OK", "application/json", json);
}

}  // namespace

bool http_query_param(std::string_view params, std::string_view name, std::string* out) {
    out->clear();
    size_t at = 0;
    while (at <= params.size()) {
        size_t amp = params.find('&', at);
        std::string_view seg = params.substr(at, amp == std::string_view::npos ? std::string_view::npos : amp - at);
        if (seg.size() > name.size() && seg.substr(0, name.size()) == name && seg[name.size()] == '=') {
            std::string_view raw = seg.substr(name.size() + 1);
            raw = raw.substr(0, raw.find(' '));
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '%' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 && hex_digit(raw[i + 2]) >= 0) {
                    *out += static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
                    i += 2;
                } else {
                    *out += raw[i] == '+' ? ' ' : raw[i];
                }
            }
            return true;
        }
        if (amp == std::string_view::npos) break;
        at = amp + 1;
    }
    return false;
}

bool http_json_field(std::string_view body, std::string_view name, std::string* out) {
    out->clear();
    std::string quoted;
    quoted.reserve(name.size() + 2);
    quoted.push_back('"');
    quoted.append(name);
    quoted.push_back('"');
    size_t at = body.find(quoted);
    if (at == std::string_view::npos) return false;
    size_t i = at + quoted.size();
    auto skip_blanks = [&] {
        while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) ++i;
    };
    skip_blanks();
    if (i >= body.size() || body[i] != ':') return false;
    ++i;
    skip_blanks();
    if (i >= body.size() || body[i] != '"') return false;
    for (++i; i < body.size() && body[i] != '"'; ++i) {
        if (body[i] != '\\') {
            *out += body[i];
            continue;
        }
        if (++i >= body.size()) {
            *out += '\\';
            break;
        }
        switch (body[i]) {
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                unsigned code = 0;
                for (int k = 0; k < 4 && i + 1 < body.size(); ++k) {
                    int d = hex_digit(body[i + 1]);
                    if (d < 0) code = 95;
                    else code = (code << 4) | static_cast<unsigned>(d);
                    ++i;
                }
                *out += static_cast<char>(code & 0xff);
                break;
            }
            default: *out += body[i];
        }
    }
    return true;
}

bool http_request_start(const char* buf, size_t avail) {
    return (avail >= 5 && std::memcmp(buf, "GET /", 5) == 0) || (avail >= 6 && std::memcmp(buf, "POST /", 6) == 0);
}

namespace {

// A Content-Length value: digits only (saturating past the body limit).
bool parse_content_length(std::string_view text, uint64_t* out) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        if (v <= kMaxBodyBytes) v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    *out = v;
    return true;
}

// Finds the end of the header block, searching only bytes not searched by an
// earlier call for the same request. npos while it has not arrived.
size_t find_header_end(ParseState& ps, std::string_view text) {
    const size_t from = ps.http_checked > 3 ? ps.http_checked - 3 : 0;
    const size_t end = text.find("\r\n\r\n", from);
    ps.http_checked = end == std::string_view::npos ? text.size() : end;
    return end;
}

// Reads the headers once they are complete: records where the body starts and
// how long it is. False when the request was answered already (a bad or too
// large length).
bool read_headers(Server& srv, Client* c, std::string_view headers) {
    ParseState& ps = c->parse;
    uint64_t length = 0;
    std::string_view text;
    if (header_value(headers, "content-length:", &text)) {
        if (!parse_content_length(text, &length)) {
            srv.stats.count_command(srv.request_clock_ms());
            send_text(c, 400, "Bad Request", "Invalid Content-Length");
            return false;
        }
        // A body past the limit is refused before it is read, never buffered.
        if (length > kMaxBodyBytes) {
            srv.stats.count_command(srv.request_clock_ms());
            send_text(c, 413, "Payload Too Large", "Payload Too Large");
            return false;
        }
    }
    // Credentials that open the data routes let the body grow to the HTTP
    // limit; without them the answer does not depend on the body, and one
    // larger than such a connection may buffer is not waited for.
    if (!c->authenticated && authorized(srv, headers)) c->authenticated = 1;
    if (!c->authenticated && headers.size() + 4 + length > srv.unauth_input_limit()) length = 0;
    ps.http_body_at = headers.size() + 4;
    ps.http_body_len = length;
    return true;
}

}  // namespace

bool http_handle(Server& srv, Client* c, const char* buf, size_t avail) {
    ParseState& ps = c->parse;
    const std::string_view text(buf, avail);
    if (ps.http_body_at == 0) {
        const size_t header_end = find_header_end(ps, text);
        if (header_end == std::string_view::npos) {
            if (avail <= kMaxHeaderBytes) return false;
            send_text(c, 431, "Request Header Fields Too Large", "Request Header Fields Too Large");
            return true;
        }
        if (header_end > kMaxHeaderBytes) {
            send_text(c, 431, "Request Header Fields Too Large", "Request Header Fields Too Large");
            return true;
        }
        if (!read_headers(srv, c, text.substr(0, header_end))) return true;
    }
    if (avail - ps.http_body_at < ps.http_body_len) return false;
    const std::string_view headers = text.substr(0, ps.http_body_at - 4);
    BodyInfo body;
    std::string_view ignored;
    body.length_given = header_value(headers, "content-length:", &ignored);
    body.bytes = text.substr(ps.http_body_at, ps.http_body_len);
    srv.stats.count_command(srv.request_clock_ms());
    size_t sp1 = headers.find(' ');
    std::string_view method = headers.substr(0, sp1);
    std::string_view rest = headers.substr(sp1 + 1);
    std::string_view target = rest.substr(0, rest.find_first_of(" \r\n"));
    if (target.size() > 2047) {
        send_text(c, 414, "URI Too Long", "URI Too Long");
        return true;
    }
    route(srv, c, method, target, headers, body);
    return true;
}
