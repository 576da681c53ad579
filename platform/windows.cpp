// windows.cpp — platform.h for Windows: Winsock 2.2 (started once), WSAPoll for
// readiness, an exclusive-address listener, CreateThread with a bounded
// WaitForSingleObject join, the system time as Unix milliseconds, Sleep and
// GetCurrentProcessId, and aligned page mappings (large pages are not asked for).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll, inet_pton
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace platform {

namespace {

SOCKET sock_of(Socket s) { return static_cast<SOCKET>(s); }
Socket wrap(SOCKET s) { return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s); }

bool set_nonblocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

void set_nodelay(SOCKET s) {
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// Socket calls take int lengths.
int clamp_len(size_t len) { return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }

// "a.b.c.d:port" of an IPv4 socket address; false when it does not fit or is not IPv4.
bool format_addr(const sockaddr_storage& ss, char* out, size_t out_len) {
    if (ss.ss_family != AF_INET || out == nullptr || out_len == 0) return false;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    unsigned long ip = ntohl(sin->sin_addr.s_addr);
    int n = std::snprintf(out, out_len, "%lu.%lu.%lu.%lu:%u", (ip >> 24) & 0xff, (ip >> 16) & 0xff,
                          (ip >> 8) & 0xff, ip & 0xff, static_cast<unsigned>(ntohs(sin->sin_port)));
    return n > 0 && static_cast<size_t>(n) < out_len;
}

}  // namespace

// ---- Sockets ---------------------------------------------------------------

void net_startup() {
    // Winsock is started once per process and never torn down.
    static const bool done = [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        return true;
    }();
    (void)done;
}

Socket net_listen(int port, int backlog, ListenError* error) {
    ListenError dummy;
    if (error == nullptr) error = &dummy;
    *error = ListenError::None;
    net_startup();

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        *error = ListenError::Create;
        return kInvalidSocket;
    }
    // Exclusive use: a second listener on the same port fails to bind instead of
    // sharing (or taking over) the port, as plain SO_REUSEADDR would allow here.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<u_short>(port));
    if (port < 0 || port > 65535 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        *error = ListenError::Bind;
        return kInvalidSocket;
    }
    if (listen(s, backlog) != 0 || !set_nonblocking(s, true)) {
        closesocket(s);
        *error = ListenError::Listen;
        return kInvalidSocket;
    }
    return wrap(s);
}

Socket net_accept(Socket listener) {
    if (listener == kInvalidSocket) return kInvalidSocket;
    for (;;) {
        SOCKET s = accept(sock_of(listener), nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return kInvalidSocket;  // none pending, or one that was reset meanwhile
        }
        if (!set_nonblocking(s, true)) {
            closesocket(s);
            return kInvalidSocket;
        }
        set_nodelay(s);
        return wrap(s);
    }
}

int64_t net_recv(Socket s, void* buf, size_t len) {
    if (s == kInvalidSocket) return kIoError;
    for (;;) {
        int n = recv(sock_of(s), static_cast<char*>(buf), clamp_len(len), 0);
        if (n >= 0) return n;
        int err = WSAGetLastError();
        if (err == WSAEINTR) continue;
        // A receive time-out (net_set_recv_timeout) reads as "nothing yet", as on POSIX.
        return (err == WSAEWOULDBLOCK || err == WSAETIMEDOUT) ? kWouldBlock : kIoError;
    }
}

int64_t net_send(Socket s, const void* buf, size_t len) {
    if (s == kInvalidSocket) return kIoError;
    for (;;) {
        int n = send(sock_of(s), static_cast<const char*>(buf), clamp_len(len), 0);
        if (n >= 0) return n;
        int err = WSAGetLastError();
        if (err == WSAEINTR) continue;
        return err == WSAEWOULDBLOCK ? kWouldBlock : kIoError;
    }
}

void net_close(Socket s) {
    if (s != kInvalidSocket) closesocket(sock_of(s));
}

Socket net_connect(const char* host, int port) {
    if (host == nullptr || port <= 0 || port > 65535) return kInvalidSocket;
    net_startup();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    const char* ip = std::strcmp(host, "localhost") == 0 ? "127.0.0.1" : host;
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return kInvalidSocket;

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    set_nodelay(s);
    return wrap(s);
}

bool net_set_blocking(Socket s, bool blocking) {
    return s != kInvalidSocket && set_nonblocking(sock_of(s), !blocking);
}

bool net_set_recv_timeout(Socket s, int timeout_ms) {
    if (s == kInvalidSocket) return false;
    DWORD ms = timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0;
    return setsockopt(sock_of(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

int net_free_port() {
    net_startup();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = 0;
    int alen = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &alen) == 0) {
        port = ntohs(addr.sin_port);
    }
    closesocket(s);
    return port;
}

bool net_peer_addr(Socket s, char* out, size_t out_len) {
    if (s == kInvalidSocket) return false;
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getpeername(sock_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    return format_addr(ss, out, out_len);
}

bool net_local_addr(Socket s, char* out, size_t out_len) {
    if (s == kInvalidSocket) return false;
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    return format_addr(ss, out, out_len);
}

// WSAPoll takes any number of sockets. A hang-up is reported as readable when
// reading was asked for, so the caller drains what is left and then sees the
// end of the stream; otherwise, and for socket errors, as kPollErr. Items with an
// invalid socket are never ready.
int net_poll(PollItem* items, size_t count, int timeout_ms) {
    std::vector<WSAPOLLFD> fds;
    std::vector<size_t> index;  // fds[k] belongs to items[index[k]]
    fds.reserve(count);
    index.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        items[i].revents = 0;
        if (items[i].sock == kInvalidSocket) continue;
        WSAPOLLFD p{};
        p.fd = sock_of(items[i].sock);
        p.events = static_cast<SHORT>(((items[i].events & kPollIn) ? POLLRDNORM : 0) |
                                      ((items[i].events & kPollOut) ? POLLWRNORM : 0));
        fds.push_back(p);
        index.push_back(i);
    }
    if (fds.empty()) {  // WSAPoll refuses an empty set
        if (timeout_ms > 0) Sleep(static_cast<DWORD>(timeout_ms));
        return 0;
    }
    int r = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms < 0 ? -1 : timeout_ms);
    if (r == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    if (r == 0) return 0;

    int ready = 0;
    for (size_t k = 0; k < fds.size(); ++k) {
        SHORT got = fds[k].revents;
        if (got == 0) continue;
        PollItem& item = items[index[k]];
        short out = 0;
        if (got & (POLLRDNORM | POLLRDBAND)) out |= kPollIn;
        if (got & POLLWRNORM) out |= kPollOut;
        if (got & POLLHUP) out |= (item.events & kPollIn) ? kPollIn : kPollErr;
        if (got & (POLLERR | POLLNVAL)) out |= kPollErr;
        item.revents = out;
        if (out != 0) ++ready;
    }
    return ready;
}

// ---- Worker thread ---------------------------------------------------------

struct Thread {
    HANDLE handle = nullptr;
    ThreadFn fn = nullptr;
    void* arg = nullptr;
};

namespace {
DWORD WINAPI thread_main(LPVOID arg) {
    Thread* t = static_cast<Thread*>(arg);
    t->fn(t->arg);
    return 0;
}
}  // namespace

Thread* thread_start(ThreadFn fn, void* arg) {
    if (fn == nullptr) return nullptr;
    Thread* t = new (std::nothrow) Thread;
    if (t == nullptr) return nullptr;
    t->fn = fn;
    t->arg = arg;
    t->handle = CreateThread(nullptr, 0, thread_main, t, 0, nullptr);
    if (t->handle == nullptr) {
        delete t;
        return nullptr;
    }
    return t;
}

bool thread_join_for(Thread* t, int timeout_ms) {
    if (t == nullptr) return true;
    DWORD ms = timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0;
    if (WaitForSingleObject(t->handle, ms) != WAIT_OBJECT_0) return false;
    CloseHandle(t->handle);
    delete t;
    return true;
}

void thread_join(Thread* t) {
    if (t == nullptr) return;
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    delete t;
}

// ---- Lock, clock, process --------------------------------------------------

std::recursive_mutex& global_lock() {
    static std::recursive_mutex lock;
    return lock;
}

int64_t current_time_ms() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    // 100-ns ticks since 1601-01-01 to milliseconds since 1970-01-01.
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - 116444736000000000LL) / 10000;
}

int64_t current_time_s() { return current_time_ms() / 1000; }

void sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

uint64_t process_id() { return static_cast<uint64_t>(GetCurrentProcessId()); }

void* map_pages(size_t bytes, size_t alignment) {
    // Reserve enough to hold an aligned stretch, release it, and take the aligned
    // stretch alone; another thread may take that address in between, so try again.
    for (int attempt = 0; attempt < 16; ++attempt) {
        void* probe = VirtualAlloc(nullptr, bytes + alignment, MEM_RESERVE, PAGE_NOACCESS);
        if (probe == nullptr) return nullptr;
        const uintptr_t aligned = (reinterpret_cast<uintptr_t>(probe) + alignment - 1) & ~uintptr_t{alignment - 1};
        VirtualFree(probe, 0, MEM_RELEASE);
        void* p = VirtualAlloc(reinterpret_cast<void*>(aligned), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (p != nullptr) return p;
    }
    return nullptr;
}

void unmap_pages(void* p, size_t) {
    if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}

// Large pages need a privilege a server process rarely holds; ordinary pages serve.
void advise_large_pages(void*, size_t) {}

bool file_truncate(const char* path, uint64_t size) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

namespace {

// Windows byte-range locks are mandatory: the lock covers one byte far past
// any size a log reaches, so reads and appends of the locked file still pass.
constexpr DWORD kLockOffsetHigh = 0x40000000u;

}  // namespace

FileLock file_lock(const char* path, bool* busy) {
    *busy = false;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoFileLock;
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        *busy = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(h);
        return kNoFileLock;
    }
    return reinterpret_cast<FileLock>(h);
}

void file_unlock(FileLock lock) {
    if (lock == kNoFileLock) return;
    HANDLE h = reinterpret_cast<HANDLE>(lock);
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(h, 0, 1, 0, &at);
    CloseHandle(h);
}

bool file_sync(std::FILE* f) { return f != nullptr && _commit(_fileno(f)) == 0; }

bool file_replace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool dir_sync_of(const char*) { return true; }

bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }
bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }
void stdin_set_binary() { _setmode(_fileno(stdin), _O_BINARY); }

}  // namespace platform
