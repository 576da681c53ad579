/* vorel.h — the C interface of the vorel cache server library.
 *
 * Conventions:
 *  - Every function may be called from any thread of the host. The server runs on
 *    one worker thread of its own; the host functions take the same process-wide
 *    lock as the worker, so they interleave with commands between lock sections.
 *  - vorel_server_start and vorel_server_stop must not race each other: the host
 *    serialises its calls of these two.
 *  - Failures are reported as -1; vorel_last_error() then says why.
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

/* Text of the last start failure; "" when there is none. Never null. */
VOREL_API const char* vorel_last_error(void);

/* The library version, "1.3.2". */
VOREL_API const char* vorel_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VOREL_H */
