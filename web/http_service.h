// The web server of `--serve`: /metrics (Prometheus text format or
// OpenMetrics), /api/readings and /api/history (JSON) and a page for a person
// at /, all made from copies of a MeterBoard. Built only where cpp-httplib is
// found (CMake then defines TOLVANER_HAVE_HTTP).
//
// HTTP itself (parsing, routing, answers, compression) is cpp-httplib's.
// What comes in is held by a front of this file's own, so that nothing a
// client does can hold a thread for long or grow without bound:
//  - The library's thread accepts; it never waits on a client.
//  - One reception thread holds every open connection (at most
//    max_connections; a new one beyond closes the one that waited longest)
//    and reads each request head into a buffer of at most max_request_bytes,
//    without a thread per connection: idle or trickling clients cost one
//    buffer each and are closed at request_timeout_ms.
//  - `workers` threads answer requests whose head has come in whole, so
//    they never wait for a client to send; an answer must be taken within
//    response_timeout_ms. A kept-alive connection goes back to the reception.
//  - Only GET and HEAD are answered (anything else: 405); a request body is
//    never read. A request whose Host header is not the address served is
//    refused with 421, so that a page elsewhere cannot read the meters by
//    DNS rebinding: the address:port bound, and when bound to a loopback
//    address also localhost:port, 127.0.0.1:port and [::1]:port; when bound
//    to all addresses (0.0.0.0, [::]), the address the request came in on.
//  - The board's lock is held only to copy from it, never during I/O, so
//    that no client can delay a sample.
//  - Stopping wakes every thread at once: http_service_stop returns within
//    a second, whatever the clients do.
#pragma once

#include "board/meter_board.h"
#include "web/serve_config.h"

#include <cstdint>

struct HttpServer; // the library's server and the front (http_service.cpp)

struct HttpService {
    HttpServer* server = nullptr; // nullptr while stopped
    std::int32_t port = 0;        // the port bound: the one asked for, or the free one taken
    char url[300] = "";           // http://127.0.0.1:9101/, to be shown on start
};

// Binds config.host:config.port and starts serving `board`, which must
// outlive the service, on threads of the service's own. Returns at once,
// serving; or false with the reason in `why` (no trailing newline), such as
// "127.0.0.1:80: Permission denied" or "meterbox: no such host", and
// nothing started.
bool http_service_start(HttpService& service, const ServeConfig& config, MeterBoard& board,
                        char* why, int why_capacity);

// Closes the listening socket and every connection, and joins every thread
// of the service; returns within a second. Nothing happens if it is not
// running.
void http_service_stop(HttpService& service);
