// The publisher against a real broker: Debian's mosquitto on a loopback port
// of its own, fed by the fixture in the place of the sampler (two meters, one
// sample every 200 ms), watched by mosquitto_sub, which shows each message's
// retain flag as the publisher set it.
#include "tests/support/harness.h"

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace harness;

const std::string status_topic = "tolvaner/status/usb_fix-0a";
constexpr int period_ms = 200;

// The words of `text`, after `first`.
std::vector<std::string> words(std::vector<std::string> first, const std::string& text) {
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        first.push_back(word);
    }
    return first;
}

int run(const std::vector<std::string>& argv, const std::string& log) {
    return wait_pid(start_logged(argv, log), after(20s)).value_or(-1);
}

// Whether a listener takes connections on the loopback port; with `port` 0,
// a port the kernel has just handed out instead.
int loopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{
        AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    const int result =
        port == 0 ? (bind(fd, a, length), getsockname(fd, a, &length), ntohs(address.sin_port))
                  : connect(fd, a, length) == 0;
    close(fd);
    return result;
}

struct Broker {
    TempDir dir;
    std::string settings = "allow_anonymous true\n"; // beside the listener
    int port = 0;
    pid_t pid = -1;

    ~Broker() { kill_now(); }
    std::string file(const char* name) const { return dir.path() + "/" + name; }
    // On a free port, or the same one again. Another program may take the
    // port first: then on another.
    bool start(bool same_port = false) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = same_port ? port : loopback(0);
            // Run by root, the broker would become the user mosquitto, which
            // cannot read this private folder.
            std::ofstream(file("broker.conf"))
                << "listener " << port << " 127.0.0.1\npersistence false\n"
                << (geteuid() == 0 ? "user root\n" : "") << settings;
            pid = start_logged({TOOL_mosquitto, "-c", file("broker.conf")}, file("broker.log"));
            for (const auto deadline = after(5s); Clock::now() < deadline && pid > 0;
                 std::this_thread::sleep_for(20ms)) {
                if (loopback(port)) {
                    return true;
                }
                pid = wait_pid(pid, Clock::now()) ? -1 : pid;
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

    Subscriber(const Broker& broker, const std::string& options)
        : process(words({TOOL_mosquitto_sub, "-F", "%r %t %p"},
                        "-h 127.0.0.1 -p " + std::to_string(broker.port) +
                            " -V 5 --retain-as-published -t tolvaner/# -t homeassistant/# " +
                            options)) {}
    // Takes messages until each of `wanted` has begun one, from the next.
    bool wait_for(const std::vector<std::string>& wanted, Clock::duration within = 5s) {
        const std::size_t from = lines.size();
        const auto deadline = after(within);
        for (;;) {
            bool all = true;
            for (const std::string& w : wanted) {
                all = all && count(w, from) > 0;
            }
            const std::string line = all ? "" : process.read_line(deadline);
            if (line.empty()) {
                return all;
            }
            lines.push_back(line.substr(0, line.size() - (line.back() == '\n' ? 1 : 0)));
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

    explicit Fixture(const std::string& options)
        : process(words({FIXTURE_PATH, std::to_string(period_ms)}, options)) {}
    void tell(const std::string& command) { process.send(command + "\n"); }
    // Ends it as a program ends: the longest a sample took to reach the
    // board, in ms; -1 when it did not end.
    int quit() {
        tell("quit");
        const std::string line = process.read_line(after(5s));
        return process.wait(after(5s)) == 0 && line.rfind("slowest_feed_ms ", 0) == 0
                   ? std::stoi(line.substr(16))
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

class MqttBroker : public ::testing::Test {
  protected:
    void SetUp() override {
        if (MISSING_TOOLS[0] != '\0') {
            GTEST_SKIP() << "not there: " << MISSING_TOOLS
                         << " (Debian packages mosquitto, mosquitto-clients, openssl, python3)";
        }
    }
    // The broker, the fixture publishing to it with `options` (PORT and DIR
    // standing for the broker's) and a subscriber.
    void start(std::string options, const std::string& sub = "") {
        ASSERT_TRUE(broker.start());
        for (const std::string from : {"PORT", "DIR"}) {
            if (const std::size_t at = options.find(from); at != std::string::npos) {
                options.replace(at, from.size(),
                                from == "DIR" ? broker.dir.path() : std::to_string(broker.port));
            }
        }
        fixture.emplace(options);
        ASSERT_EQ(fixture->process.read_line(after(5s)), "ready\n");
        subscriber.emplace(broker, sub);
    }
    Broker broker;
    std::optional<Fixture> fixture;
    std::optional<Subscriber> subscriber;
};

const std::string plain = "--mqtt=mqtt://127.0.0.1:PORT";

TEST_F(MqttBroker, TopicsPayloadsAndRetainedFlags) {
    start(plain);
    Subscriber& sub = *subscriber;
    for (int sample = 0; sample < 4; ++sample) {
        ASSERT_TRUE(sub.wait_for({"0 tolvaner/fix-0a/kwh_value"}));
    }
    fixture->tell("set 1 pulse_value 2000");
    ASSERT_TRUE(sub.wait_for({"1 tolvaner/ttyfix1/pulse_value 2000"}));
    EXPECT_GE(fixture->quit(), 0);
    ASSERT_TRUE(sub.wait_for({"1 " + status_topic + " offline"}));

    // Identity and settings retained, each once, and again only when changed;
    // the live values at each sample, not retained.
    const std::map<std::string, std::string> retained = {
        {"product_id", "TV10 "}, {"code_revision", "7 "}, {"pulse_value", "1000 "},
        {"full_scale", "4 "},    {"output_mode", "I "},   {"average_interval", "3 "}};
    std::map<std::string, std::string> sent;
    std::map<std::string, int> kwh;
    for (const std::string& line : sub.lines) {
        const std::size_t space = line.find(' ', 2);
        const std::string topic = line.substr(2, space - 2), payload = line.substr(space + 1);
        const std::string meter = topic.substr(9, topic.find('/', 9) - 9);
        const std::string key = topic.substr(topic.rfind('/') + 1);
        const bool live = key == "dac_value" || key == "kwh_value";
        SCOPED_TRACE(line);
        EXPECT_EQ(line[0], live ? '0' : '1');
        if (topic == status_topic || key == "availability") {
            EXPECT_TRUE(payload == "online" || payload == "offline");
        } else if (key == "kwh_value") {
            EXPECT_GT(std::stoi(payload), kwh[meter]);
            kwh[meter] = std::stoi(payload);
        } else if (!live) {
            EXPECT_EQ(retained.count(key), 1u);
            sent[topic] += payload + " ";
        }
    }
    EXPECT_EQ(kwh.size(), 2u);
    EXPECT_GE(kwh["fix-0a"], 104);
    EXPECT_EQ(sent.size(), 12u);
    for (const auto& [key, value] : retained) {
        EXPECT_EQ(sent["tolvaner/fix-0a/" + key], value);
        EXPECT_EQ(sent["tolvaner/ttyfix1/" + key], key == "pulse_value" ? "1000 2000 " : value);
    }
    EXPECT_EQ(sub.count("1 tolvaner/fix-0a/availability offline"), 1);
    EXPECT_EQ(sub.count("1 tolvaner/ttyfix1/availability offline"), 1);
}

TEST_F(MqttBroker, DiscoveryFitsHomeAssistantAndComesAgainWhenItStarts) {
    start(plain + " --mqtt-discovery");
    Subscriber& sub = *subscriber;
    const std::string config = "1 homeassistant/sensor/";
    while (sub.count(config) < 16 && sub.wait_for({config})) {
    }
    ASSERT_EQ(sub.count(config), 16);
    std::ofstream lines(broker.file("configs"));
    for (const std::string& line : sub.lines) {
        lines << (line.rfind(config, 0) == 0 ? line + "\n" : "");
    }
    lines.close();
    EXPECT_EQ(run({TOOL_python3, DISCOVERY_CHECK, broker.file("configs"), "homeassistant",
                   status_topic, "fix-0a", "ttyfix1"},
                  broker.file("check.log")),
              0)
        << std::ifstream(broker.file("check.log")).rdbuf();
    ASSERT_EQ(run(words({TOOL_mosquitto_pub}, "-h 127.0.0.1 -t homeassistant/status -m online -p " +
                                                  std::to_string(broker.port)),
                  broker.file("pub.log")),
              0);
    while (sub.count(config) < 32 && sub.wait_for({config})) {
    }
    EXPECT_EQ(sub.count(config), 32);
}

TEST_F(MqttBroker, SilentMeterGoesOfflineAndPublishesNothing) {
    start(plain);
    Subscriber& sub = *subscriber;
    ASSERT_TRUE(sub.wait_for({"0 tolvaner/fix-0a/kwh_value"}));
    fixture->tell("silent 0");
    ASSERT_TRUE(sub.wait_for({"1 tolvaner/fix-0a/availability offline"}));
    const std::size_t silent = sub.lines.size();
    sub.wait_for({"never"}, 7 * std::chrono::milliseconds(period_ms));
    EXPECT_EQ(sub.count("0 tolvaner/fix-0a/", silent) + sub.count("1 tolvaner/fix-0a/", silent), 0);
    EXPECT_GE(sub.count("0 tolvaner/ttyfix1/kwh_value", silent), 3);
    fixture->tell("up 0");
    EXPECT_TRUE(sub.wait_for({"1 tolvaner/fix-0a/availability online", "0 tolvaner/fix-0a/kwh"}));
}

TEST_F(MqttBroker, WillSaysTheProgramIsOfflineWhenItIsKilled) {
    start(plain);
    ASSERT_TRUE(subscriber->wait_for({"1 " + status_topic + " online"}));
    kill(fixture->process.pid(), SIGKILL);
    EXPECT_TRUE(subscriber->wait_for({"1 " + status_topic + " offline"}));
    Subscriber later(broker, "");
    EXPECT_TRUE(later.wait_for({"1 " + status_topic + " offline"}, 3s));
}

TEST_F(MqttBroker, StoppedKilledAndRestartedBrokerDelaysNoSample) {
    start(plain);
    ASSERT_TRUE(subscriber->wait_for({"0 tolvaner/fix-0a/kwh_value"}));
    // A broker that holds the connection and reads nothing, then none at all
    // for longer than the first wait before connecting again.
    kill(broker.pid, SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    broker.kill_now();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(broker.start(true));
    // It kept nothing: all of it comes again.
    Subscriber sub(broker, "");
    EXPECT_TRUE(
        sub.wait_for({"1 tolvaner/fix-0a/product_id TV10", "1 " + status_topic + " online",
                      "1 tolvaner/ttyfix1/availability online", "0 tolvaner/fix-0a/kwh_value"},
                     10s));
    const int slowest_ms = fixture->quit();
    EXPECT_GE(slowest_ms, 0);
    EXPECT_LT(slowest_ms, period_ms);
    const std::string said = fixture->process.read_errors(after(3s));
    EXPECT_EQ(occurrences(said, "trying again"), 1) << said;
    EXPECT_EQ(occurrences(said, "connected to mqtt://"), 2) << said;
}

// Who may connect: TLS with a CA of the test's own, and credentials.
struct SecureCase {
    const char* name;
    const char* options; // DIR is the broker's folder
    const char* environment_password;
    bool published;
    const char* said; // once, on standard error
};

class MqttSecureBroker : public MqttBroker, public ::testing::WithParamInterface<SecureCase> {};

TEST_P(MqttSecureBroker, ConnectsOnlyAsAllowed) {
    const SecureCase& c = GetParam();
    const std::string dir = broker.dir.path() + "/";
    std::string sub = "-u meter -P s3cret";
    if (std::string(c.options).find("mqtts") != std::string::npos) {
        const std::string key = "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                                "-days 1 -keyout " +
                                dir;
        ASSERT_EQ(run(words({TOOL_openssl}, key + "ca.key -out " + dir + "ca.pem -subj /CN=CA"),
                      dir + "openssl.log"),
                  0);
        ASSERT_EQ(run(words({TOOL_openssl}, key + "server.key -out " + dir +
                                                "server.pem -subj /CN=127.0.0.1 -addext "
                                                "subjectAltName=IP:127.0.0.1 -CA " +
                                                dir + "ca.pem -CAkey " + dir + "ca.key"),
                      dir + "openssl.log"),
                  0);
        broker.settings += "cafile " + dir + "ca.pem\ncertfile " + dir + "server.pem\nkeyfile " +
                           dir + "server.key\n";
        sub = "--cafile " + dir + "ca.pem";
    } else {
        ASSERT_EQ(run(words({TOOL_mosquitto_passwd}, "-b -c " + dir + "users meter s3cret"),
                      dir + "passwd.log"),
                  0);
        std::ofstream(dir + "password") << "s3cret\n";
        broker.settings = "allow_anonymous false\npassword_file " + dir + "users\n";
    }
    if (c.environment_password != nullptr) {
        setenv("TOLVANER_MQTT_PASSWORD", c.environment_password, 1);
    }
    start(c.options, sub);
    unsetenv("TOLVANER_MQTT_PASSWORD");
    EXPECT_EQ(subscriber->wait_for({"1 tolvaner/fix-0a/product_id"}, c.published ? 5s : 2500ms),
              c.published);
    EXPECT_GE(fixture->quit(), 0);
    const std::string said = fixture->process.read_errors(after(3s));
    EXPECT_EQ(occurrences(said, c.said), 1) << said;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MqttSecureBroker,
    ::testing::Values(
        SecureCase{"tls_with_its_ca", "--mqtt=mqtts://127.0.0.1:PORT --mqtt-ca=DIR/ca.pem", nullptr,
                   true, "connected to mqtts://"},
        SecureCase{"tls_system_store_refuses_the_test_ca", "--mqtt=mqtts://127.0.0.1:PORT", nullptr,
                   false, "certificate verify failed"},
        SecureCase{"password_file",
                   "--mqtt=mqtt://meter@127.0.0.1:PORT --mqtt-password-file=DIR/password", nullptr,
                   true, "connected to mqtt://"},
        SecureCase{"password_from_the_environment", "--mqtt=mqtt://meter@127.0.0.1:PORT", "s3cret",
                   true, "connected to mqtt://"},
        SecureCase{"wrong_password", "--mqtt=mqtt://meter@127.0.0.1:PORT", "wrong", false,
                   "not authorised"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
