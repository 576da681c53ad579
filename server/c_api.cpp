// c_api.cpp — the exported C interface. It holds the one Server instance of the
// process; every function takes the server lock once for its whole call (start
// and stop manage it themselves), catches everything, and turns a failure into
// its documented failure value with vorel_last_error() set ("out of memory" for
// an allocation failure), so no exception ever reaches the host.
#include <cstdio>
#include <new>
#include <string>

#include "server/host_api.h"
#include "server/lifecycle.h"
#include "server/server.h"
#include "vorel.h"

namespace {

// Text handed to the host: each function's result stays valid until its next call.
struct HostBuffers {
    std::string keys_json = "[]";
    std::string stats_json = "{}";
    std::string key_info;
    std::string value;
};

Server& the_server() {
    static Server server;
    return server;
}

HostBuffers& host_buffers() {
    static HostBuffers buffers;
    return buffers;
}

// Runs body; on any exception records why and returns the failure value.
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        the_server().last_error.set("out of memory");
    } catch (...) {
        the_server().last_error.set("internal error");
    }
    return failure;
}

}  // namespace

extern "C" VOREL_API int vorel_server_start(int port, const char* password, int maxmemory_mb,
                                            const char* persist_file) {
    return guarded(-1, [&] { return server_start(the_server(), port, password, maxmemory_mb, persist_file); });
}

extern "C" VOREL_API int vorel_server_stop(void) {
    return guarded(0, [] {
        server_stop(the_server());
        return 0;
    });
}

extern "C" VOREL_API int vorel_server_status(void) { return the_server().running.load(); }

extern "C" VOREL_API const char* vorel_last_error(void) {
    // A copy per calling thread: another thread's failure cannot change the text
    // while this caller reads it.
    static thread_local std::string text;
    try {
        text = the_server().last_error.get();
    } catch (...) {
        return "out of memory";
    }
    return text.c_str();
}

extern "C" VOREL_API int vorel_config_set(const char* name, const char* value) {
    if (name == nullptr || value == nullptr) return -1;
    return guarded(-1, [&] {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        return srv.set_config(name, value) ? 0 : -1;
    });
}

extern "C" VOREL_API const char* vorel_version(void) { return "1.3.2"; }

extern "C" VOREL_API const char* vorel_get_keys_json(const char* pattern) {
    return guarded<const char*>("[]", [&]() -> const char* {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        if (srv.keyspace == nullptr) return "[]";
        host_buffers().keys_json = host_keys_json(srv, pattern);
        return host_buffers().keys_json.c_str();
    });
}

extern "C" VOREL_API const char* vorel_key_info(const char* key) {
    if (key == nullptr) return "";
    return guarded<const char*>("", [&]() -> const char* {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        if (srv.keyspace == nullptr) return "none 0";
        char text[256];
        std::snprintf(text, sizeof(text), "%s %d", dict_type_name(srv.keyspace, key),
                      static_cast<int>(dict_key_count(srv.keyspace, key)));
        host_buffers().key_info = text;
        return host_buffers().key_info.c_str();
    });
}

extern "C" VOREL_API const char* vorel_get_value(const char* key) {
    if (key == nullptr) return nullptr;
    return guarded<const char*>(nullptr, [&]() -> const char* {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        if (srv.keyspace == nullptr) return nullptr;
        std::string_view v;
        if (dict_get_string(srv.keyspace, key, &v) != DictStatus::Ok) return nullptr;
        host_buffers().value.assign(v);
        return host_buffers().value.c_str();
    });
}

extern "C" VOREL_API int vorel_set_value(const char* key, const char* value, int ttl_seconds) {
    if (key == nullptr || value == nullptr) {
        the_server().last_error.set("Invalid key or value parameter");
        return -1;
    }
    return guarded(-1, [&] {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        return host_set_value(srv, key, value, ttl_seconds);
    });
}

extern "C" VOREL_API int vorel_del_key(const char* key) {
    if (key == nullptr) return 0;
    return guarded(-1, [&] {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        return host_del_key(srv, key);
    });
}

extern "C" VOREL_API const char* vorel_get_stats_json(void) {
    return guarded<const char*>("{}", [&]() -> const char* {
        Server& srv = the_server();
        ServerLock lock(srv.lock);
        host_buffers().stats_json = host_stats_json(srv);
        return host_buffers().stats_json.c_str();
    });
}
