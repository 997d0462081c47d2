#include "mqtt/mqtt_publisher.h"

#include "protocol/device_items.h"
#include "system/text_escape.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

namespace {

constexpr int keepalive_seconds = 30;
constexpr std::int32_t first_backoff_ms = 1000;
constexpr std::int32_t longest_backoff_ms = 30000;
// Messages handed to the library and not yet written out or acknowledged.
// Above this the broker is not keeping up: live values are skipped and the
// retained items wait, so the library's queue stays bounded.
constexpr std::int32_t most_unacknowledged = 200;
constexpr int loop_wait_ms = 100;
constexpr int farewell_ms = 500;
// How long a connection made may take to be accepted by the broker.
constexpr int answer_wait_ms = 10000;

// The items that stay true between samples: sent retained when they change.
// The live values (dac_value, kwh_value) go at each good sample instead.
bool is_retained(int item) {
    const ReadbackItem readback = device_items[item].readback;
    return readback != ReadbackItem::dac_value && readback != ReadbackItem::kwh_value;
}

// How Home Assistant shows each item, in the order of device_items.
struct DiscoveryRow {
    const char* name;
    const char* fields; // the sensor's own fields, each after a comma
};

const DiscoveryRow discovery_rows[board_item_count] = {
    {"Product ID", ",\"entity_category\":\"diagnostic\""},
    {"Code revision", ",\"entity_category\":\"diagnostic\""},
    {"Pulse value", ",\"entity_category\":\"diagnostic\",\"unit_of_measurement\":\"Wh\""},
    {"Full scale", ",\"entity_category\":\"diagnostic\",\"unit_of_measurement\":\"kW\""},
    {"Output mode", ",\"entity_category\":\"diagnostic\""},
    {"Average interval", ",\"entity_category\":\"diagnostic\",\"unit_of_measurement\":\"min\""},
    {"DAC value", ",\"state_class\":\"measurement\""},
    {"Energy", ",\"device_class\":\"energy\",\"state_class\":\"total_increasing\","
               "\"unit_of_measurement\":\"kWh\""},
};

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void show_broker(const MqttPublisher& p, char* out, std::size_t capacity) {
    const MqttOptions& o = *p.options;
    const bool v6 = std::strchr(o.host, ':') != nullptr;
    std::snprintf(out, capacity, "%s://%s%s%s:%u", o.tls ? "mqtts" : "mqtt", v6 ? "[" : "", o.host,
                  v6 ? "]" : "", static_cast<unsigned>(o.port));
}

// Each change of the link's state is said once, however often it is tried.
void say_up(MqttPublisher& p) {
    if (p.said != MqttLinkState::up) {
        char broker[300];
        show_broker(p, broker, sizeof broker);
        std::fprintf(stderr, "tolvaner: mqtt: connected to %s\n", broker);
        p.said = MqttLinkState::up;
    }
}

void say_down(MqttPublisher& p, const char* cause) {
    if (p.said != MqttLinkState::down) {
        char broker[300];
        show_broker(p, broker, sizeof broker);
        std::fprintf(stderr, "tolvaner: mqtt: %s: %s; trying again in the background\n", broker,
                     cause);
        p.said = MqttLinkState::down;
    }
}

// Forgets what the broker was sent: after a new connection all of it goes
// again, since a restarted broker may have lost its retained messages. The
// identity last read well is kept for the discovery.
void forget_sent(MqttMeterSent& t) {
    t.availability_known = false;
    t.online = false;
    for (bool& known : t.item_known) {
        known = false;
    }
    t.live_ms = -1;
    t.discovery_known = false;
}

bool send(MqttPublisher& p, const char* topic, const char* payload, bool retain) {
    // Counted first: the library may say it is written before it returns.
    ++p.unacknowledged;
    const int rc = mosquitto_publish(p.client, nullptr, topic,
                                     static_cast<int>(std::strlen(payload)), payload, 0, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        --p.unacknowledged;
        return false;
    }
    return true;
}

bool send_meter(MqttPublisher& p, const MqttMeterSent& t, const char* key, const char* payload,
                bool retain) {
    std::snprintf(p.topic, sizeof p.topic, "%s/%s/%s", mqtt_topic_root, t.name, key);
    return send(p, p.topic, payload, retain);
}

bool is_text(const DeviceItem& item) {
    return item.decode == ItemDecode::text || item.decode == ItemDecode::character;
}

// An item's plain payload: the number, or the device's text made printable.
void item_payload(const DeviceItem& item, const ItemValue& value, char* out, int capacity) {
    if (!is_text(item)) {
        std::snprintf(out, static_cast<std::size_t>(capacity), "%d",
                      static_cast<int>(value.number));
    } else if (value.text_length > 0) {
        const int length = value.text_length < 4 ? value.text_length : 4;
        escape_bytes(out, capacity, value.text, length);
    } else {
        const char byte = static_cast<char>(value.number);
        escape_bytes(out, capacity, &byte, item.decode == ItemDecode::character ? 1 : 0);
    }
}

bool same_value(const ItemValue& a, const ItemValue& b) {
    return a.number == b.number && a.text_length == b.text_length &&
           std::memcmp(a.text, b.text, sizeof a.text) == 0;
}

// Appends `text` as a JSON string's content: what is not printable ASCII
// becomes \xNN first (as everywhere else), then quotes and backslashes are
// escaped for JSON.
void append_json(char* out, std::size_t capacity, std::size_t& n, const char* text, int length) {
    char plain[160];
    const int count = escape_bytes(plain, sizeof plain, text, length);
    for (int i = 0; i < count && n + 3 < capacity; ++i) {
        if (plain[i] == '"' || plain[i] == '\\') {
            out[n++] = '\\';
        }
        out[n++] = plain[i];
    }
    out[n] = '\0';
}

void append(char* out, std::size_t capacity, std::size_t& n, const char* text) {
    const int written = std::snprintf(out + n, capacity - n, "%s", text);
    if (written > 0) {
        n += static_cast<std::size_t>(written);
        if (n >= capacity) {
            n = capacity - 1;
        }
    }
}

void append_field(char* out, std::size_t capacity, std::size_t& n, const char* key,
                  const char* value) {
    append(out, capacity, n, ",\"");
    append(out, capacity, n, key);
    append(out, capacity, n, "\":\"");
    append_json(out, capacity, n, value, static_cast<int>(std::strlen(value)));
    append(out, capacity, n, "\"");
}

// One device per meter, one sensor per item, each with both availability
// topics: the meter's own and the program's, which its will sets offline.
bool send_discovery(MqttPublisher& p, const MqttMeterSent& t, const MeterState& s) {
    const std::size_t capacity = sizeof p.payload;
    char* out = p.payload;
    for (int i = 0; i < board_item_count; ++i) {
        const DeviceItem& item = device_items[i];
        std::size_t n = 0;
        out[0] = '\0';
        std::snprintf(p.topic, sizeof p.topic, "tolvaner_%s_%s", t.name, item.key);
        append(out, capacity, n, "{\"name\":\"");
        append(out, capacity, n, discovery_rows[i].name);
        append(out, capacity, n, "\"");
        append_field(out, capacity, n, "unique_id", p.topic);
        std::snprintf(p.topic, sizeof p.topic, "%s/%s/%s", mqtt_topic_root, t.name, item.key);
        append_field(out, capacity, n, "state_topic", p.topic);
        append(out, capacity, n, ",\"availability\":[{\"topic\":\"");
        append(out, capacity, n, p.status_topic);
        std::snprintf(p.topic, sizeof p.topic, "\"},{\"topic\":\"%s/%s/availability\"}]",
                      mqtt_topic_root, t.name);
        append(out, capacity, n, p.topic);
        append(out, capacity, n, ",\"availability_mode\":\"all\"");
        append(out, capacity, n, discovery_rows[i].fields);
        std::snprintf(p.topic, sizeof p.topic, ",\"device\":{\"identifiers\":[\"tolvaner_%s\"]",
                      t.name);
        append(out, capacity, n, p.topic);
        std::snprintf(p.topic, sizeof p.topic, "Meter %s", s.label);
        append_field(out, capacity, n, "name", p.topic);
        if (t.model[0] != '\0') {
            append_field(out, capacity, n, "model", t.model);
        }
        if (t.software[0] != '\0') {
            append_field(out, capacity, n, "sw_version", t.software);
        }
        if (s.serial[0] != '\0') {
            append_field(out, capacity, n, "serial_number", s.serial);
        }
        append(out, capacity, n, "}}");
        std::snprintf(p.topic, sizeof p.topic, "%s/sensor/tolvaner_%s/%s/config",
                      p.options->discovery_prefix, t.name, item.key);
        if (!send(p, p.topic, out, true)) {
            return false;
        }
    }
    return true;
}

// The meter's name in topics: its label made safe, unless another meter of
// the board already goes by that name. None before the meter was first
// found: its serial number is not known yet, and a name taken from the
// command line would change then.
void meter_name(const MqttPublisher& p, int meter, const MeterState& s, char* name) {
    name[0] = '\0';
    if (s.port[0] == '\0' || s.label[0] == '\0') {
        return;
    }
    mqtt_safe_name(name, s.label);
    for (int j = 0; j < board_max_meters; ++j) {
        if (j != meter && std::strcmp(p.sent[j].name, name) == 0) {
            char taken[mqtt_name_capacity];
            std::memcpy(taken, name, sizeof taken);
            std::snprintf(name, mqtt_name_capacity, "%.56s_%d", taken, meter + 1);
            return;
        }
    }
}

// The model and software version the discovery names, from the last good
// reading of the product ID and the code revision.
void take_identity(MqttMeterSent& t, const MeterState& s) {
    char model[sizeof t.model];
    char software[sizeof t.software];
    std::memcpy(model, t.model, sizeof model);
    std::memcpy(software, t.software, sizeof software);
    if (s.items[0].good) {
        item_payload(device_items[0], s.items[0], model, sizeof model);
    }
    if (s.items[1].good) {
        item_payload(device_items[1], s.items[1], software, sizeof software);
    }
    if (std::strcmp(model, t.model) != 0 || std::strcmp(software, t.software) != 0) {
        std::memcpy(t.model, model, sizeof model);
        std::memcpy(t.software, software, sizeof software);
        t.discovery_known = false;
    }
}

// Sends what the broker does not have yet of one meter. Values only while
// the meter answered its last poll: a meter that does not answer is offline
// and no value is sent for it, neither a stale one nor a failed read's.
void sync_meter(MqttPublisher& p, int meter, const MeterState& s) {
    MqttMeterSent& t = p.sent[meter];
    char name[mqtt_name_capacity];
    meter_name(p, meter, s, name);
    if (name[0] == '\0') {
        return;
    }
    if (std::strcmp(name, t.name) != 0) {
        // Another meter on this line now: the old name goes offline.
        if (t.name[0] != '\0' && !(t.availability_known && !t.online)) {
            send_meter(p, t, "availability", "offline", true);
        }
        t = MqttMeterSent{};
        std::memcpy(t.name, name, sizeof name);
        forget_sent(t);
    }
    const bool online = s.status == MeterStatus::up;
    take_identity(t, s);
    if (p.options->discovery && !t.discovery_known) {
        t.discovery_known = send_discovery(p, t, s);
    }
    char value[32];
    if (online) {
        for (int i = 0; i < board_item_count; ++i) {
            const ItemValue& v = s.items[i];
            if (!is_retained(i) || !v.good || (t.item_known[i] && same_value(t.item[i], v))) {
                continue;
            }
            item_payload(device_items[i], v, value, sizeof value);
            if (send_meter(p, t, device_items[i].key, value, true)) {
                t.item_known[i] = true;
                t.item[i] = v;
            }
        }
        if (s.good_ms != t.live_ms) {
            for (int i = 0; i < board_item_count; ++i) {
                if (!is_retained(i) && s.items[i].good) {
                    item_payload(device_items[i], s.items[i], value, sizeof value);
                    send_meter(p, t, device_items[i].key, value, false);
                }
            }
            t.live_ms = s.good_ms;
        }
    }
    if (!t.availability_known || t.online != online) {
        if (send_meter(p, t, "availability", online ? "online" : "offline", true)) {
            t.availability_known = true;
            t.online = online;
        }
    }
}

void sync_board(MqttPublisher& p) {
    int count;
    {
        std::lock_guard<std::mutex> hold(p.board->lock);
        count = p.board->meter_count;
    }
    for (int m = 0; m < count && m < board_max_meters; ++m) {
        if (p.unacknowledged > most_unacknowledged) {
            return;
        }
        // A copy, taken under the board's lock and released before any call
        // into the library.
        board_copy(*p.board, m, p.copy);
        sync_meter(p, m, p.copy);
    }
}

MqttPublisher& publisher_of(void* object) { return *static_cast<MqttPublisher*>(object); }

void on_connect(struct mosquitto*, void* object, int rc) {
    MqttPublisher& p = publisher_of(object);
    if (rc != 0) {
        say_down(p, mosquitto_connack_string(rc));
        return;
    }
    p.connected = true;
    p.backoff_ms = first_backoff_ms;
    p.unacknowledged = 0;
    for (MqttMeterSent& t : p.sent) {
        forget_sent(t);
    }
    say_up(p);
    send(p, p.status_topic, "online", true);
    if (p.options->discovery) {
        std::snprintf(p.topic, sizeof p.topic, "%s/status", p.options->discovery_prefix);
        mosquitto_subscribe(p.client, nullptr, p.topic, 1);
    }
}

void on_publish(struct mosquitto*, void* object, int) {
    MqttPublisher& p = publisher_of(object);
    if (p.unacknowledged > 0) {
        --p.unacknowledged;
    }
}

// Home Assistant says it is online after a start: it has forgotten the
// discovery unless the broker kept it, so it is sent again.
void on_message(struct mosquitto*, void* object, const struct mosquitto_message* message) {
    MqttPublisher& p = publisher_of(object);
    const char* prefix = p.options->discovery_prefix;
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(message->topic, prefix, length) == 0 &&
        std::strcmp(message->topic + length, "/status") == 0 && message->payloadlen == 6 &&
        std::memcmp(message->payload, "online", 6) == 0) {
        for (MqttMeterSent& t : p.sent) {
            t.discovery_known = false;
        }
    }
}

void on_log(struct mosquitto*, void* object, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) != 0) {
        MqttPublisher& p = publisher_of(object);
        escape_bytes(p.last_error, sizeof p.last_error, text, static_cast<int>(std::strlen(text)));
    }
}

// Why a call into the library failed, in its words or the system's.
const char* cause_of(const MqttPublisher& p, int rc) {
    if (rc == MOSQ_ERR_ERRNO) {
        return std::strerror(errno);
    }
    if (rc == MOSQ_ERR_TLS && p.last_error[0] != '\0') {
        return p.last_error;
    }
    return p.connected ? "connection lost" : mosquitto_strerror(rc);
}

// After a failure: the next connection after a wait that doubles each time.
// The next mosquitto_connect closes whatever is left of this one.
void try_later(MqttPublisher& p, const char* cause) {
    say_down(p, cause);
    p.connected = false;
    p.socket_open = false;
    p.retry_at_ms = now_ms() + p.backoff_ms;
    p.backoff_ms = p.backoff_ms * 2 < longest_backoff_ms ? p.backoff_ms * 2 : longest_backoff_ms;
}

// Connects: the connection is made here (the only call that may wait on the
// network: name lookup and the TCP handshake), the rest of the handshake and
// the broker's answer come in mosquitto_loop, awaited until a deadline.
void connect(MqttPublisher& p) {
    p.last_error[0] = '\0';
    const int rc = mosquitto_connect(p.client, p.options->host, p.options->port, keepalive_seconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        try_later(p, cause_of(p, rc));
        return;
    }
    p.socket_open = mosquitto_socket(p.client) >= 0;
    p.answer_by_ms = now_ms() + answer_wait_ms;
}

// Offline for every meter and the program, then a clean disconnect, which
// the broker takes as no death: the will is not sent.
void say_farewell(MqttPublisher& p) {
    if (!p.connected) {
        return;
    }
    for (MqttMeterSent& t : p.sent) {
        if (t.name[0] != '\0') {
            send_meter(p, t, "availability", "offline", true);
        }
    }
    send(p, p.status_topic, "offline", true);
    mosquitto_disconnect(p.client);
    const std::int64_t deadline = now_ms() + farewell_ms;
    while (mosquitto_socket(p.client) >= 0 && now_ms() < deadline) {
        if (mosquitto_loop(p.client, 50, 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
}

void run(MqttPublisher& p) {
    while (!p.stop.load()) {
        const std::int64_t now = now_ms();
        if (!p.socket_open && now >= p.retry_at_ms) {
            connect(p);
        }
        if (p.socket_open) {
            const int rc = mosquitto_loop(p.client, loop_wait_ms, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                try_later(p, cause_of(p, rc));
            } else if (!p.connected && now_ms() > p.answer_by_ms) {
                try_later(p, "no answer from the broker");
            }
        } else {
            const std::int64_t wait = p.retry_at_ms - now_ms();
            std::this_thread::sleep_for(std::chrono::milliseconds(wait < 1 ? 1
                                                                  : wait < loop_wait_ms
                                                                      ? wait
                                                                      : loop_wait_ms));
        }
        if (p.connected) {
            sync_board(p);
        }
    }
    say_farewell(p);
    p.finished.store(true);
}

} // namespace

bool mqtt_start(MqttPublisher& p, const MqttOptions& options, MeterBoard& board,
                const char* instance_name) {
    p.options = &options;
    p.board = &board;
    mqtt_safe_name(p.instance, instance_name);
    std::snprintf(p.status_topic, sizeof p.status_topic, "%s/status/%s", mqtt_topic_root,
                  p.instance);
    std::snprintf(p.client_id, sizeof p.client_id, "tolvaner-%s", p.instance);
    p.said = MqttLinkState::none;
    p.socket_open = false;
    p.connected = false;
    p.retry_at_ms = 0;
    p.backoff_ms = first_backoff_ms;
    p.unacknowledged = 0;
    p.last_error[0] = '\0';
    for (MqttMeterSent& t : p.sent) {
        t = MqttMeterSent{};
        forget_sent(t);
    }
    p.stop.store(false);
    p.finished.store(false);

    mosquitto_lib_init();
    p.client = mosquitto_new(p.client_id, true, &p);
    const char* failed = p.client == nullptr ? "cannot make a client" : nullptr;
    if (failed == nullptr && options.user[0] != '\0' &&
        mosquitto_username_pw_set(p.client, options.user,
                                  options.has_password ? options.password : nullptr) !=
            MOSQ_ERR_SUCCESS) {
        failed = "the user or password is refused by the library";
    }
    if (failed == nullptr &&
        mosquitto_will_set(p.client, p.status_topic, 7, "offline", 1, true) != MOSQ_ERR_SUCCESS) {
        failed = "cannot set the will";
    }
    if (failed == nullptr && options.tls) {
        // The CA named, else the system's trust store; the broker's name is
        // checked against its certificate either way.
        const int rc =
            options.ca_file != nullptr
                ? mosquitto_tls_set(p.client, options.ca_file, nullptr, nullptr, nullptr, nullptr)
                : mosquitto_int_option(p.client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            failed = options.ca_file != nullptr ? "--mqtt-ca: cannot read the CA file"
                                                : "cannot use the system's trust store";
        }
    }
    if (failed != nullptr) {
        std::fprintf(stderr, "tolvaner: mqtt: %s\n", failed);
        if (p.client != nullptr) {
            mosquitto_destroy(p.client);
            p.client = nullptr;
        }
        mosquitto_lib_cleanup();
        return false;
    }
    mosquitto_connect_callback_set(p.client, on_connect);
    mosquitto_publish_callback_set(p.client, on_publish);
    mosquitto_message_callback_set(p.client, on_message);
    mosquitto_log_callback_set(p.client, on_log);
    p.thread = std::thread(run, std::ref(p));
    return true;
}

void mqtt_stop(MqttPublisher& p) {
    if (p.client == nullptr) {
        return;
    }
    p.stop.store(true);
    // A connection being made to a host that does not answer can hold the
    // thread for as long as the system tries (minutes): the program does not
    // wait for it, and leaves the client to the end of the process.
    const std::int64_t deadline = now_ms() + loop_wait_ms + farewell_ms + 400;
    while (!p.finished.load() && now_ms() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!p.finished.load()) {
        p.thread.detach();
        return;
    }
    p.thread.join();
    mosquitto_destroy(p.client);
    p.client = nullptr;
    mosquitto_lib_cleanup();
}
