/* vorel.h — the C interface of the vorel cache server library.
 *
 * Conventions:
 *  - Every function may be called from any thread of the host. The server runs on
 *    one worker thread of its own; the host functions take the same process-wide
 *    lock as the worker, so they interleave with commands between lock sections.
 *  - vorel_server_start and vorel_server_stop must not race each other: the host
 *    serialises its calls of these two.
 *  - Failures are reported as -1; vorel_last_error() then says why. No function
 *    lets an error escape as anything else: running out of memory inside any of
 *    them returns its failure value with vorel_last_error() = "out of memory"
 *    (text functions then return their empty result: "[]", "{}", "" or null).
 *  - vorel_last_error() may be called from any thread; its text is a copy made
 *    for the calling thread, valid until that thread calls it again.
 *  - Returned text points into a static buffer of the library that the next call
 *    of the same function overwrites; the host never frees it.
 *  - Text arguments are NUL-terminated; a null pointer is accepted where stated.
 */
#ifndef VOREL_H
#define VOREL_H

#ifdef _WIN32
#  ifdef VOREL_BUILDING
#    define VOREL_API __declspec(dllexport)
#  else
#    define VOREL_API __declspec(dllimport)
#  endif
#else
#  define VOREL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the server: port (6379 when below 1), password (null or "" = none),
 * memory limit in megabytes (0 or negative = none) and append-only file path
 * (null or "" = none; replayed first when it exists). Returns 0 when the server
 * is running, -1 on failure (see vorel_last_error). */
VOREL_API int vorel_server_start(int port, const char* password, int maxmemory_mb,
                                 const char* persist_file);

/* Stops the server, waits for its worker thread to end, closes every connection
 * and drops the keyspace. Always returns 0; a no-op when not running. */
VOREL_API int vorel_server_stop(void);

/* 1 while the server runs, 0 otherwise. */
VOREL_API int vorel_server_status(void);

/* Text of the last failure of a start or host call; "" after a successful start
 * or a stop. Never null. */
VOREL_API const char* vorel_last_error(void);

/* Sets one CONFIG row (as CONFIG SET does), before a start or while running;
 * rows are kept across restarts. "appendfsync" takes always, everysec or no.
 * Returns 0, or -1 for an unknown row or a value the row refuses. */
VOREL_API int vorel_config_set(const char* name, const char* value);

/* The library version, "1.3.2". */
VOREL_API const char* vorel_version(void);

/* ---- Host access to the keyspace --------------------------------------------
 * These work whether or not the server runs (also before the first start). They
 * take the server's lock for their whole call. Returned text lives in a static
 * buffer of each function, overwritten by its next call (from any thread, and by
 * the HTTP routes for the two JSON functions): copy it before calling again. */

/* JSON array of the key names matching a glob pattern ("*" and "?" are the only
 * special characters; null = "*"), in keyspace order; "[]" when no keyspace
 * exists. Keys that would push the text past 512 KiB are left out. */
VOREL_API const char* vorel_get_keys_json(const char* pattern);

/* "<type> <size>": the type name (string, list, hash, set, zset or none) and the
 * byte length of a string or the element count of a container; "none 0" for a
 * missing key; "" for a null key. */
VOREL_API const char* vorel_key_info(const char* key);

/* The whole string value of key, or null when the key is missing or holds another
 * type. A value holding a NUL byte necessarily reads as ending there. */
VOREL_API const char* vorel_get_value(const char* key);

/* Stores value at key (replacing any type), expiring after ttl_seconds when it is
 * above 0, and logs it to the append-only file. Creates an empty keyspace when
 * none exists (the next start replaces it). 0 stored, -1 failure, also when the
 * append-only file cannot be written (see vorel_last_error). */
VOREL_API int vorel_set_value(const char* key, const char* value, int ttl_seconds);

/* 1 when the key was deleted, 0 when it was not present, -1 when the
 * append-only file cannot be written (see vorel_last_error). */
VOREL_API int vorel_del_key(const char* key);

/* Statistics as a JSON object: ops_per_sec, total_keys, memory_used_bytes, hits,
 * misses, uptime, connected_clients, total_commands, status. */
VOREL_API const char* vorel_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif /* VOREL_H */
