// The web server of --serve end to end, as a client sees it: the metrics in
// Prometheus' own checker and Python client, a meter that falls silent, the
// Host check, the bounds on requests, hostile clients, and the stop.
//
// The program under test is a command line, SERVE_COMMAND, given --serve,
// --watch and the meters' ports as `tolvaner --serve` takes them. Until the
// program samples real meters it is the fixture, whose meters are made up;
// Meters below is the one place that knows how they are named and silenced
// (for tolvaner: simulators' ports, and stopping a simulator).
#include "tests/support/harness.h"
#include "tests/support/pty_harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using harness::after;
using harness::Clock;

namespace {

const std::string serve_command = SERVE_COMMAND;
const std::string promtool = PROMTOOL_PATH;
const std::string python3 = PYTHON3_PATH;

// The meters served: one whose values change, one whose name needs escaping
// and whose product ID is not UTF-8, one that can be silenced.
struct Meters {
    std::vector<std::string> ports = {"meter-a", "odd\"\\meter", "meter-silent"};
    void silence(pid_t served) const { kill(served, SIGUSR1); }
};

// The program under test, serving on a free loopback port.
class Served {
  public:
    explicit Served(const std::string& address = "127.0.0.1:0", const std::string& watch = "0.2") {
        std::vector<std::string> argv = {serve_command, "--serve", address, "--watch", watch};
        argv.insert(argv.end(), meters.ports.begin(), meters.ports.end());
        pid_ = harness::start_piped(argv, in_, out_, err_);
        // The start line names where it serves: "... serving http://ADDR:PORT/".
        const std::regex start(R"(serving (http://(.*):([0-9]+)/)\n)");
        std::smatch m;
        if (std::regex_search(
                read_errors([&] { return std::regex_search(errors_, start); }, after(10s)), m,
                start)) {
            url = m[1];
            port = std::stoi(m[3]);
        }
    }
    ~Served() {
        if (pid_ > 0 && !status) {
            kill(pid_, SIGKILL);
            harness::wait_pid(pid_, after(5s));
        }
        for (int* fd : {&in_, &out_, &err_}) {
            harness::close_fd(*fd);
        }
    }
    Served(const Served&) = delete;
    Served& operator=(const Served&) = delete;

    pid_t pid() const { return pid_; }
    // Standard error so far, and up to its end or the deadline.
    std::string errors(Clock::time_point deadline) {
        return read_errors([] { return false; }, deadline);
    }
    std::optional<int> wait(Clock::time_point deadline) {
        status = harness::wait_pid(pid_, deadline);
        return status;
    }

    Meters meters;
    std::string url;
    int port = 0;
    std::optional<int> status;

  private:
    template <typename Enough>
    const std::string& read_errors(Enough enough, Clock::time_point deadline) {
        char chunk[512];
        ssize_t n = 0;
        while (!enough() && harness::readable(err_, deadline) &&
               (n = read(err_, chunk, sizeof chunk)) > 0) {
            errors_.append(chunk, static_cast<std::size_t>(n));
        }
        return errors_;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string errors_;
};

// A client socket whose sends give up after a few seconds.
int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

struct Answer {
    int status = 0; // 0: none came
    std::string head;
    std::string body;
};

// Sends `request` on a new connection and reads until the server closes it.
Answer http_exchange(int port, const std::string& request, Clock::duration limit = 5s) {
    Answer a;
    const int fd = connect_to(port);
    if (fd < 0) {
        return a;
    }
    send_all(fd, request);
    std::string all;
    const auto deadline = after(limit);
    while (harness::readable(fd, deadline)) {
        char chunk[4096];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        all.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    const std::size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) == 0 && end != std::string::npos) {
        a.status = std::stoi(all.substr(9, 3));
        a.head = all.substr(0, end + 2);
        a.body = all.substr(end + 4);
    }
    return a;
}

std::string request(const std::string& method, const std::string& path, const std::string& host,
                    const std::string& headers = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers +
           "Connection: close\r\n\r\n";
}

Answer get(const Served& s, const std::string& path, const std::string& headers = "") {
    return http_exchange(s.port,
                         request("GET", path, "127.0.0.1:" + std::to_string(s.port), headers));
}

bool python_has(const std::string& module) {
    return !python3.empty() && e2e::run({python3, "-c", "import " + module}, "").status == 0;
}

// Polls `path` until `done` holds for its body, for `limit` at most.
template <typename Done>
Answer get_until(const Served& s, const std::string& path, Done done, Clock::duration limit = 5s) {
    const auto deadline = after(limit);
    Answer a = get(s, path);
    while (!done(a.body) && Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        a = get(s, path);
    }
    return a;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Waits until every meter has answered once.
bool all_up(const Served& s) {
    const auto up = [&](const std::string& body) {
        for (const std::string& port : s.meters.ports) {
            if (port.find_first_of("\"\\") == std::string::npos && // as it is in JSON
                !has(body, "\"meter\":\"" + port + "\",\"status\":\"up\"")) {
                return false;
            }
        }
        return true;
    };
    return up(get_until(s, "/api/readings", up, 10s).body);
}

TEST(Serve, MetricsPassPromtoolCheck) {
    if (promtool.empty()) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    ASSERT_TRUE(all_up(s));
    for (int round = 0; round < 2; ++round) {
        const Answer a = get(s, "/metrics");
        ASSERT_EQ(a.status, 200);
        EXPECT_TRUE(has(a.head, "Content-Type: text/plain; version=0.0.4; charset=utf-8"))
            << a.head;
        const e2e::Run check = e2e::run({promtool, "check", "metrics"}, a.body);
        EXPECT_EQ(check.status, 0) << check.out << check.err << a.body;
        EXPECT_EQ(check.out + check.err, "") << a.body;
        // Again with a meter down.
        s.meters.silence(s.pid());
        get_until(s, "/metrics", [](const std::string& b) {
            return has(b, "tolvaner_up{meter=\"meter-silent\"} 0");
        });
    }
}

// Both formats through the Python client's parsers; the OpenMetrics one is
// strict about every rule of its format (suffixes, units, # EOF).
TEST(Serve, MetricsParsedByThePythonClient) {
    if (!python_has("prometheus_client")) {
        GTEST_SKIP() << "prometheus_client is not installed (Debian package "
                        "python3-prometheus-client)";
    }
    const char* script = R"(
import sys
from prometheus_client.parser import text_string_to_metric_families as text
from prometheus_client.openmetrics.parser import text_string_to_metric_families as om
for family in (om if sys.argv[1] == 'om' else text)(sys.stdin.read()):
    print('family', family.name, family.type, len(family.samples))
    for s in family.samples:
        if s.name == 'tolvaner_meter_info':
            print('info', s.labels['meter'], s.labels['product_id'], s.labels['output_mode'])
)";
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const struct {
        const char* format;
        const char* accept;
        const char* content_type;
        const char* counter_family;
        const char* info_family;
    } rows[] = {
        {"text", "", "text/plain; version=0.0.4", "family tolvaner_energy_joules counter 3",
         "family tolvaner_meter_info gauge 3"},
        {"om", "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n",
         "application/openmetrics-text; version=1.0.0", "family tolvaner_energy_joules counter 3",
         "family tolvaner_meter info 3"},
    };
    for (const auto& row : rows) {
        const Answer a = get(s, "/metrics", row.accept);
        ASSERT_EQ(a.status, 200);
        EXPECT_TRUE(has(a.head, row.content_type)) << a.head;
        const e2e::Run parsed = e2e::run({python3, "-c", script, row.format}, a.body);
        ASSERT_EQ(parsed.status, 0) << parsed.err << a.body;
        for (const std::string& line :
             {std::string(row.counter_family), std::string(row.info_family),
              std::string("family tolvaner_up gauge 3"),
              std::string("info odd\"\\meter T\"\\\\x80 \\x0A")}) {
            EXPECT_TRUE(has(parsed.out, line + "\n")) << row.format << ": " << line << "\n"
                                                      << parsed.out;
        }
    }
}

TEST(Serve, ASilentMeterIsDownAndShowsNoValue) {
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    ASSERT_TRUE(all_up(s));
    s.meters.silence(s.pid());
    const Answer metrics = get_until(s, "/metrics", [](const std::string& b) {
        return has(b, "tolvaner_up{meter=\"meter-silent\"} 0");
    });
    ASSERT_TRUE(has(metrics.body, "tolvaner_up{meter=\"meter-silent\"} 0")) << metrics.body;
    EXPECT_TRUE(has(metrics.body, "tolvaner_up{meter=\"meter-a\"} 1"));
    EXPECT_TRUE(has(metrics.body, "tolvaner_dac_value{meter=\"meter-a\"} "));
    for (const std::string& family : std::vector<std::string>{
             "tolvaner_meter_info", "tolvaner_dac_value", "tolvaner_energy_joules_total",
             "tolvaner_pulse_value_joules", "tolvaner_full_scale_watts",
             "tolvaner_average_interval_seconds"}) {
        EXPECT_FALSE(has(metrics.body, family + "{meter=\"meter-silent\"")) << family;
    }
    // Still counted, and when it was last good is still said.
    EXPECT_TRUE(has(metrics.body, "tolvaner_read_errors_total{meter=\"meter-silent\"} "));
    EXPECT_TRUE(
        has(metrics.body, "tolvaner_last_good_reading_timestamp_seconds{meter=\"meter-silent\"} "));

    const Answer readings = get(s, "/api/readings");
    ASSERT_EQ(readings.status, 200);
    EXPECT_TRUE(has(readings.head, "Content-Type: application/json"));
    const std::size_t at = readings.body.find("{\"meter\":\"meter-silent\"");
    ASSERT_NE(at, std::string::npos) << readings.body;
    const std::string silent = readings.body.substr(at);
    EXPECT_TRUE(has(silent, "\"status\":\"no_reply\",\"cause\":\"nothing arrived"));
    EXPECT_TRUE(has(silent, "\"product_id\":null,")) << silent;
    EXPECT_TRUE(has(silent, "\"dac_value\":null,\"kwh_value\":null}")) << silent;
}

TEST(Serve, ValuesChangeAndTheHistoryGrows) {
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const std::regex dac(R"("meter":"meter-a".*?"dac_value":([0-9]+))");
    const auto dac_of = [&](const std::string& body) {
        std::smatch m;
        return std::regex_search(body, m, dac) ? m.str(1) : std::string("none");
    };
    const std::string first = dac_of(get(s, "/api/readings").body);
    const Answer later = get_until(s, "/api/readings", [&](const std::string& b) {
        return dac_of(b) != first && dac_of(b) != "none";
    });
    EXPECT_NE(dac_of(later.body), first) << later.body;

    const auto points = [&] {
        const std::string body = get(s, "/api/history").body;
        return std::count(body.begin(), body.end(), '[') - 1; // the meters' list
    };
    const auto before = points();
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(points(), before);
}

TEST(Serve, AnswersOnlyToTheAddressItServes) {
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const std::string p = std::to_string(s.port);
    const std::string other = std::to_string(s.port == 65535 ? 1 : s.port + 1);
    const struct {
        std::string host;
        int status;
    } rows[] = {
        {"127.0.0.1:" + p, 200},
        {"localhost:" + p, 200},
        {"LocalHost:" + p, 200},
        {"[::1]:" + p, 200},
        {"127.0.0.1", 421},
        {"127.0.0.1:" + other, 421},
        {"evil.example:" + p, 421},
        {"evil.example", 421},
        {"127.0.0.2:" + p, 421},
        {"localhost.:" + p, 421},
        {"", 421},
    };
    for (const auto& row : rows) {
        const Answer a = http_exchange(s.port, request("GET", "/api/readings", row.host));
        EXPECT_EQ(a.status, row.status) << row.host;
        if (row.status == 421) {
            EXPECT_FALSE(has(a.body, "meter-a")) << row.host;
        }
    }
    // No Host at all, or two.
    EXPECT_EQ(http_exchange(s.port, "GET /metrics HTTP/1.0\r\n\r\n").status, 421);
    EXPECT_EQ(http_exchange(s.port, request("GET", "/metrics", "127.0.0.1:" + p,
                                            "Host: evil.example:" + p + "\r\n"))
                  .status,
              421);
}

TEST(Serve, ReadOnly) {
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const std::string host = "127.0.0.1:" + std::to_string(s.port);
    for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
        const Answer a = http_exchange(
            s.port, request(method, "/metrics", host, "Content-Length: 5\r\n") + "hello");
        EXPECT_EQ(a.status, 405) << method;
        EXPECT_TRUE(has(a.head, "Allow: GET, HEAD")) << method << a.head;
    }
    const Answer head = http_exchange(s.port, request("HEAD", "/metrics", host));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(get(s, "/no/such/thing").status, 404);
    const Answer page = get(s, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(has(page.head, "Content-Security-Policy: default-src 'none'; script-src 'self'"))
        << page.head;
}

TEST(Serve, OversizedRequestsAreRefused) {
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const std::string host = "127.0.0.1:" + std::to_string(s.port);
    const struct {
        const char* what;
        std::string bytes;
        int status;
    } rows[] = {
        {"a long header",
         request("GET", "/metrics", host, "X-Big: " + std::string(20000, 'x') + "\r\n"), 400},
        {"many headers",
         request("GET", "/metrics", host,
                 [] {
                     std::string h;
                     for (int i = 0; i < 2000; ++i) {
                         h += "X-" + std::to_string(i) + ": y\r\n";
                     }
                     return h;
                 }()),
         400},
        {"a long path", request("GET", "/" + std::string(12000, 'a'), host), 414},
        {"a line that never ends", "GET /" + std::string(100000, 'a'), 414},
    };
    for (const auto& row : rows) {
        const Answer a = http_exchange(s.port, row.bytes);
        EXPECT_EQ(a.status, row.status) << row.what;
    }
    EXPECT_EQ(get(s, "/metrics").status, 200);
}

// Hundreds of connections that send nothing, some that send a request a
// byte at a time and never finish, and some that ask and never read: a
// request is still answered at once, the samples keep their pace, and the
// program stops within a second of SIGTERM, with status 0.
TEST(Serve, HostileClientsDelayNeitherAnswersNorSamplesNorTheStop) {
    Served s("127.0.0.1:0", "0.1");
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const std::string host = "127.0.0.1:" + std::to_string(s.port);
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(connect_to(s.port)); // idle
    }
    for (int i = 0; i < 20; ++i) {
        clients.push_back(connect_to(s.port));
        send_all(clients.back(), "GET /metrics HTTP/1.1\r\nHost: "); // and never the rest
    }
    for (int i = 0; i < 20; ++i) {
        clients.push_back(connect_to(s.port));
        send_all(clients.back(), request("GET", "/api/history", host)); // never read
    }
    const std::regex reads(R"(tolvaner_reads_total\{meter="meter-a"\} ([0-9]+))");
    const auto reads_now = [&](Clock::duration limit) {
        const Answer a = http_exchange(s.port, request("GET", "/metrics", host), limit);
        std::smatch m;
        return std::regex_search(a.body, m, reads) ? std::stol(m.str(1)) : -1L;
    };
    const auto asked = Clock::now();
    const long first = reads_now(5s);
    EXPECT_LT(Clock::now() - asked, 1s) << "a request waited behind the hostile clients";
    ASSERT_GE(first, 0);
    std::this_thread::sleep_for(1s);
    const long second = reads_now(5s);
    // Ten samples a second were due: at least half of them came.
    EXPECT_GE(second - first, 5) << first << " then " << second;

    kill(s.pid(), SIGTERM);
    const auto stopped = s.wait(after(1s));
    const std::string errors = s.errors(after(1s));
    EXPECT_EQ(stopped, 0) << "not stopped within a second of SIGTERM, or failed:\n" << errors;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(errors, m, std::regex(R"(longest publish took ([0-9]+) us)")))
        << errors;
    // The board's lock is only ever held to copy: no client stretched a publish.
    EXPECT_LT(std::stol(m.str(1)), 100000) << errors;
    for (int fd : clients) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// The library writes an answer's head and body apart; with Nagle's algorithm
// on the server's side of the connection the body waits for the client's
// delayed acknowledgement, some 40 ms on every kept-alive request. The
// server's socket is looked at from here through a duplicate of it.
TEST(Serve, KeptAliveAnswersDoNotWaitForAcknowledgements) {
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_getfd)
    Served s;
    ASSERT_NE(s.port, 0) << s.errors(after(1s));
    const int client = connect_to(s.port);
    ASSERT_GE(client, 0);
    const std::string host = "127.0.0.1:" + std::to_string(s.port);
    send_all(client, "GET /metrics HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(harness::readable(client, after(5s)));
    sockaddr_in mine{};
    socklen_t length = sizeof mine;
    getsockname(client, reinterpret_cast<sockaddr*>(&mine), &length);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, s.pid(), 0));
    if (pidfd < 0) {
        close(client);
        GTEST_SKIP() << "pidfd_open: " << std::strerror(errno);
    }
    int nodelay = -1;
    bool found = false;
    for (int fd = 3; fd < 1024 && !found; ++fd) {
        const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
        if (copy < 0) {
            if (errno == EPERM || errno == ENOSYS) {
                close(pidfd);
                close(client);
                GTEST_SKIP() << "pidfd_getfd: " << std::strerror(errno);
            }
            continue;
        }
        sockaddr_in peer{};
        length = sizeof peer;
        if (getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && peer.sin_port == mine.sin_port) {
            found = true;
            length = sizeof nodelay;
            getsockopt(copy, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
        }
        close(copy);
    }
    close(pidfd);
    close(client);
    ASSERT_TRUE(found) << "the server's end of the connection was not found";
    EXPECT_NE(nodelay, 0);
#else
    GTEST_SKIP() << "no pidfd_getfd on this system";
#endif
}

TEST(Serve, BindsWhereItIsTold) {
    for (const std::string& address :
         std::vector<std::string>{"127.0.0.1:0", "localhost:0", "[::1]:0"}) {
        Served s(address);
        if (address == "[::1]:0" && s.port == 0) {
            continue; // no IPv6 loopback here
        }
        ASSERT_NE(s.port, 0) << address << ": " << s.errors(after(1s));
        EXPECT_EQ(s.url,
                  "http://" + address.substr(0, address.size() - 1) + std::to_string(s.port) + "/");
        if (address == "127.0.0.1:0") {
            EXPECT_EQ(get(s, "/metrics").status, 200);
        }
    }
}

} // namespace
