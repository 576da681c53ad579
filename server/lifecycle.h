// lifecycle.h — starting and stopping the server the C boundary holds.
#pragma once

struct Server;

// Replays the log, opens the port and starts the worker. 0 running, -1 failure
// with the reason in srv.last_error. The host serialises start and stop.
int server_start(Server& srv, int port, const char* password, int maxmemory_mb, const char* persist_file);
// Waits for the worker, closes every connection and the log, drops the keyspace.
void server_stop(Server& srv);
