// Where `--serve` listens and the bounds it keeps, and the parser of its
// argument, [ADDR:]PORTNUMBER. Built everywhere, with or without the web
// server, so that the command line reads the same on every system.
#pragma once

#include <cstdint>

struct ServeConfig {
    // The address to bind, without brackets: an IPv4 address, an IPv6
    // address, or a host name (bound to the first address it resolves to).
    char host[256] = "127.0.0.1";
    bool host_is_ipv6 = false; // given in brackets; written back in them
    // 1 to 65535; 0 takes any free port (the one taken is reported).
    std::int32_t port = 0;

    // Threads that answer requests whose head has come in whole.
    std::int32_t workers = 4;
    // Connections held open while their request comes in (or, kept alive,
    // while the next one does). One more closes the one that waited longest.
    std::int32_t max_connections = 64;
    // A request line and its headers, at most; a longer request is refused.
    std::int32_t max_request_bytes = 16384;
    // A whole request head must come within this, counted from the
    // connection (or from the answer before it on a kept-alive connection).
    std::int32_t request_timeout_ms = 5000;
    // The client must take a whole answer within this.
    std::int32_t response_timeout_ms = 5000;
    // Requests on one connection, at most.
    std::int32_t keep_alive_requests = 100;
};

// Reads `text`, [ADDR:]PORTNUMBER, into `config`'s host and port; the host
// stays as it is when only a port number is given. ADDR is an IPv4 address
// (0.0.0.0 for all), an IPv6 address in brackets ([::1], [::] for all), or a
// host name. On a refusal, false with a message (no trailing newline, naming
// the text) in `why`, and `config` unchanged.
bool serve_address_parse(const char* text, ServeConfig& config, char* why, int why_capacity);

// `config`'s address as a client writes it in a URL or a Host header:
// 127.0.0.1:9101, [::1]:9101, meterbox:9101. Returns its length.
int serve_address_text(const ServeConfig& config, std::int32_t port, char* out, int capacity);
