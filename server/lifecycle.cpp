// lifecycle.cpp — the process-wide server state and the exported lifecycle
// functions: start, stop, status, last error and version.
#include <cstring>

#include "server/aof.h"
#include "server/server.h"
#include "vorel.h"

std::atomic<int> s_running{0};
int s_port = 6379;
platform::Socket s_listen_fd = platform::kInvalidSocket;
std::string s_password;
std::string s_persist_file;
FILE* s_aof_fp = nullptr;
Keyspace* s_dict = nullptr;
char s_last_error[1024] = "";
std::array<Client*, kMaxClients> s_clients{};
int s_client_count = 0;
uint64_t s_next_client_id = 0;
uint64_t s_total_connections = 0;
uint64_t s_total_commands = 0;
uint64_t s_ops_current_sec = 0;
uint64_t s_ops_last_sec = 0;
int64_t s_last_sec_timestamp_ms = 0;
int64_t s_start_time_ms = 0;
int64_t s_last_save = 0;

namespace {

platform::Thread* s_thread = nullptr;
bool s_process_init = false;

void set_last_error(const char* text) { std::snprintf(s_last_error, sizeof(s_last_error), "%s", text); }

int fail(const char* text) {
    set_last_error(text);
    return -1;
}

// Copies a host text into a bounded setting, cutting what does not fit.
std::string bounded_copy(const char* text, size_t max_chars) {
    if (text == nullptr) return std::string();
    return std::string(text, strnlen(text, max_chars));
}

void process_init_once() {
    if (s_process_init) return;
    platform::net_startup();
    int64_t now = platform::current_time_ms();
    dict_seed_random(static_cast<uint64_t>(now) * 0x9E3779B97F4A7C15ULL ^ platform::process_id());
    s_process_init = true;
}

void close_all_clients() {
    for (int i = 0; i < s_client_count; ++i) {
        Client* c = s_clients[i];
        if (c == nullptr) continue;
        client_close(c);
        free_client_extras(c);
        delete c;
        s_clients[i] = nullptr;
    }
    s_client_count = 0;
}

void close_log() { aof_close(); }

}  // namespace

extern "C" VOREL_API int vorel_server_start(int port, const char* password, int maxmemory_mb,
                                            const char* persist_file) {
    if (s_running.load()) return fail("Server is already running");
    process_init_once();

    s_port = port < 1 ? 6379 : port;
    s_password = bounded_copy(password, 255);
    s_persist_file = bounded_copy(persist_file, 511);

    ServerLock lock(s_mutex());
    // A log left open by an earlier failed start is closed before anything replays.
    close_log();
    if (s_dict != nullptr) dict_destroy(s_dict);
    s_dict = dict_create(maxmemory_mb);
    if (s_dict == nullptr) return fail("Failed to allocate in-memory dictionary");

    config_fill_at_start();
    s_total_commands = 0;
    s_total_connections = 0;
    s_ops_last_sec = 0;
    s_ops_current_sec = 0;
    s_client_count = 0;
    s_start_time_ms = s_last_sec_timestamp_ms = platform::current_time_ms();
    s_last_save = platform::current_time_s();

    aof_open(aof_replay());

    platform::ListenError error = platform::ListenError::None;
    s_listen_fd = platform::net_listen(s_port, 64, &error);
    if (s_listen_fd == platform::kInvalidSocket) {
        // Nothing runs without the listener, so nothing may be logged either.
        close_log();
        switch (error) {
            case platform::ListenError::Bind: {
                char text[128];
                std::snprintf(text, sizeof(text), "Failed to bind to port %d", s_port);
                return fail(text);
            }
            case platform::ListenError::Listen:
                return fail("Failed to listen on socket");
            default:
                return fail("Failed to create socket");
        }
    }

    s_running.store(1);
    s_thread = platform::thread_start(server_thread_func);
    if (s_thread == nullptr) {
        s_running.store(0);
        platform::net_close(s_listen_fd);
        s_listen_fd = platform::kInvalidSocket;
        close_log();
        return fail("Failed to create server worker thread");
    }
    s_last_error[0] = '\0';
    return 0;
}

extern "C" VOREL_API int vorel_server_stop(void) {
    if (!s_running.load()) return 0;
    s_running.store(0);
    if (s_thread != nullptr) {
        // The worker ends within one poll period unless a command is still running;
        // the teardown below must never overlap it, so keep waiting past the bound.
        if (!platform::thread_join_for(s_thread, 2000)) platform::thread_join(s_thread);
        s_thread = nullptr;
    }
    if (s_listen_fd != platform::kInvalidSocket) {
        platform::net_close(s_listen_fd);
        s_listen_fd = platform::kInvalidSocket;
    }
    {
        ServerLock lock(s_mutex());
        close_all_clients();
        close_log();
        dict_destroy(s_dict);
        s_dict = nullptr;
    }
    s_last_error[0] = '\0';
    return 0;
}

extern "C" VOREL_API int vorel_server_status(void) { return s_running.load(); }

extern "C" VOREL_API const char* vorel_last_error(void) { return s_last_error; }

extern "C" VOREL_API const char* vorel_version(void) { return "1.3.2"; }
