// metrics.h — the server's figures for monitoring: the scrape text of GET
// /metrics, the slow log as JSON for the dashboard, and live counts they share with INFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Server;

// Clients parked by a blocking command.
int blocked_client_count(const Server& srv);
// Input buffer capacity plus unsent replies, over every client.
uint64_t client_buffer_bytes(const Server& srv);
// The text exposition format: "# HELP" and "# TYPE" lines, then one sample per line.
std::string metrics_text(Server& srv);
// The newest `max` slow log entries as a JSON array of objects.
std::string slowlog_json(const Server& srv, size_t max);
// The self-contained live dashboard page (dashboard.cpp).
std::string_view dashboard_page();
