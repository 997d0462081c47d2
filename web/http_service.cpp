#include "web/http_service.h"

#include "web/meter_formats.h"
#include "web/page_assets.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A connection waits this long in the kernel's queue, at most, before the
// library's thread takes it; the library's own default is 5.
constexpr int listen_backlog = 128;

std::int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// An open connection and what has come in on it.
struct Connection {
    int fd = -1;
    std::string buffer;     // bytes read and not yet answered
    std::size_t head = 0;   // when whole: the request head's length at the buffer's start
    bool oversized = false; // no head end within max_request_bytes
    std::int64_t deadline_ms = 0;
    std::int32_t served = 0; // requests answered on it
};

void close_connection(Connection& connection) {
    if (connection.fd >= 0) {
        ::shutdown(connection.fd, SHUT_RDWR);
        close_fd(connection.fd);
    }
}

// Drops the empty lines a client may send between requests, then finds the
// head's end. True when the head is whole or can no longer be.
bool head_complete(Connection& c, std::size_t max_bytes) {
    std::size_t blank = 0;
    while (blank + 1 < c.buffer.size() && c.buffer[blank] == '\r' && c.buffer[blank + 1] == '\n') {
        blank += 2;
    }
    c.buffer.erase(0, blank);
    const std::size_t end = c.buffer.find("\r\n\r\n");
    if (end != std::string::npos && end + 4 <= max_bytes) {
        c.head = end + 4;
        return true;
    }
    if (c.buffer.size() >= max_bytes) {
        c.head = max_bytes;
        c.oversized = true;
        return true;
    }
    return false;
}

void address_text(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// The library reads the request from the head already in the buffer and
// answers through a socket that never blocks; waiting is bounded by the
// answer's deadline and ends at once when the service stops.
class BufferedStream final : public httplib::Stream {
  public:
    BufferedStream(Connection& connection, int stop_fd, std::int64_t deadline_ms)
        : c_(connection), stop_fd_(stop_fd), deadline_ms_(deadline_ms) {}

    bool is_readable() const override { return offset_ < c_.head; }

    bool is_writable() const override {
        pollfd p{c_.fd, POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
    }

    ssize_t read(char* ptr, size_t size) override {
        const std::size_t n = std::min(size, c_.head - offset_);
        std::memcpy(ptr, c_.buffer.data() + offset_, n);
        offset_ += n;
        return static_cast<ssize_t>(n); // 0 past the head: its end, as far as the library sees
    }

    ssize_t write(const char* ptr, size_t size) override {
        while (!failed_) {
            const ssize_t n = ::send(c_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                return n;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                break;
            }
            const std::int64_t left = deadline_ms_ - monotonic_ms();
            if (left <= 0) {
                break;
            }
            pollfd p[2] = {{c_.fd, POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
            if (::poll(p, 2, static_cast<int>(std::min<std::int64_t>(left, 1000))) < 0 &&
                errno != EINTR) {
                break;
            }
            if (p[1].revents != 0) {
                break;
            }
        }
        failed_ = true;
        return -1;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getpeername(c_.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            address_text(address, length, ip, port);
        }
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockname(c_.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            address_text(address, length, ip, port);
        }
    }

    socket_t socket() const override { return c_.fd; }

    bool failed() const { return failed_; }

  private:
    Connection& c_;
    int stop_fd_;
    std::int64_t deadline_ms_;
    std::size_t offset_ = 0;
    bool failed_ = false;
};

// The library's thread hands every accepted socket over at once.
class HandOver final : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// Whether a bound address is a loopback address, or every address.
void classify(const sockaddr_storage& address, bool& loopback, bool& any) {
    loopback = false;
    any = false;
    if (address.ss_family == AF_INET) {
        sockaddr_in a{};
        std::memcpy(&a, &address, sizeof a);
        loopback = (ntohl(a.sin_addr.s_addr) >> 24) == 127;
        any = a.sin_addr.s_addr == htonl(INADDR_ANY);
    } else if (address.ss_family == AF_INET6) {
        sockaddr_in6 a{};
        std::memcpy(&a, &address, sizeof a);
        loopback = IN6_IS_ADDR_LOOPBACK(&a.sin6_addr) != 0;
        any = IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr) != 0;
    }
}

bool is_loopback_text(const std::string& ip) { return ip.rfind("127.", 0) == 0 || ip == "::1"; }

} // namespace

struct HttpServer final : httplib::Server {
    HttpServer(const ServeConfig& c, MeterBoard& b) : config(c), board(b) {
        new_task_queue = [] { return new HandOver; };
    }

    ~HttpServer() override {
        for (int* pipe : {stop_pipe, wake_pipe}) {
            close_fd(pipe[0]);
            close_fd(pipe[1]);
        }
    }

    bool open_pipes() {
        return pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) == 0 &&
               pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
    }

    // Once bound: a deeper queue of connections than the library's, and the
    // Host headers that name this server.
    void bound(std::int32_t bound_port) {
        port = bound_port;
        ::listen(svr_sock_, listen_backlog);
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        getsockname(svr_sock_, reinterpret_cast<sockaddr*>(&address), &length);
        bool loopback = false;
        classify(address, loopback, any_address);
        char text[300];
        serve_address_text(config, port, text, sizeof text);
        hosts.push_back(lower(text));
        if (loopback) {
            for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
                hosts.push_back(std::string(name) + ":" + std::to_string(port));
            }
        }
        if (port == 80) {
            const std::size_t count = hosts.size();
            for (std::size_t i = 0; i < count; ++i) {
                hosts.push_back(hosts[i].substr(0, hosts[i].size() - 3));
            }
        }
    }

    bool host_allowed(const httplib::Request& req) const {
        if (req.get_header_value_count("Host") != 1) {
            return false; // none, or one to check and another to use
        }
        const std::string host = lower(req.get_header_value("Host"));
        if (std::find(hosts.begin(), hosts.end(), host) != hosts.end()) {
            return true;
        }
        if (!any_address) {
            return false;
        }
        // Bound to every address: the one this request came in on.
        std::string local = req.local_addr;
        if (local.rfind("::ffff:", 0) == 0 && local.find('.') != std::string::npos) {
            local.erase(0, 7);
        }
        const std::string suffix = port == 80 ? "" : ":" + std::to_string(port);
        const std::string literal =
            (local.find(':') != std::string::npos ? "[" + local + "]" : local) + suffix;
        if (host == lower(literal) || host == lower(literal) + ":80") {
            return true;
        }
        return is_loopback_text(local) &&
               (host == "localhost" + suffix || host == "127.0.0.1" + suffix ||
                host == "[::1]" + suffix);
    }

    // As the library's stop(), also before its loop has begun.
    void halt() {
        const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
        if (sock != INVALID_SOCKET) {
            ::shutdown(sock, SHUT_RDWR);
            ::close(sock);
        }
    }

    void routes();
    void run_reception();
    void run_worker();
    bool answer(Connection& c);
    void hand_to_reception(Connection&& c);

    ServeConfig config;
    MeterBoard& board;
    std::int32_t port = 0;
    std::vector<std::string> hosts; // lower case, as Host headers name this server
    bool any_address = false;

    int stop_pipe[2] = {-1, -1}; // readable once the service stops
    int wake_pipe[2] = {-1, -1}; // tells the reception of new arrivals
    std::atomic<bool> stopping{false};

    std::mutex arrivals_lock;
    std::vector<Connection> arrivals; // for the reception: accepted, or kept alive
    std::mutex ready_lock;
    std::condition_variable ready_signal;
    std::deque<Connection> ready; // heads whole, for the workers

    std::thread listener;
    std::thread reception;
    std::vector<std::thread> workers;

  private:
    // Called by the library's thread for each accepted socket.
    bool process_and_close_socket(socket_t sock) override {
        // The library writes an answer's head and its body apart: with
        // Nagle's algorithm the body would wait for the client's delayed
        // acknowledgement of the head, some 40 ms, on every kept-alive
        // request.
        const int nodelay = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
        Connection c;
        c.fd = sock;
        c.deadline_ms = monotonic_ms() + config.request_timeout_ms;
        if (stopping) {
            close_connection(c);
            return false;
        }
        hand_to_reception(std::move(c));
        return true;
    }
};

void HttpServer::hand_to_reception(Connection&& c) {
    {
        const std::lock_guard<std::mutex> hold(arrivals_lock);
        arrivals.push_back(std::move(c));
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_pipe[1], &byte, 1); // full: already awake
}

void HttpServer::run_reception() {
    const auto max_bytes = static_cast<std::size_t>(config.max_request_bytes);
    std::vector<Connection> held;
    std::vector<pollfd> fds;
    char chunk[4096];
    const auto pass_on = [&](Connection&& c) {
        const std::lock_guard<std::mutex> hold(ready_lock);
        ready.push_back(std::move(c));
        ready_signal.notify_one();
    };
    while (!stopping) {
        std::vector<Connection> incoming;
        {
            const std::lock_guard<std::mutex> hold(arrivals_lock);
            incoming.swap(arrivals);
        }
        for (Connection& c : incoming) {
            std::size_t in_ready = 0;
            {
                const std::lock_guard<std::mutex> hold(ready_lock);
                in_ready = ready.size();
            }
            if (held.size() + in_ready >= static_cast<std::size_t>(config.max_connections)) {
                if (held.empty()) {
                    close_connection(c); // every place is taken by a request being answered
                    continue;
                }
                auto oldest = std::min_element(held.begin(), held.end(), [](auto& a, auto& b) {
                    return a.deadline_ms < b.deadline_ms;
                });
                close_connection(*oldest);
                held.erase(oldest);
            }
            if (!c.buffer.empty() && head_complete(c, max_bytes)) {
                pass_on(std::move(c)); // the next request came with the last one
            } else {
                held.push_back(std::move(c));
            }
        }

        const std::int64_t now = monotonic_ms();
        std::int64_t wait = 1000;
        fds.assign({{stop_pipe[0], POLLIN, 0}, {wake_pipe[0], POLLIN, 0}});
        for (const Connection& c : held) {
            fds.push_back({c.fd, POLLIN, 0});
            wait = std::min(wait, std::max<std::int64_t>(0, c.deadline_ms - now));
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            while (::read(wake_pipe[0], chunk, sizeof chunk) > 0) {
            }
        }
        const std::int64_t then = monotonic_ms();
        std::vector<Connection> still;
        for (std::size_t i = 0; i < held.size(); ++i) {
            Connection& c = held[i];
            if (fds[i + 2].revents != 0) {
                const std::size_t room = max_bytes - std::min(max_bytes, c.buffer.size());
                const ssize_t n = ::recv(c.fd, chunk, std::min(room, sizeof chunk), MSG_DONTWAIT);
                if (n > 0) {
                    c.buffer.append(chunk, static_cast<std::size_t>(n));
                    if (head_complete(c, max_bytes)) {
                        pass_on(std::move(c));
                        continue;
                    }
                } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    close_connection(c); // gone before its request was whole
                    continue;
                }
            }
            if (then >= c.deadline_ms) {
                close_connection(c); // too slow, or idle
                continue;
            }
            still.push_back(std::move(c));
        }
        held.swap(still);
    }
    for (Connection& c : held) {
        close_connection(c);
    }
}

void HttpServer::run_worker() {
    for (;;) {
        Connection c;
        {
            std::unique_lock<std::mutex> hold(ready_lock);
            ready_signal.wait(hold, [&] { return stopping || !ready.empty(); });
            if (stopping) {
                return;
            }
            c = std::move(ready.front());
            ready.pop_front();
        }
        if (answer(c) && !stopping) {
            c.deadline_ms = monotonic_ms() + config.request_timeout_ms;
            hand_to_reception(std::move(c));
        } else {
            close_connection(c);
        }
    }
}

// Answers the request at the head of the buffer; true when the connection
// stays open for another.
bool HttpServer::answer(Connection& c) {
    BufferedStream stream(c, stop_pipe[0], monotonic_ms() + config.response_timeout_ms);
    const bool last = c.oversized || c.served + 1 >= config.keep_alive_requests || stopping;
    bool parsed = false;
    bool may_keep = true;
    bool closed = false;
    const bool ok = process_request(stream, last, closed, [&](httplib::Request& req) {
        parsed = true;
        // A body is never read, so that nothing after it can be taken
        // for the next request.
        const std::string length = req.get_header_value("Content-Length");
        may_keep = (req.method == "GET" || req.method == "HEAD") &&
                   (length.empty() || length == "0") && !req.has_header("Transfer-Encoding");
    });
    ++c.served;
    c.buffer.erase(0, c.head);
    c.head = 0;
    return ok && parsed && may_keep && !closed && !last && !stream.failed();
}

void HttpServer::routes() {
    set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
         "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    });
    set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!host_allowed(req)) {
            res.status = 421;
            res.set_content("421 Misdirected Request: this server answers only requests "
                            "whose Host is the address it serves\n",
                            "text/plain; charset=utf-8");
            return HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("405 Method Not Allowed: this server is read-only\n",
                            "text/plain; charset=utf-8");
            return HandlerResponse::Handled;
        }
        return HandlerResponse::Unhandled;
    });
    set_payload_max_length(1024); // no body is read; this bounds it all the same
    // What the library says in its Keep-Alive header; the front keeps it.
    set_keep_alive_max_count(static_cast<std::size_t>(std::max(1, config.keep_alive_requests)));
    set_keep_alive_timeout(std::max(1, config.request_timeout_ms / 1000));
    set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) {
            res.set_content(std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
        }
    });

    for (int i = 0; i < page_asset_count; ++i) {
        const PageAsset& asset = page_assets[i];
        Get(asset.path, [&asset](const httplib::Request&, httplib::Response& res) {
            res.set_content(asset.body, asset.size, asset.content_type);
        });
    }
    Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
        MeterState meters[board_max_meters];
        const int count = board_copy_all(board, meters, board_max_meters);
        const MetricsFormat format = metrics_format_for(
            req.has_header("Accept") ? req.get_header_value("Accept").c_str() : nullptr);
        std::string body;
        render_metrics(body, meters, count, format);
        res.set_header("Vary", "Accept");
        res.set_content(body, metrics_content_type(format));
    });
    Get("/api/readings", [this](const httplib::Request&, httplib::Response& res) {
        MeterState meters[board_max_meters];
        const int count = board_copy_all(board, meters, board_max_meters);
        std::string body;
        render_readings_json(body, meters, count, wall_ms());
        res.set_content(body, "application/json");
    });
    Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
        std::int64_t since = 0;
        if (req.has_param("since")) {
            since = std::strtoll(req.get_param_value("since").c_str(), nullptr, 10);
        }
        MeterState meters[board_max_meters];
        const int count = board_copy_all(board, meters, board_max_meters);
        std::vector<HistoryPoint> points(static_cast<std::size_t>(count) * board_history_capacity);
        MeterPoints parts[board_max_meters];
        for (int m = 0; m < count; ++m) {
            HistoryPoint* mine =
                points.data() + static_cast<std::size_t>(m) * board_history_capacity;
            parts[m] = {&meters[m], mine,
                        board_copy_history(board, m, since, mine, board_history_capacity)};
        }
        std::string body;
        render_history_json(body, parts, count, since, wall_ms());
        res.set_content(body, "application/json");
    });
}

bool http_service_start(HttpService& service, const ServeConfig& config, MeterBoard& board,
                        char* why, int why_capacity) {
    char address[300];
    serve_address_text(config, config.port, address, sizeof address);
    if (service.server != nullptr) {
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s: already serving", address);
        return false;
    }
    // Resolved here first, for a message that says what went wrong.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(config.host, nullptr, &hints, &found);
    if (resolved != 0) {
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s: %s", config.host,
                      gai_strerror(resolved));
        return false;
    }
    freeaddrinfo(found);

    // The library's server ignores SIGPIPE for the whole process; its
    // answers here are sent with MSG_NOSIGNAL instead, so the program keeps
    // its own disposition (a closed standard output ends it).
    struct sigaction pipe_action {};
    sigaction(SIGPIPE, nullptr, &pipe_action);
    auto* server = new HttpServer(config, board);
    sigaction(SIGPIPE, &pipe_action, nullptr);

    int port = config.port;
    errno = 0;
    const bool bound =
        server->open_pipes() && (port == 0 ? (port = server->bind_to_any_port(config.host)) > 0
                                           : server->bind_to_port(config.host, port));
    if (!bound) {
        const int error = errno;
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s: %s", address,
                      error != 0 ? std::strerror(error) : "cannot listen there");
        delete server;
        return false;
    }
    server->bound(port);
    server->routes();
    server->reception = std::thread([server] { server->run_reception(); });
    for (int i = 0; i < std::max(1, config.workers); ++i) {
        server->workers.emplace_back([server] { server->run_worker(); });
    }
    server->listener = std::thread([server] { server->listen_after_bind(); });
    service.server = server;
    // Until the library's loop runs, stop() would not reach it.
    for (int i = 0; i < 2000 && !server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!server->is_running()) {
        http_service_stop(service);
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s: the server did not start",
                      address);
        return false;
    }
    service.port = port;
    char text[280];
    serve_address_text(config, port, text, sizeof text);
    std::snprintf(service.url, sizeof service.url, "http://%s/", text);
    return true;
}

void http_service_stop(HttpService& service) {
    HttpServer* server = service.server;
    if (server == nullptr) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(server->ready_lock);
        server->stopping = true;
        server->ready_signal.notify_all();
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(server->stop_pipe[1], &byte, 1);
    server->halt();
    for (std::thread* t : {&server->listener, &server->reception}) {
        if (t->joinable()) {
            t->join();
        }
    }
    for (std::thread& t : server->workers) {
        t.join();
    }
    for (Connection& c : server->ready) {
        close_connection(c);
    }
    for (Connection& c : server->arrivals) {
        close_connection(c);
    }
    delete server;
    service.server = nullptr;
    service.port = 0;
    service.url[0] = '\0';
}
