// aof.cpp — the append-only log writer: one record per logged command in the
// request format, flushed to the operating system before the reply goes out.
#include <cinttypes>
#include <cstring>

#include "server/aof.h"
#include "server/server.h"

namespace {

bool g_last_write_ok = true;

// Reused record buffer: a record is formed whole, then written with one call.
std::string g_record;

void append_length_line(char prefix, uint64_t n) {
    char line[32];
    int len = std::snprintf(line, sizeof(line), "%c%" PRIu64 "\r\n", prefix, n);
    g_record.append(line, static_cast<size_t>(len));
}

bool write_record() {
    bool ok = std::fwrite(g_record.data(), 1, g_record.size(), s_aof_fp) == g_record.size();
    ok = (std::fflush(s_aof_fp) == 0) && ok;
    s_last_save = platform::current_time_s();
    g_last_write_ok = ok;
    return ok;
}

}  // namespace

bool aof_write_cmd(int argc, char** argv, const uint64_t* lens) {
    if (s_aof_fp == nullptr || argc <= 0) return true;
    g_record.clear();
    append_length_line('*', static_cast<uint64_t>(argc));
    for (int i = 0; i < argc; ++i) {
        append_length_line('$', lens[i]);
        g_record.append(argv[i], lens[i]);
        g_record.append("\r\n", 2);
    }
    return write_record();
}

bool aof_write_args(std::initializer_list<std::string_view> args) {
    if (s_aof_fp == nullptr || args.size() == 0) return true;
    g_record.clear();
    append_length_line('*', args.size());
    for (std::string_view a : args) {
        append_length_line('$', a.size());
        g_record.append(a);
        g_record.append("\r\n", 2);
    }
    return write_record();
}

bool aof_log_request(const Args& args) { return aof_write_cmd(args.argc, args.argv, args.lens); }

bool aof_log_deadline(std::string_view key) {
    if (s_aof_fp == nullptr || s_dict == nullptr) return true;
    Entry* e = dict_find_entry(s_dict, key);
    if (e == nullptr || e->expire_at_ms <= 0) return true;
    char when[32];
    std::snprintf(when, sizeof(when), "%" PRId64, e->expire_at_ms);
    return aof_write_args({"PEXPIREAT", key, when});
}

bool aof_last_write_ok() { return g_last_write_ok; }

void aof_open() {
    if (s_persist_file.empty()) {
        s_aof_fp = nullptr;
        return;
    }
    // Binary append: records hold arbitrary bytes and must not be translated.
    s_aof_fp = std::fopen(s_persist_file.c_str(), "ab");
}

void aof_close() {
    if (s_aof_fp != nullptr) {
        std::fclose(s_aof_fp);
        s_aof_fp = nullptr;
    }
}
