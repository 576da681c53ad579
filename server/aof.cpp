// aof.cpp — the append-only log writer: records staged by the dispatcher, one
// write per command handed to the operating system before the reply goes out;
// and what happens when the file cannot be written (full or failing disk).
#include "server/aof.h"

#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "keyspace/keyspace.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kProbeIntervalMs = 1000;
constexpr size_t kProbeBytes = 64 * 1024;

}  // namespace

void LogWriter::append_length_line(char prefix, uint64_t n) {
    char line[32];
    int len = std::snprintf(line, sizeof(line), "%c%" PRIu64 "\r\n", prefix, n);
    staged_.append(line, static_cast<size_t>(len));
}

// A record is staged whole or not at all: running out of memory part way takes
// back what was appended, so a later commit never writes half a record.
template <typename Fill>
void LogWriter::stage_whole(Fill&& fill) {
    const size_t mark = staged_.size();
    try {
        fill();
    } catch (...) {
        staged_.resize(mark);
        throw;
    }
}

void LogWriter::stage(int argc, char* const* argv, const uint64_t* lens) {
    if (fp_ == nullptr || argc <= 0) return;
    stage_whole([&] {
        append_length_line('*', static_cast<uint64_t>(argc));
        for (int i = 0; i < argc; ++i) {
            append_length_line('$', lens[i]);
            staged_.append(argv[i], lens[i]);
            staged_.append("\r\n", 2);
        }
    });
}

void LogWriter::stage(std::initializer_list<std::string_view> args) {
    if (fp_ == nullptr || args.size() == 0) return;
    stage_whole([&] {
        append_length_line('*', args.size());
        for (std::string_view a : args) {
            append_length_line('$', a.size());
            staged_.append(a);
            staged_.append("\r\n", 2);
        }
    });
}

void LogWriter::stage_deadline(Keyspace* ks, std::string_view key) {
    if (fp_ == nullptr || ks == nullptr) return;
    Entry* e = dict_find_entry(ks, key);
    if (e == nullptr || e->expire_at_ms <= 0) return;
    char when[32];
    std::snprintf(when, sizeof(when), "%" PRId64, e->expire_at_ms);
    stage({"PEXPIREAT", key, when});
}

// Cuts off whatever part of a failed write reached the file.
void LogWriter::drop_partial_tail() {
    std::clearerr(fp_);
    if (!platform::file_truncate(path_.c_str(), good_size_)) tail_dirty_ = true;
}

bool LogWriter::commit() {
    if (staged_.empty()) return true;
    if (fp_ == nullptr) {
        staged_.clear();
        return true;
    }
    if (failed_) {
        staged_.clear();
        return false;
    }
    // The stream is unbuffered: a failed write leaves nothing queued to reappear.
    bool ok = std::fwrite(staged_.data(), 1, staged_.size(), fp_) == staged_.size();
    ok = (std::fflush(fp_) == 0) && ok;
    last_save_s_ = platform::current_time_s();
    const size_t written = staged_.size();
    // A huge record's buffer is given back rather than kept for the next command.
    if (staged_.capacity() > (size_t(1) << 20)) {
        std::string().swap(staged_);
    } else {
        staged_.clear();
    }
    if (ok) {
        good_size_ += written;
        return true;
    }
    drop_partial_tail();
    failed_ = true;
    last_probe_ms_ = platform::current_time_ms();
    return false;
}

void LogWriter::probe_recovery() {
    if (!refusing_writes()) return;
    const int64_t now = platform::current_time_ms();
    if (tail_dirty_ || now - last_probe_ms_ < kProbeIntervalMs) return;
    last_probe_ms_ = now;
    // Room for a block of data beside the log means records fit again. The probe
    // goes to a file of its own so the log never holds anything but records.
    const std::string probe = path_ + ".probe";
    FILE* f = std::fopen(probe.c_str(), "wb");
    if (f == nullptr) return;
    const std::string zeros(kProbeBytes, '\0');
    bool ok = std::fwrite(zeros.data(), 1, zeros.size(), f) == zeros.size();
    ok = (std::fclose(f) == 0) && ok;
    std::remove(probe.c_str());
    if (ok) failed_ = false;
}

void LogWriter::open(bool tail_ok) {
    close();
    failed_ = !tail_ok;
    tail_dirty_ = !tail_ok;
    staged_.clear();
    if (path_.empty()) return;
    // Binary append: records hold arbitrary bytes and must not be translated.
    fp_ = std::fopen(path_.c_str(), "ab");
    if (fp_ == nullptr) return;
    std::setvbuf(fp_, nullptr, _IONBF, 0);
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path_, ec);
    good_size_ = ec ? 0 : static_cast<uint64_t>(size);
}

void LogWriter::close() {
    if (fp_ != nullptr) {
        std::fclose(fp_);
        fp_ = nullptr;
    }
    staged_.clear();
}

void LogWriter::flush() {
    if (fp_ != nullptr) std::fflush(fp_);
}
