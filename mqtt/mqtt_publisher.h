// Publishes the meter board to an MQTT broker, with Home Assistant discovery
// when asked. It runs on a thread of its own and only ever takes copies of the
// board, so a broker that is slow, down or gone never delays a sample.
//
// Topics (<meter> is the safe form of the meter's label, see mqtt_safe_name;
// <instance> that of the first port named on the command line):
//   tolvaner/<meter>/<key>          one per item of --read, plain values;
//                                   identity and settings retained, sent when
//                                   they change; dac_value and kwh_value at
//                                   each good sample, not retained
//   tolvaner/<meter>/availability   online or offline, retained
//   tolvaner/status/<instance>      online or offline, retained; the
//                                   connection's will sets it offline
//   PREFIX/sensor/tolvaner_<meter>/<key>/config   discovery, retained
#pragma once

#include "board/meter_board.h"
#include "mqtt/mqtt_options.h"

#include <atomic>
#include <cstdint>
#include <thread>

struct mosquitto;

constexpr const char* mqtt_topic_root = "tolvaner";

// What the broker has been sent of one meter since the connection was made.
struct MqttMeterSent {
    char name[mqtt_name_capacity]; // the meter's name in topics; "" before it has one
    bool availability_known;
    bool online;
    bool item_known[board_item_count]; // the retained items only
    ItemValue item[board_item_count];
    std::int64_t live_ms; // good_ms of the live values last sent; -1: none since connecting
    bool discovery_known;
    // The product ID and code revision last read well, which the discovery
    // names as model and software version; kept across connections.
    char model[24];
    char software[16];
};

enum class MqttLinkState : std::uint8_t { none, up, down };

struct MqttPublisher {
    const MqttOptions* options;
    MeterBoard* board;
    char instance[mqtt_name_capacity];
    char status_topic[128];
    char client_id[mqtt_name_capacity + 16];
    struct mosquitto* client = nullptr; // nullptr: not started
    std::thread thread;
    std::atomic<bool> stop;
    std::atomic<bool> finished; // the thread has said farewell and ends

    // The link, as the thread sees it.
    MqttLinkState said; // the state last said on standard error
    bool socket_open;
    bool connected; // the broker accepted the connection
    bool home_assistant_online;
    std::int64_t retry_at_ms;
    std::int64_t answer_by_ms; // when a connection made must have been accepted
    std::int32_t backoff_ms;
    std::int32_t unacknowledged; // published and not yet written out (QoS 0) or acknowledged
    char last_error[200];        // the library's last error-level log line

    MqttMeterSent sent[board_max_meters];
    MeterState copy; // scratch: one meter, copied from the board
    char topic[384];
    char payload[3072];
};

// Opens the client for `options` (a finished set, enabled) and starts the
// thread that connects and publishes `board`. `instance_name` names this
// program on the broker: the first port as given on the command line, made
// safe. False, with why on standard error, when the client cannot be set up
// (a CA file that cannot be read); a broker that cannot be reached is no
// failure: it is tried again in the background.
bool mqtt_start(MqttPublisher& publisher, const MqttOptions& options, MeterBoard& board,
                const char* instance_name);

// Marks every meter and the program offline, disconnects (waiting at most a
// second for the broker) and ends the thread. Does nothing when not started.
void mqtt_stop(MqttPublisher& publisher);
