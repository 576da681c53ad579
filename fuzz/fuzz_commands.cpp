// Fuzz target: sequences of commands over every value type, built from a small
// pool of names and arguments, run through the dispatcher; the keyspace
// invariants are checked after every command.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

const char* const kNames[] = {
    "SET", "GET", "DEL", "INCR", "INCRBYFLOAT", "APPEND", "SETRANGE", "GETRANGE", "SETBIT", "BITCOUNT", "BITPOS",
    "EXPIRE", "PEXPIRE", "PERSIST", "TTL", "RENAME", "COPY", "GETDEL", "GETEX", "GETSET", "MSET", "KEYS", "SCAN",
    "LPUSH", "RPUSH", "LPOP", "RPOP", "LRANGE", "LINDEX", "LSET", "LREM", "LINSERT", "LPOS", "LMPOP", "LLEN",
    "HSET", "HGET", "HDEL", "HINCRBY", "HINCRBYFLOAT", "HGETALL", "HSCAN", "SADD", "SREM", "SPOP", "SMOVE",
    "SRANDMEMBER", "SINTERSTORE", "SUNIONSTORE", "SDIFFSTORE", "SINTERCARD", "SSCAN", "ZADD", "ZREM", "ZINCRBY",
    "ZRANGE", "ZRANGEBYSCORE", "ZPOPMIN", "ZPOPMAX", "ZREMRANGEBYSCORE", "ZREMRANGEBYRANK", "ZRANGESTORE",
    "ZRANDMEMBER", "ZMSCORE", "ZRANK", "ZSCAN", "MULTI", "EXEC", "DISCARD", "FLUSHALL", "TYPE", "OBJECT",
};

const char* const kWords[] = {
    "a", "b", "c", "", "x", "0", "1", "2", "-1", "10", "3", "1.5", "-2.5", "inf", "+inf", "-inf", "(1", "[a",
    "NX", "XX", "GT", "LT", "CH", "INCR", "EX", "PX", "GET", "KEEPTTL", "WITHSCORES", "LIMIT", "BEFORE", "AFTER",
    "REV", "BYSCORE", "BYLEX", "COUNT", "MATCH", "*", "LEFT", "RIGHT", "RANK", "MAXLEN", "REPLACE", "ENCODING",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Session session(1);
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    size_t i = 0;
    while (i + 1 < size) {
        const size_t argc = 1 + data[i] % 6;
        args.assign(1, kNames[data[i + 1] % (sizeof(kNames) / sizeof(kNames[0]))]);
        i += 2;
        for (size_t k = 1; k < argc && i < size; ++k, ++i) {
            args.emplace_back(kWords[data[i] % (sizeof(kWords) / sizeof(kWords[0]))]);
        }
        argv.clear();
        lens.clear();
        for (std::string& a : args) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        dispatch_command(session.server, session.client.get(), static_cast<int>(argv.size()), argv.data(),
                         lens.data(), Origin::Network);
        session.client->out.clear();
        fuzz::check_keyspace(session.server.keyspace);
    }
    return 0;
}
