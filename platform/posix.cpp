// posix.cpp — platform.h for Linux and other POSIX systems: BSD sockets with
// poll(2), SIGPIPE ignored (and MSG_NOSIGNAL where available), std::thread for the
// worker with a bounded join, the CLOCK_REALTIME wall clock, nanosleep, getpid,
// and aligned mappings with transparent large pages where the kernel has them.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // SIGPIPE is ignored in net_startup instead
#endif

namespace platform {

namespace {

int fd_of(Socket s) { return static_cast<int>(s); }

bool set_nonblocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

void set_cloexec(int fd) {
    int flags = fcntl(fd, F_GETFD, 0);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// "a.b.c.d:port" of an IPv4 socket address; false when it does not fit or is not IPv4.
bool format_addr(const sockaddr_storage& ss, char* out, size_t out_len) {
    if (ss.ss_family != AF_INET || out == nullptr || out_len == 0) return false;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    char ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof ip) == nullptr) return false;
    int n = std::snprintf(out, out_len, "%s:%u", ip, static_cast<unsigned>(ntohs(sin->sin_port)));
    return n > 0 && static_cast<size_t>(n) < out_len;
}

}  // namespace

// ---- Sockets ---------------------------------------------------------------

void net_startup() {
    static const bool done = [] {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

Socket net_listen(int port, int backlog, ListenError* error) {
    ListenError dummy;
    if (error == nullptr) error = &dummy;
    *error = ListenError::None;

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        *error = ListenError::Create;
        return kInvalidSocket;
    }
    set_cloexec(fd);
    // Lets a restarted server reuse a port whose old connections linger in
    // TIME_WAIT; a port that another socket is listening on is still refused.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        *error = ListenError::Bind;
        return kInvalidSocket;
    }
    if (listen(fd, backlog) != 0 || !set_nonblocking(fd, true)) {
        close(fd);
        *error = ListenError::Listen;
        return kInvalidSocket;
    }
    return fd;
}

Socket net_accept(Socket listener) {
    if (listener == kInvalidSocket) return kInvalidSocket;
    for (;;) {
#ifdef __linux__
        int fd = accept4(fd_of(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
        int fd = accept(fd_of(listener), nullptr, nullptr);
#endif
        if (fd < 0) {
            if (errno == EINTR) continue;
            // EAGAIN: nothing pending. A connection that was reset before we got
            // to it (ECONNABORTED) or a shortage of descriptors also means
            // "none this time"; the listener stays usable.
            return kInvalidSocket;
        }
#ifndef __linux__
        set_cloexec(fd);
        if (!set_nonblocking(fd, true)) {
            close(fd);
            return kInvalidSocket;
        }
#endif
        set_nodelay(fd);
        return fd;
    }
}

int64_t net_recv(Socket s, void* buf, size_t len) {
    if (s == kInvalidSocket) return kIoError;
    for (;;) {
        ssize_t n = recv(fd_of(s), buf, len, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return would_block(errno) ? kWouldBlock : kIoError;
    }
}

int64_t net_send(Socket s, const void* buf, size_t len) {
    if (s == kInvalidSocket) return kIoError;
    for (;;) {
        ssize_t n = send(fd_of(s), buf, len, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return would_block(errno) ? kWouldBlock : kIoError;
    }
}

void net_close(Socket s) {
    if (s != kInvalidSocket) close(fd_of(s));
}

Socket net_connect(const char* host, int port) {
    if (host == nullptr || port <= 0 || port > 65535) return kInvalidSocket;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const char* ip = std::strcmp(host, "localhost") == 0 ? "127.0.0.1" : host;
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return kInvalidSocket;

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return kInvalidSocket;
    set_cloexec(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // An interrupted connect carries on in the background: wait for its outcome.
        bool ok = false;
        if (errno == EINTR || errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int r;
            do {
                r = poll(&p, 1, -1);
            } while (r < 0 && errno == EINTR);
            int err = 0;
            socklen_t elen = sizeof err;
            ok = r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) == 0 && err == 0;
        }
        if (!ok) {
            close(fd);
            return kInvalidSocket;
        }
    }
    set_nodelay(fd);
    return fd;
}

bool net_set_blocking(Socket s, bool blocking) {
    return s != kInvalidSocket && set_nonblocking(fd_of(s), !blocking);
}

bool net_set_recv_timeout(Socket s, int timeout_ms) {
    if (s == kInvalidSocket) return false;
    if (timeout_ms < 0) timeout_ms = 0;
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    return setsockopt(fd_of(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

int net_free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = 0;
    socklen_t alen = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

bool net_peer_addr(Socket s, char* out, size_t out_len) {
    if (s == kInvalidSocket) return false;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    return format_addr(ss, out, out_len);
}

bool net_local_addr(Socket s, char* out, size_t out_len) {
    if (s == kInvalidSocket) return false;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    return format_addr(ss, out, out_len);
}

// A hang-up is reported as readable when reading was asked for, so the caller
// drains what is left and then sees the end of the stream; otherwise, and for
// socket errors, as kPollErr. Items with an invalid socket are never ready.
int net_poll(PollItem* items, size_t count, int timeout_ms) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        items[i].revents = 0;
        fds[i].fd = items[i].sock == kInvalidSocket ? -1 : fd_of(items[i].sock);
        fds[i].events = static_cast<short>(((items[i].events & kPollIn) ? POLLIN : 0) |
                                           ((items[i].events & kPollOut) ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int r = poll(fds.data(), static_cast<nfds_t>(count), timeout_ms < 0 ? -1 : timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;

    int ready = 0;
    for (size_t i = 0; i < count; ++i) {
        short got = fds[i].revents;
        if (got == 0 || fds[i].fd < 0) continue;
        short out = 0;
        if (got & POLLIN) out |= kPollIn;
        if (got & POLLOUT) out |= kPollOut;
        if (got & POLLHUP) out |= (items[i].events & kPollIn) ? kPollIn : kPollErr;
        if (got & (POLLERR | POLLNVAL)) out |= kPollErr;
        items[i].revents = out;
        if (out != 0) ++ready;
    }
    return ready;
}

// ---- Worker thread ---------------------------------------------------------

struct Thread {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;
};

Thread* thread_start(ThreadFn fn, void* arg) {
    if (fn == nullptr) return nullptr;
    Thread* t = new (std::nothrow) Thread;
    if (t == nullptr) return nullptr;
    try {
        t->thread = std::thread([t, fn, arg] {
            fn(arg);
            std::lock_guard<std::mutex> lock(t->mutex);
            t->ended = true;
            t->ended_cv.notify_all();
        });
    } catch (...) {
        delete t;
        return nullptr;
    }
    return t;
}

bool thread_join_for(Thread* t, int timeout_ms) {
    if (t == nullptr) return true;
    {
        std::unique_lock<std::mutex> lock(t->mutex);
        if (!t->ended_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                  [t] { return t->ended; })) {
            return false;
        }
    }
    t->thread.join();  // the function has returned; only the thread's exit is left
    delete t;
    return true;
}

void thread_join(Thread* t) {
    if (t == nullptr) return;
    t->thread.join();
    delete t;
}

// ---- Lock, clock, process --------------------------------------------------

std::recursive_mutex& global_lock() {
    static std::recursive_mutex lock;
    return lock;
}

int64_t current_time_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t current_time_s() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

void sleep_ms(int ms) {
    if (ms <= 0) return;
    timespec req{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

uint64_t process_id() { return static_cast<uint64_t>(getpid()); }

void* map_pages(size_t bytes, size_t alignment) {
    // Map enough to hold an aligned stretch anywhere, then give back the ends.
    const size_t span = bytes + alignment;
    void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(m);
    const uintptr_t aligned = (base + alignment - 1) & ~uintptr_t{alignment - 1};
    if (aligned > base) munmap(m, aligned - base);
    const uintptr_t end = aligned + bytes;
    if (base + span > end) munmap(reinterpret_cast<void*>(end), base + span - end);
    return reinterpret_cast<void*>(aligned);
}

void unmap_pages(void* p, size_t bytes) {
    if (p != nullptr) munmap(p, bytes);
}

void advise_large_pages(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    // Refused (no large pages configured, an old kernel) is the same as not asked.
    (void)madvise(p, bytes, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

bool file_truncate(const char* path, uint64_t size) {
    return ::truncate(path, static_cast<off_t>(size)) == 0;
}

FileLock file_lock(const char* path, bool* busy) {
    *busy = false;
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return kNoFileLock;
    // flock belongs to the open file, so a second open in the same process is
    // refused too (a record lock would be shared by the whole process).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *busy = errno == EWOULDBLOCK;
        ::close(fd);
        return kNoFileLock;
    }
    return fd;
}

void file_unlock(FileLock lock) {
    if (lock != kNoFileLock) ::close(static_cast<int>(lock));
}

bool file_sync(std::FILE* f) { return f != nullptr && ::fsync(fileno(f)) == 0; }

bool file_replace(const char* from, const char* to) { return ::rename(from, to) == 0; }

bool dir_sync_of(const char* file_path) {
    std::string dir(file_path);
    const size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : dir.substr(0, slash));
    const int fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }
bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }
void stdin_set_binary() {}

}  // namespace platform
