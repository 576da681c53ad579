// http.h — the HTTP front end's entry points for the connection loop, and its
// parameter decoders (shared with tests).
#pragma once

#include <string>
#include <string_view>

struct Client;
struct Server;

// True when buffered input starts like a request this front end serves.
bool http_request_start(const char* buf, size_t avail);
// Answers one complete request and marks the connection to close after the
// response. False while the request is incomplete (nothing consumed).
bool http_handle(Server& srv, Client* c, const char* buf, size_t avail);
// "name=value" from a query string or form body, percent- and plus-decoded.
bool http_query_param(std::string_view params, std::string_view name, std::string* out);
// A string field of a JSON body, with its escapes decoded.
bool http_json_field(std::string_view body, std::string_view name, std::string* out);
