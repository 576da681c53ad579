// aof.cpp — the append-only log writer: one record per logged command in the
// request format, handed to the operating system before the reply goes out; and
// what happens when the file cannot be written (full or failing disk).
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "server/aof.h"
#include "server/server.h"

namespace {

// Set when an append failed; cleared once a probe shows the file takes data
// again. While set, nothing is appended (a record must never follow a tail that
// did not make it) and the dispatcher refuses writing commands.
bool g_write_failed = false;
uint64_t g_failures = 0;
// Size of the file up to the end of the last record that was written whole.
uint64_t g_good_size = 0;
int64_t g_last_probe_ms = 0;
// Set when bytes that no replay can read may sit at the end of the log (a failed
// write that could not be cut off, or a damaged tail that could not be repaired
// at start). Appending behind them would hide every later record, so writes
// stay refused until the next start.
bool g_tail_dirty = false;
constexpr int64_t kProbeIntervalMs = 1000;
constexpr size_t kProbeBytes = 64 * 1024;

// Reused record buffer: a record is formed whole, then written with one call.
std::string g_record;

void append_length_line(char prefix, uint64_t n) {
    char line[32];
    int len = std::snprintf(line, sizeof(line), "%c%" PRIu64 "\r\n", prefix, n);
    g_record.append(line, static_cast<size_t>(len));
}

// Cuts off whatever part of a failed write reached the file.
void drop_partial_tail() {
    std::clearerr(s_aof_fp);
    if (!platform::file_truncate(s_persist_file.c_str(), g_good_size)) g_tail_dirty = true;
}

bool write_record() {
    if (g_write_failed) {
        ++g_failures;
        return false;
    }
    // The stream is unbuffered: a failed write leaves nothing queued to reappear.
    bool ok = std::fwrite(g_record.data(), 1, g_record.size(), s_aof_fp) == g_record.size();
    ok = (std::fflush(s_aof_fp) == 0) && ok;
    s_last_save = platform::current_time_s();
    if (ok) {
        g_good_size += g_record.size();
        return true;
    }
    drop_partial_tail();
    g_write_failed = true;
    g_last_probe_ms = platform::current_time_ms();
    ++g_failures;
    return false;
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

bool aof_last_write_ok() { return !g_write_failed; }
bool aof_refusing_writes() { return s_aof_fp != nullptr && g_write_failed; }
uint64_t aof_failure_count() { return g_failures; }

void aof_probe_recovery() {
    if (!aof_refusing_writes()) return;
    const int64_t now = platform::current_time_ms();
    if (g_tail_dirty || now - g_last_probe_ms < kProbeIntervalMs) return;
    g_last_probe_ms = now;
    // Room for a block of data beside the log means records fit again. The probe
    // goes to a file of its own so the log never holds anything but records.
    const std::string probe = s_persist_file + ".probe";
    FILE* f = std::fopen(probe.c_str(), "wb");
    if (f == nullptr) return;
    static const std::string zeros(kProbeBytes, '\0');
    bool ok = std::fwrite(zeros.data(), 1, zeros.size(), f) == zeros.size();
    ok = (std::fclose(f) == 0) && ok;
    std::remove(probe.c_str());
    if (ok) g_write_failed = false;
}

void aof_open(bool tail_ok) {
    g_write_failed = !tail_ok;
    g_tail_dirty = !tail_ok;
    if (s_persist_file.empty()) {
        s_aof_fp = nullptr;
        return;
    }
    // Binary append: records hold arbitrary bytes and must not be translated.
    s_aof_fp = std::fopen(s_persist_file.c_str(), "ab");
    if (s_aof_fp == nullptr) return;
    std::setvbuf(s_aof_fp, nullptr, _IONBF, 0);
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(s_persist_file, ec);
    g_good_size = ec ? 0 : static_cast<uint64_t>(size);
}

void aof_close() {
    if (s_aof_fp != nullptr) {
        std::fclose(s_aof_fp);
        s_aof_fp = nullptr;
    }
}
