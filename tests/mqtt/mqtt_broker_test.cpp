// The publisher against a real broker: Debian's mosquitto on a loopback port
// of its own, fed by the fixture in the place of the sampler (two meters, one
// sample every 200 ms), watched by mosquitto_sub, which shows each message's
// retain flag as the publisher set it.
#include "tests/support/harness.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace harness;

const std::string status_topic = "tolvaner/status/usb_fix-0a";
constexpr int period_ms = 200;

// The first tool of the suite that is not there, with its package; "" when
// all are.
std::string missing_tool() {
    const std::pair<const char*, const char*> tools[] = {
        {MOSQUITTO_PATH, "mosquitto"},
        {MOSQUITTO_PASSWD_PATH, "mosquitto_passwd"},
        {MOSQUITTO_SUB_PATH, "mosquitto_sub"},
        {MOSQUITTO_PUB_PATH, "mosquitto_pub"},
        {OPENSSL_PATH, "openssl"},
        {PYTHON3_PATH, "python3"}};
    for (const auto& [path, name] : tools) {
        if (path[0] == '\0') {
            return std::string(name) + " is not there (Debian packages mosquitto, "
                                       "mosquitto-clients, openssl, python3)";
        }
    }
    return "";
}

// Each test of the suite needs the broker and its tools.
class MqttBroker : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = missing_tool(); !why.empty()) {
            GTEST_SKIP() << why;
        }
    }
};

int run(const std::vector<std::string>& argv, const std::string& log) {
    const pid_t pid = start_logged(argv, log);
    const std::optional<int> status = wait_pid(pid, after(20s));
    if (!status) {
        kill(pid, SIGKILL);
        wait_pid(pid, after(5s));
    }
    return status.value_or(-1);
}

// A port the kernel has just handed out; the broker may still lose it to
// another program before it binds it, so starting is tried again.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

struct Broker {
    TempDir dir;
    std::string settings = "allow_anonymous true\n"; // beside the listener
    int port = 0;
    pid_t pid = -1;

    ~Broker() { kill_now(); }
    std::string file(const char* name) const { return dir.path() + "/" + name; }
    std::string url(const char* scheme = "mqtt://", const char* user = "") const {
        return scheme + std::string(user) + "127.0.0.1:" + std::to_string(port);
    }
    bool start(bool same_port = false) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = same_port ? port : free_port();
            // Run by root, the broker would become the user mosquitto and
            // lose the files of this private folder.
            std::ofstream(file("broker.conf"))
                << "listener " << port << " 127.0.0.1\npersistence false\n"
                << (geteuid() == 0 ? "user root\n" : "") << settings;
            pid = start_logged({MOSQUITTO_PATH, "-c", file("broker.conf")}, file("broker.log"));
            for (const auto deadline = after(5s); Clock::now() < deadline && pid > 0;) {
                if (accepts(port)) {
                    return true;
                }
                pid = wait_pid(pid, Clock::now()) ? -1 : pid;
                std::this_thread::sleep_for(20ms);
            }
            kill_now();
        }
        return false;
    }
    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            wait_pid(pid, after(5s));
            pid = -1;
        }
    }
};

// Every message as "RETAIN TOPIC PAYLOAD", RETAIN as the publisher set it.
struct Subscriber {
    Process process;
    std::vector<std::string> lines;

    explicit Subscriber(const Broker& broker, std::vector<std::string> options = {})
        : process(with(broker, std::move(options))) {}
    static std::vector<std::string> with(const Broker& broker, std::vector<std::string> options) {
        std::vector<std::string> argv = {MOSQUITTO_SUB_PATH,
                                         "-h",
                                         "127.0.0.1",
                                         "-p",
                                         std::to_string(broker.port),
                                         "-V",
                                         "5",
                                         "--retain-as-published",
                                         "-F",
                                         "%r %t %p",
                                         "-t",
                                         "tolvaner/#",
                                         "-t",
                                         "homeassistant/#"};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }
    // Takes the next message, if one comes before the deadline.
    bool take(Clock::time_point deadline) {
        const std::string line = process.read_line(deadline);
        if (line.empty()) {
            return false;
        }
        lines.push_back(line.substr(0, line.size() - (line.back() == '\n' ? 1 : 0)));
        return true;
    }
    // Takes messages until one begins with `wanted` (true) or `within` has
    // passed (false).
    bool wait_for(const std::string& wanted, Clock::duration within = 5s) {
        for (const auto deadline = after(within); take(deadline);) {
            if (lines.back().rfind(wanted, 0) == 0) {
                return true;
            }
        }
        return false;
    }
    // The same until each of `wanted` has begun a message.
    bool wait_for_all(const std::vector<std::string>& wanted, Clock::duration within) {
        const auto deadline = after(within);
        for (;;) {
            bool all = true;
            for (const std::string& w : wanted) {
                all = all && count(w) > 0;
            }
            if (all || !take(deadline)) {
                return all;
            }
        }
    }
    int count(const std::string& prefix, std::size_t from = 0) const {
        int n = 0;
        for (std::size_t i = from; i < lines.size(); ++i) {
            n += lines[i].rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
};

struct Fixture {
    Process process;

    explicit Fixture(std::vector<std::string> options)
        : process([&] {
              options.insert(options.begin(), {FIXTURE_PATH, std::to_string(period_ms)});
              return options;
          }()) {}
    bool ready() { return process.read_line(after(5s)) == "ready\n"; }
    void tell(const std::string& command) { process.send(command + "\n"); }
    // Ends it as a program ends: the longest a sample took to reach the
    // board, in ms; -1 when it did not end.
    int quit() {
        tell("quit");
        const std::string line = process.read_line(after(5s));
        return process.wait(after(5s)) == 0 && line.rfind("slowest_feed_ms ", 0) == 0
                   ? std::atoi(line.c_str() + 16)
                   : -1;
    }
};

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(MqttBroker, TopicsPayloadsAndRetainedFlags) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Fixture fixture({"--mqtt", broker.url()});
    ASSERT_TRUE(fixture.ready());
    Subscriber sub(broker);
    for (int sample = 0; sample < 4; ++sample) {
        ASSERT_TRUE(sub.wait_for("0 tolvaner/fix-0a/kwh_value"));
    }
    fixture.tell("set 1 pulse_value 2000");
    ASSERT_TRUE(sub.wait_for("1 tolvaner/ttyfix1/pulse_value 2000"));
    ASSERT_TRUE(sub.wait_for("0 tolvaner/ttyfix1/kwh_value"));
    EXPECT_GE(fixture.quit(), 0);
    ASSERT_TRUE(sub.wait_for("1 " + status_topic + " offline", 3s));

    // Identity and settings retained, each once, and again only when changed;
    // the live values at each sample, not retained.
    const std::map<std::string, std::string> retained = {
        {"product_id", "TV10"}, {"code_revision", "7"}, {"pulse_value", "1000"},
        {"full_scale", "4"},    {"output_mode", "I"},   {"average_interval", "3"}};
    std::map<std::string, std::string> sent;
    std::map<std::string, int> kwh;
    for (const std::string& line : sub.lines) {
        const std::size_t space = line.find(' ', 2);
        const std::string retain = line.substr(0, 1), topic = line.substr(2, space - 2);
        const std::string payload = line.substr(space + 1);
        const std::string meter = topic.substr(9, topic.find('/', 9) - 9);
        const std::string key = topic.substr(topic.rfind('/') + 1);
        SCOPED_TRACE(line);
        if (topic == status_topic || key == "availability") {
            EXPECT_EQ(retain, "1");
            EXPECT_TRUE(payload == "online" || payload == "offline");
            continue;
        }
        EXPECT_TRUE(meter == "fix-0a" || meter == "ttyfix1");
        if (key == "dac_value" || key == "kwh_value") {
            EXPECT_EQ(retain, "0");
            if (key == "kwh_value") {
                EXPECT_GT(std::atoi(payload.c_str()), kwh[meter]);
                kwh[meter] = std::atoi(payload.c_str());
            }
            continue;
        }
        EXPECT_EQ(retain, "1");
        ASSERT_EQ(retained.count(key), 1u);
        sent[topic] += payload + " ";
    }
    EXPECT_GE(kwh["fix-0a"], 104);
    EXPECT_EQ(sent.size(), 12u);
    for (const auto& [key, value] : retained) {
        EXPECT_EQ(sent["tolvaner/fix-0a/" + key], value + " ");
        EXPECT_EQ(sent["tolvaner/ttyfix1/" + key],
                  key == "pulse_value" ? "1000 2000 " : value + " ");
    }
    EXPECT_EQ(sub.count("1 tolvaner/fix-0a/availability offline"), 1);
    EXPECT_EQ(sub.count("1 tolvaner/ttyfix1/availability offline"), 1);
}

TEST_F(MqttBroker, DiscoveryFitsHomeAssistantAndComesAgainWhenItStarts) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Fixture fixture({"--mqtt", broker.url(), "--mqtt-discovery"});
    ASSERT_TRUE(fixture.ready());
    Subscriber sub(broker);
    const auto configs = [&] { return sub.count("1 homeassistant/sensor/"); };
    while (configs() < 16 && sub.wait_for("1 homeassistant/sensor/", 5s)) {
    }
    ASSERT_EQ(configs(), 16);
    std::ofstream lines(broker.file("configs"));
    for (const std::string& line : sub.lines) {
        if (line.rfind("1 homeassistant/", 0) == 0) {
            lines << line << "\n";
        }
    }
    lines.close();
    EXPECT_EQ(run({PYTHON3_PATH, DISCOVERY_CHECK, broker.file("configs"), "homeassistant",
                   status_topic, "fix-0a", "ttyfix1"},
                  broker.file("check.log")),
              0)
        << std::ifstream(broker.file("check.log")).rdbuf();

    ASSERT_EQ(run({MOSQUITTO_PUB_PATH, "-h", "127.0.0.1", "-p", std::to_string(broker.port), "-t",
                   "homeassistant/status", "-m", "online"},
                  broker.file("pub.log")),
              0);
    while (configs() < 32 && sub.wait_for("1 homeassistant/sensor/", 3s)) {
    }
    EXPECT_EQ(configs(), 32);
}

TEST_F(MqttBroker, SilentMeterGoesOfflineAndPublishesNothing) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Fixture fixture({"--mqtt", broker.url()});
    ASSERT_TRUE(fixture.ready());
    Subscriber sub(broker);
    ASSERT_TRUE(sub.wait_for("0 tolvaner/fix-0a/kwh_value"));
    fixture.tell("silent 0");
    ASSERT_TRUE(sub.wait_for("1 tolvaner/fix-0a/availability offline"));
    const std::size_t silent = sub.lines.size();
    sub.wait_for("none", 7 * std::chrono::milliseconds(period_ms));
    EXPECT_EQ(sub.count("0 tolvaner/fix-0a/", silent) + sub.count("1 tolvaner/fix-0a/", silent), 0);
    EXPECT_GE(sub.count("0 tolvaner/ttyfix1/kwh_value", silent), 3);
    fixture.tell("up 0");
    ASSERT_TRUE(sub.wait_for("1 tolvaner/fix-0a/availability online"));
    EXPECT_TRUE(sub.wait_for("0 tolvaner/fix-0a/kwh_value"));
}

TEST_F(MqttBroker, WillSaysTheProgramIsOfflineWhenItIsKilled) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Fixture fixture({"--mqtt", broker.url()});
    ASSERT_TRUE(fixture.ready());
    Subscriber sub(broker);
    ASSERT_TRUE(sub.wait_for("1 " + status_topic + " online"));
    kill(fixture.process.pid(), SIGKILL);
    EXPECT_TRUE(sub.wait_for("1 " + status_topic + " offline"));
    Subscriber later(broker);
    EXPECT_TRUE(later.wait_for("1 " + status_topic + " offline", 3s));
}

TEST_F(MqttBroker, StoppedKilledAndRestartedBrokerDelaysNoSample) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Fixture fixture({"--mqtt", broker.url()});
    ASSERT_TRUE(fixture.ready());
    {
        Subscriber sub(broker);
        ASSERT_TRUE(sub.wait_for("0 tolvaner/fix-0a/kwh_value"));
    }
    // A broker that takes the connection and then reads nothing, then none
    // at all for longer than the first wait before a new connection.
    kill(broker.pid, SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    broker.kill_now();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(broker.start(true));
    // The restarted broker kept nothing: all of it comes again.
    Subscriber sub(broker);
    EXPECT_TRUE(
        sub.wait_for_all({"1 tolvaner/fix-0a/product_id TV10", "1 " + status_topic + " online",
                          "1 tolvaner/ttyfix1/availability online", "0 tolvaner/fix-0a/kwh_value"},
                         10s));
    const int slowest_ms = fixture.quit();
    EXPECT_GE(slowest_ms, 0);
    EXPECT_LT(slowest_ms, period_ms);
    const std::string said = fixture.process.read_errors(after(3s));
    EXPECT_EQ(occurrences(said, "trying again"), 1) << said;
    EXPECT_EQ(occurrences(said, "connected to mqtt://"), 2) << said;
}

// Who may connect and how: TLS with the test's own CA, credentials.
struct SecureCase {
    const char* name;
    bool tls;
    std::vector<std::string> options; // PORT, CA and FILE stand for the test's own
    const char* environment_password;
    bool published;
    const char* said; // once on standard error
};

class MqttSecureBroker : public MqttBroker, public ::testing::WithParamInterface<SecureCase> {};

TEST_P(MqttSecureBroker, ConnectsOnlyAsAllowed) {
    const SecureCase& c = GetParam();
    Broker broker;
    std::vector<std::string> sub_options = {"-u", "meter", "-P", "s3cret"};
    if (c.tls) {
        const std::vector<std::string> key = {
            "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1"};
        std::vector<std::string> ca = {OPENSSL_PATH,
                                       "req",
                                       "-x509",
                                       "-subj",
                                       "/CN=test CA",
                                       "-keyout",
                                       broker.file("ca.key"),
                                       "-out",
                                       broker.file("ca.pem")};
        std::vector<std::string> server = {OPENSSL_PATH,
                                           "req",
                                           "-x509",
                                           "-subj",
                                           "/CN=127.0.0.1",
                                           "-addext",
                                           "subjectAltName=IP:127.0.0.1",
                                           "-CA",
                                           broker.file("ca.pem"),
                                           "-CAkey",
                                           broker.file("ca.key"),
                                           "-keyout",
                                           broker.file("server.key"),
                                           "-out",
                                           broker.file("server.pem")};
        ca.insert(ca.end(), key.begin(), key.end());
        server.insert(server.end(), key.begin(), key.end());
        ASSERT_EQ(run(ca, broker.file("openssl.log")), 0);
        ASSERT_EQ(run(server, broker.file("openssl.log")), 0);
        broker.settings += "cafile " + broker.file("ca.pem") + "\ncertfile " +
                           broker.file("server.pem") + "\nkeyfile " + broker.file("server.key") +
                           "\n";
        sub_options = {"--cafile", broker.file("ca.pem")};
    } else {
        ASSERT_EQ(run({MOSQUITTO_PASSWD_PATH, "-b", "-c", broker.file("users"), "meter", "s3cret"},
                      broker.file("passwd.log")),
                  0);
        std::ofstream(broker.file("password")) << "s3cret\n";
        broker.settings = "allow_anonymous false\npassword_file " + broker.file("users") + "\n";
    }
    ASSERT_TRUE(broker.start());
    std::vector<std::string> options = c.options;
    for (std::string& o : options) {
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"PORT", std::to_string(broker.port)},
              {"CA", broker.file("ca.pem")},
              {"FILE", broker.file("password")}}) {
            if (const std::size_t at = o.find(from); at != std::string::npos) {
                o.replace(at, from.size(), to);
            }
        }
    }
    if (c.environment_password != nullptr) {
        setenv("TOLVANER_MQTT_PASSWORD", c.environment_password, 1);
    }
    Fixture fixture(options);
    unsetenv("TOLVANER_MQTT_PASSWORD");
    ASSERT_TRUE(fixture.ready());
    Subscriber sub(broker, sub_options);
    EXPECT_EQ(sub.wait_for("1 tolvaner/fix-0a/product_id TV10", c.published ? 5s : 2500ms),
              c.published);
    EXPECT_GE(fixture.quit(), 0);
    const std::string said = fixture.process.read_errors(after(3s));
    EXPECT_EQ(occurrences(said, c.said), 1) << said;
}

INSTANTIATE_TEST_SUITE_P(Rows, MqttSecureBroker,
                         ::testing::Values(SecureCase{"tls_with_its_ca",
                                                      true,
                                                      {"--mqtt", "mqtts://127.0.0.1:PORT",
                                                       "--mqtt-ca", "CA"},
                                                      nullptr,
                                                      true,
                                                      "connected to mqtts://"},
                                           SecureCase{"tls_system_store_refuses_the_test_ca",
                                                      true,
                                                      {"--mqtt", "mqtts://127.0.0.1:PORT"},
                                                      nullptr,
                                                      false,
                                                      "certificate verify failed"},
                                           SecureCase{"password_file",
                                                      false,
                                                      {"--mqtt", "mqtt://meter@127.0.0.1:PORT",
                                                       "--mqtt-password-file", "FILE"},
                                                      nullptr,
                                                      true,
                                                      "connected to mqtt://"},
                                           SecureCase{"password_from_the_environment",
                                                      false,
                                                      {"--mqtt", "mqtt://meter@127.0.0.1:PORT"},
                                                      "s3cret",
                                                      true,
                                                      "connected to mqtt://"},
                                           SecureCase{"wrong_password",
                                                      false,
                                                      {"--mqtt", "mqtt://meter@127.0.0.1:PORT"},
                                                      "wrong",
                                                      false,
                                                      "not authorised"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
