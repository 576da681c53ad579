// aof.h — the append-only log writer used by every command that changes the
// keyspace. Callers hold the global lock; every function is a no-op when no log
// is open. The bool results are false when the record could not be written.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

struct Args;

bool aof_write_cmd(int argc, char** argv, const uint64_t* lens);
// A rewritten record built from the given arguments.
bool aof_write_args(std::initializer_list<std::string_view> args);
// The request exactly as received.
bool aof_log_request(const Args& args);
// Records the key's absolute deadline (PEXPIREAT key ms) when it has one, so a
// replay restores the same moment of death rather than a fresh relative time.
bool aof_log_deadline(std::string_view key);
// Applies the log's records to the keyspace before the server opens its port.
// False when a damaged tail could not be cut off (or the log is not a regular
// file): new records would then sit behind bytes no replay reads.
bool aof_replay();
// Opens the log for appending. With tail_ok false it opens refusing writes, so
// nothing is appended behind an unreadable tail and no write passes unlogged.
void aof_open(bool tail_ok);
// False after an append failed, until a probe finds the file writable again.
bool aof_last_write_ok();
// True while the log is open but failing: writing commands are refused.
bool aof_refusing_writes();
// Appends that failed since the process started (a command compares it before
// and after it runs to learn that its own record was lost).
uint64_t aof_failure_count();
// While failing, tries at most once a second whether the file takes data again.
void aof_probe_recovery();
void aof_close();
