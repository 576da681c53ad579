// platform.h — the only interface to the operating system: sockets and readiness
// polling, the worker thread, the recursive process-wide lock, the wall clock,
// sleeping and the process id. posix.cpp and windows.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace platform {

// A socket handle wide enough for both a POSIX descriptor and a Windows SOCKET.
using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// One-time process set-up (Winsock start-up on Windows, SIGPIPE off on POSIX).
// Safe to call more than once.
void net_startup();

enum class ListenError { None, Create, Bind, Listen };

// Opens an IPv4 listening socket on 0.0.0.0:port with address reuse that still
// refuses a port another listener holds, and the given backlog. The socket is
// non-blocking. On failure returns kInvalidSocket and says which step failed.
Socket net_listen(int port, int backlog, ListenError* error);

// Accepts one pending connection (non-blocking); kInvalidSocket when none.
// The new socket is non-blocking with TCP_NODELAY set.
Socket net_accept(Socket listener);

// Results of net_recv / net_send below zero.
constexpr int64_t kWouldBlock = -2;
constexpr int64_t kIoError = -1;

// Receives up to len bytes: >0 bytes read, 0 peer closed, kWouldBlock, kIoError.
int64_t net_recv(Socket s, void* buf, size_t len);
// Sends up to len bytes without blocking: >=0 bytes sent, kWouldBlock, kIoError.
int64_t net_send(Socket s, const void* buf, size_t len);
void net_close(Socket s);

// Client side, for tools and tests: a blocking connection to host:port (IPv4
// dotted address or "localhost"), TCP_NODELAY set; kInvalidSocket on failure.
Socket net_connect(const char* host, int port);
// Switches a socket between blocking and non-blocking mode.
bool net_set_blocking(Socket s, bool blocking);
// Receive time-out for a blocking socket (0 = none).
bool net_set_recv_timeout(Socket s, int timeout_ms);
// A loopback TCP port that was free a moment ago (bind to port 0 and release).
int net_free_port();

// Writes "a.b.c.d:port" of the peer (or of the local end) into out; false when the
// socket is invalid, the call fails or the address is not IPv4.
bool net_peer_addr(Socket s, char* out, size_t out_len);
bool net_local_addr(Socket s, char* out, size_t out_len);

// Readiness polling over any number of sockets.
enum PollFlags : short { kPollIn = 1, kPollOut = 2, kPollErr = 4 };
struct PollItem {
    Socket sock;
    short events;   // kPollIn | kPollOut wanted
    short revents;  // filled by net_poll
};
// Waits up to timeout_ms for readiness; returns the number of ready items, or -1.
int net_poll(PollItem* items, size_t count, int timeout_ms);

// Worker thread with a bounded join.
struct Thread;
using ThreadFn = void (*)(void* arg);
// Starts fn(arg) on a new thread; nullptr when the thread cannot be created.
Thread* thread_start(ThreadFn fn, void* arg);
// Waits at most timeout_ms for the thread to end; true when it has ended (the
// handle is then released). False leaves the handle valid.
bool thread_join_for(Thread* t, int timeout_ms);
// Waits without limit and releases the handle.
void thread_join(Thread* t);

// The process-wide recursive lock. Constructed on first use, so it exists before
// any server start and can guard host calls made before one.
std::recursive_mutex& global_lock();

// Wall-clock milliseconds since the Unix epoch.
int64_t current_time_ms();
// Wall-clock seconds since the Unix epoch.
int64_t current_time_s();
void sleep_ms(int ms);
uint64_t process_id();

// Fresh zeroed memory of `bytes` straight from the system, starting at a
// multiple of `alignment` (a power of two and a multiple of the system's page
// size); nullptr when there is none. Given back whole with unmap_pages. Pages
// that are never written cost address space only.
void* map_pages(size_t bytes, size_t alignment);
void unmap_pages(void* p, size_t bytes);
// Asks for [p, p + bytes) to be backed by large pages where the system offers
// them, so that a table spread over it costs fewer address-translation misses.
// A hint: memory and behaviour are the same without it.
void advise_large_pages(void* p, size_t bytes);

// Cuts the file at path down to size bytes; false on failure.
bool file_truncate(const char* path, uint64_t size);

// An exclusive advisory lock on a file, held by one process (and one holder in
// it) at a time; released by file_unlock or when the process ends. The file is
// created when missing and never written.
using FileLock = intptr_t;
constexpr FileLock kNoFileLock = -1;
// Takes the lock without waiting; kNoFileLock when another holder has it or the
// file cannot be opened. *busy tells which.
FileLock file_lock(const char* path, bool* busy);
void file_unlock(FileLock lock);

// Makes the data written through the stream durable on the disk; false on failure.
// Safe to call from another thread than the one writing.
bool file_sync(std::FILE* f);
// Replaces the file at `to` with the one at `from` in one step: a reader sees
// either the old file or the new one, whole.
bool file_replace(const char* from, const char* to);
// True where a file that is open or locked cannot be renamed over or away
// (Windows): its holders must let go of it for file_replace.
#ifdef _WIN32
constexpr bool kLockedFilesStayInPlace = true;
#else
constexpr bool kLockedFilesStayInPlace = false;
#endif
// Flushes a directory entry change (a rename) to the disk where the system
// needs it; true where there is nothing to do.
bool dir_sync_of(const char* file_path);
// True when standard output is an interactive terminal (not a file or a pipe).
bool stdout_is_terminal();
// True when standard input is an interactive terminal.
bool stdin_is_terminal();
// Reads standard input byte for byte (no line-end translation on Windows).
void stdin_set_binary();

}  // namespace platform
