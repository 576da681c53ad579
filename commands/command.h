// command.h — the command table and what a handler works with. Each command
// family registers its CommandDefs from its own file; the dispatcher applies
// authentication, the subscribe and transaction gates, arity, the log gate and
// logging from the table, so a handler only does its command's work.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "server/server.h"

struct Args {
    int argc;
    char** argv;            // NUL-terminated; byte-exact through lens
    const uint64_t* lens;
    std::string_view operator[](int i) const { return std::string_view(argv[i], lens[i]); }
};

// One running command: the server, the client it runs for, that client's reply
// writer and the keyspace. Handlers reply through `out` and may state the log
// records that replay their effect when the request itself would not.
struct Call {
    Server& server;
    Client* client;
    Reply& out;
    Keyspace* ks;
    const Args& args;

    // ---- Log records stated by the handler ----
    // A writing command that changed the keyspace is logged as its request by
    // the dispatcher. A handler whose request would not replay to the same state
    // (relative deadlines, random or blocking pops, a partial failure) states its
    // records instead; once it states any, only those are written.
    void log_request() { log_request_prefix(args.argc); }
    void log_request_prefix(int argc) {
        stated_log = true;
        server.log.stage(argc, args.argv, args.lens);
    }
    void log(std::initializer_list<std::string_view> record) {
        stated_log = true;
        server.log.stage(record);
    }
    void log(int argc, char* const* argv, const uint64_t* lens) {
        stated_log = true;
        server.log.stage(argc, argv, lens);
    }
    // PEXPIREAT key <ms> when the key has a deadline.
    void log_deadline(std::string_view key) {
        stated_log = true;
        server.log.stage_deadline(ks, key);
    }
    // States that this call's effect needs no record (its change is recorded elsewhere).
    void log_nothing() { stated_log = true; }

    bool stated_log = false;
};

using CommandHandler = void (*)(Call& call, const Args& a);
// Checked when the command is queued inside MULTI: false (with the error
// replied) refuses to queue it.
using QueueCheck = bool (*)(Call& call, const Args& a);

enum CommandFlag : uint32_t {
    kCmdWrite = 1u << 0,         // may change the keyspace: refused while the log fails; logged when it changed it
    kCmdNoAuth = 1u << 1,        // runs before authentication (AUTH, HELLO, QUIT)
    kCmdSubscribed = 1u << 2,    // runs while a RESP2 client is subscribed (RESP3 clients run anything)
    kCmdNoQueue = 1u << 3,       // runs at once inside MULTI instead of being queued
    kCmdNoReplay = 1u << 4,      // never logged in its own form: replay skips such records
    kCmdSubcommandName = 1u << 5,  // CLIENT LIST shows it as "name|subcommand"
    kCmdMayBlock = 1u << 6,      // may park the client until data or a time-out
};

struct CommandDef {
    const char* name;      // upper case
    int min_args;          // argc including the name
    int max_args;          // -1 = no upper bound
    uint32_t flags;
    CommandHandler handler;
    // The arity error's text; nullptr = "wrong number of arguments for '<name>' command".
    const char* arity_error = nullptr;
    QueueCheck queue_check = nullptr;
};

void register_commands(std::initializer_list<CommandDef> defs);

// A command family declares one of these at file scope to add its commands.
struct CommandRegistrar {
    CommandRegistrar(std::initializer_list<CommandDef> defs) { register_commands(defs); }
};

// The registered command of an upper-case name, or nullptr.
const CommandDef* command_lookup(std::string_view upper_name);
// Every registered command, in registration order.
const std::vector<const CommandDef*>& all_commands();

// Where a request comes from: the network (statistics and the last-command
// record are kept), EXEC running its queue, or the start-up replay.
enum class Origin { Network, Exec, Replay };
void dispatch_command(Server& srv, Client* c, int argc, char** argv, const uint64_t* lens, Origin origin);

// Serves the next slice of a (P)(UN)SUBSCRIBE whose names did not fit one pass
// (Client::unserved); clears it once the last name is confirmed. A client whose
// rest cannot be served for lack of memory is closed.
void serve_unserved_names(Server& srv, Client* c);

// Adds a command that ran for `ticks` of platform::ticks() to the server's slow log.
void slowlog_record(Server& srv, Client* c, const Args& a, uint64_t ticks);

// Strict parsers for command arguments.
int parse_strict_ll(std::string_view text, int64_t* out);
int parse_strict_float(std::string_view text, double* out);

// Shared reply texts.
constexpr const char* kErrWrongType = "WRONGTYPE Operation against a key holding the wrong kind of value";
constexpr const char* kErrNotInteger = "value is not an integer or out of range";
constexpr const char* kErrSyntax = "syntax error";
// Any command whose work failed for want of memory (nothing changed).
constexpr const char* kErrOutOfMemory = "out of memory";
constexpr const char* kErrEmptyKey = "empty keys are not supported";
// "wrong number of arguments for '<name_lower>' command"
void reply_arity_error(Reply& out, std::string_view name_lower);
