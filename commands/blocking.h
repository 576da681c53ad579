// blocking.h — blocking commands' shared machinery: trying a wait on one key,
// parking, serving parked clients when a write gives their keys data, time-outs,
// and the WATCH bookkeeping that every write passes through.
#pragma once

#include "commands/command.h"

// The time-out argument in seconds; false (error replied) when it is not acceptable.
bool parse_block_timeout(Reply& out, std::string_view text, double* seconds);

enum class TryResult { Served, Nothing, WrongType, Answered };
// Does what the wait asks on one key, replying into `out` and stating the log
// record of what it did: Served; Nothing (missing or empty key); WrongType (the
// key holds another type; nothing replied); Answered (an error was replied,
// e.g. a move's destination of another type).
TryResult try_wait_on_key(Call& call, Reply& out, const BlockWait& wait, std::string_view key);

// Tries the wait on each of its keys in order and answers the first that
// serves; a key of another type answers WRONGTYPE unless pass_wrong_type. When
// none serves, parks the client (inside EXEC answers the empty reply instead).
void block_or_answer(Call& call, BlockWait wait, double timeout_s, bool pass_wrong_type);

// The "key ... timeout" forms (BLPOP, BRPOP, BZPOPMIN, BZPOPMAX): one element
// or member from the head / lowest scores when from_head.
void block_on_keys_then_timeout(Call& call, const Args& a, WaitKind kind, bool from_head);

// Takes a parked client out of the queues (answered, timed out or closed).
void unpark_client(Server& srv, Client* c);
// Answers the parked clients whose time-out has passed.
void time_out_parked_clients(Server& srv, int64_t now);

// After a writing command changed the keyspace: breaks the watches of its key
// arguments and serves the clients parked on them. O(1) per argument, nothing
// at all while no client is parked or watching.
void note_keys_written(Call& call);
// Serves the clients parked on key, in park order, while it has data for them.
void serve_parked(Call& call, std::string_view key);

// Breaks every watch of key; an empty key breaks every watch.
void watch_touch(Server& srv, std::string_view key);
void watch_key(Server& srv, Client* c, std::string_view key);
void unwatch_all(Server& srv, Client* c);
