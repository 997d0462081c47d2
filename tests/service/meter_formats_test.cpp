// The metrics and the JSON, byte for byte: they are stable interfaces. A
// meter that is down shows no value in any of them.
#include "web/meter_formats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr std::int64_t t0 = 1'765'101'600'250; // 2025-12-07T10:00:00.250Z

void text_item(MeterState& m, int index, const char* text) {
    m.items[index].good = true;
    m.items[index].text_length = static_cast<std::int32_t>(std::strlen(text));
    std::memcpy(m.items[index].text, text, std::strlen(text));
    m.items[index].number = static_cast<unsigned char>(text[0]);
}

void number_item(MeterState& m, int index, std::int32_t value) {
    m.items[index].good = true;
    m.items[index].number = value;
}

// A meter on a USB adapter that answered, and one on a plain port that
// stopped answering after a good reading.
void two_meters(MeterState (&meters)[2]) {
    meters[0] = MeterState{};
    MeterState& a = meters[0];
    std::strcpy(a.given, "usb:0403:6001:A10K1234");
    std::strcpy(a.port, "/dev/ttyUSB0");
    std::strcpy(a.serial, "A10K1234");
    std::strcpy(a.label, "A10K1234");
    a.status = MeterStatus::up;
    a.polled_ms = t0;
    a.good_ms = t0;
    text_item(a, 0, "TLV1");
    number_item(a, 1, -5);
    number_item(a, 2, 1000);
    number_item(a, 3, 200);
    text_item(a, 4, "A");
    number_item(a, 5, 60);
    number_item(a, 6, 163);
    number_item(a, 7, 65535);
    a.reads_total = 120;
    a.read_errors_total = 2;
    a.reconnects_total = 1;

    meters[1] = a;
    MeterState& b = meters[1];
    std::strcpy(b.given, "/dev/ttyS9");
    std::strcpy(b.port, "/dev/ttyS9");
    b.serial[0] = '\0';
    std::strcpy(b.label, "/dev/ttyS9");
    b.status = MeterStatus::no_reply;
    std::strcpy(b.cause, "nothing arrived within the settle time");
    b.polled_ms = t0 + 1000;
    b.items[2].good = false; // and the rest stay as they were: never shown
    b.reads_total = 7;
    b.read_errors_total = 3;
    b.reconnects_total = 0;
}

const char* const prometheus_text =
    R"(# HELP tolvaner_up 1 while the meter answered its last poll, else 0
# TYPE tolvaner_up gauge
tolvaner_up{meter="A10K1234"} 1
tolvaner_up{meter="/dev/ttyS9"} 0
# HELP tolvaner_reads_total Polls of the meter
# TYPE tolvaner_reads_total counter
tolvaner_reads_total{meter="A10K1234"} 120
tolvaner_reads_total{meter="/dev/ttyS9"} 7
# HELP tolvaner_read_errors_total Polls of the meter without a good reply
# TYPE tolvaner_read_errors_total counter
tolvaner_read_errors_total{meter="A10K1234"} 2
tolvaner_read_errors_total{meter="/dev/ttyS9"} 3
# HELP tolvaner_reconnects_total Times the meter's port came back after it was lost
# TYPE tolvaner_reconnects_total counter
tolvaner_reconnects_total{meter="A10K1234"} 1
tolvaner_reconnects_total{meter="/dev/ttyS9"} 0
# HELP tolvaner_last_good_reading_timestamp_seconds When the meter last gave a good reading, in seconds since the Unix epoch
# TYPE tolvaner_last_good_reading_timestamp_seconds gauge
tolvaner_last_good_reading_timestamp_seconds{meter="A10K1234"} 1765101600.250
tolvaner_last_good_reading_timestamp_seconds{meter="/dev/ttyS9"} 1765101600.250
# HELP tolvaner_meter_info The meter's port, product ID, code revision level and output mode (I instant, A average)
# TYPE tolvaner_meter_info gauge
tolvaner_meter_info{meter="A10K1234",port="/dev/ttyUSB0",product_id="TLV1",code_revision="-5",output_mode="A"} 1
# HELP tolvaner_dac_value The meter's most recent DAC value, 0 to 255
# TYPE tolvaner_dac_value gauge
tolvaner_dac_value{meter="A10K1234"} 163
# HELP tolvaner_energy_joules_total The meter's kWh register in joules (1 kWh is 3600000 J); it wraps after 65535 kWh
# TYPE tolvaner_energy_joules_total counter
tolvaner_energy_joules_total{meter="A10K1234"} 235926000000
# HELP tolvaner_pulse_value_joules Energy per output pulse (the pulse value in watt-hours times 3600)
# TYPE tolvaner_pulse_value_joules gauge
tolvaner_pulse_value_joules{meter="A10K1234"} 3600000
# HELP tolvaner_full_scale_watts The full scale of the DAC output
# TYPE tolvaner_full_scale_watts gauge
tolvaner_full_scale_watts{meter="A10K1234"} 200000
# HELP tolvaner_average_interval_seconds The averaging interval of the average output mode
# TYPE tolvaner_average_interval_seconds gauge
tolvaner_average_interval_seconds{meter="A10K1234"} 3600
# HELP tolvaner_build_info The tolvaner that serves these metrics
# TYPE tolvaner_build_info gauge
tolvaner_build_info{version=")" TOLVANER_VERSION R"("} 1
)";

TEST(Metrics, PrometheusTextWithADownMeter) {
    MeterState meters[2];
    two_meters(meters);
    std::string out;
    render_metrics(out, meters, 2, MetricsFormat::prometheus);
    EXPECT_EQ(out, prometheus_text);
}

// OpenMetrics names families without the samples' suffixes, says their
// units, has an info type, and ends with # EOF; the samples are the same.
TEST(Metrics, OpenMetricsDiffersOnlyInItsMetadataAndEnd) {
    MeterState meters[2];
    two_meters(meters);
    std::string out;
    render_metrics(out, meters, 2, MetricsFormat::openmetrics);
    std::string expected = prometheus_text;
    const struct {
        const char* from;
        const char* to;
    } changes[] = {
        {"# HELP tolvaner_reads_total ", "# HELP tolvaner_reads "},
        {"# TYPE tolvaner_reads_total ", "# TYPE tolvaner_reads "},
        {"# HELP tolvaner_read_errors_total ", "# HELP tolvaner_read_errors "},
        {"# TYPE tolvaner_read_errors_total ", "# TYPE tolvaner_read_errors "},
        {"# HELP tolvaner_reconnects_total ", "# HELP tolvaner_reconnects "},
        {"# TYPE tolvaner_reconnects_total ", "# TYPE tolvaner_reconnects "},
        {"# TYPE tolvaner_last_good_reading_timestamp_seconds gauge\n",
         "# TYPE tolvaner_last_good_reading_timestamp_seconds gauge\n"
         "# UNIT tolvaner_last_good_reading_timestamp_seconds seconds\n"},
        {"# HELP tolvaner_meter_info ", "# HELP tolvaner_meter "},
        {"# TYPE tolvaner_meter_info gauge", "# TYPE tolvaner_meter info"},
        {"# HELP tolvaner_energy_joules_total ", "# HELP tolvaner_energy_joules "},
        {"# TYPE tolvaner_energy_joules_total counter\n",
         "# TYPE tolvaner_energy_joules counter\n# UNIT tolvaner_energy_joules joules\n"},
        {"# TYPE tolvaner_pulse_value_joules gauge\n",
         "# TYPE tolvaner_pulse_value_joules gauge\n# UNIT tolvaner_pulse_value_joules joules\n"},
        {"# TYPE tolvaner_full_scale_watts gauge\n",
         "# TYPE tolvaner_full_scale_watts gauge\n# UNIT tolvaner_full_scale_watts watts\n"},
        {"# TYPE tolvaner_average_interval_seconds gauge\n",
         "# TYPE tolvaner_average_interval_seconds gauge\n"
         "# UNIT tolvaner_average_interval_seconds seconds\n"},
        {"# HELP tolvaner_build_info ", "# HELP tolvaner_build "},
        {"# TYPE tolvaner_build_info gauge", "# TYPE tolvaner_build info"},
    };
    for (const auto& c : changes) {
        const std::size_t at = expected.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        expected.replace(at, std::strlen(c.from), c.to);
    }
    expected += "# EOF\n";
    EXPECT_EQ(out, expected);
}

// A meter that never answered: its counters and nothing else, not even the
// time of a good reading it never gave.
TEST(Metrics, AMeterThatNeverAnsweredHasOnlyItsCounters) {
    MeterState meter{};
    std::strcpy(meter.given, "/dev/ttyUSB3");
    meter.status = MeterStatus::port_lost;
    meter.reads_total = 4;
    meter.read_errors_total = 4;
    meter.items[6] = {true, 99, "", 0};
    std::string out;
    render_metrics(out, &meter, 1, MetricsFormat::prometheus);
    EXPECT_NE(out.find("tolvaner_up{meter=\"/dev/ttyUSB3\"} 0\n"), std::string::npos) << out;
    for (const char* absent : {"timestamp_seconds{", "_info{meter", "dac_value{", "joules", "watts",
                               "interval_seconds{"}) {
        EXPECT_EQ(out.find(absent), std::string::npos) << absent << " in\n" << out;
    }
}

struct EscapeRow {
    std::string bytes;
    const char* label; // between the quotes of a label value
    const char* json;  // a JSON string, quotes and all
};

class Escapes : public testing::TestWithParam<EscapeRow> {};

TEST_P(Escapes, LabelAndJsonText) {
    const EscapeRow& row = GetParam();
    std::string label;
    append_label_value(label, row.bytes.data(), static_cast<int>(row.bytes.size()));
    EXPECT_EQ(label, row.label);
    std::string json;
    append_json_string(json, row.bytes.data(), static_cast<int>(row.bytes.size()));
    EXPECT_EQ(json, row.json);
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, Escapes,
    testing::Values(EscapeRow{"TLV1", "TLV1", R"("TLV1")"},
                    EscapeRow{R"(a"b\c)", R"(a\"b\\c)", R"("a\"b\\c")"},
                    EscapeRow{"line\nend", R"(line\\x0Aend)", R"("line\u000Aend")"},
                    // Not UTF-8: written out, so the output stays valid UTF-8.
                    EscapeRow{"\x80\xFF", R"(\\x80\\xFF)", R"("\u0080\u00FF")"},
                    EscapeRow{std::string("a\0b", 3), R"(a\\x00b)", R"("a\u0000b")"},
                    EscapeRow{"\x7F", R"(\\x7F)", R"("\u007F")"}, EscapeRow{"", "", R"("")"}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

struct AcceptRow {
    const char* accept; // nullptr: no header
    MetricsFormat format;
};

class Accept : public testing::TestWithParam<AcceptRow> {};

TEST_P(Accept, ChoosesTheFormat) {
    EXPECT_EQ(metrics_format_for(GetParam().accept), GetParam().format)
        << (GetParam().accept ? GetParam().accept : "(none)");
}

constexpr auto om = MetricsFormat::openmetrics;
constexpr auto text = MetricsFormat::prometheus;

INSTANTIATE_TEST_SUITE_P(
    Metrics, Accept,
    testing::Values(
        AcceptRow{nullptr, text}, AcceptRow{"", text}, AcceptRow{"*/*", text},
        // What Prometheus sends.
        AcceptRow{"application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                  "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
                  om},
        AcceptRow{"application/openmetrics-text", om},
        AcceptRow{"Application/OpenMetrics-Text; Version=1.0.0; charset=utf-8", om},
        AcceptRow{"text/plain;version=0.0.4;q=1,application/openmetrics-text;q=0.5", text},
        AcceptRow{"application/openmetrics-text;q=0.5, text/plain;q=0.5", om},
        AcceptRow{"application/openmetrics-text;q=0", text},
        AcceptRow{"application/openmetrics-text;version=2.0.0", text},
        AcceptRow{"application/openmetrics-text;q=banana", text},
        AcceptRow{"application/openmetrics-text ; q=0.9 , */* ; q=0.8", om},
        AcceptRow{"application/json", text}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(Json, UtcTimes) {
    const struct {
        std::int64_t ms;
        const char* text;
    } rows[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {t0, "2025-12-07T10:00:00.250Z"},
        {951'782'400'999, "2000-02-29T00:00:00.999Z"},
        {4'102'444'799'001, "2099-12-31T23:59:59.001Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& row : rows) {
        char out[40];
        format_utc_ms(out, sizeof out, row.ms);
        EXPECT_STREQ(out, row.text) << row.ms;
    }
}

TEST(Json, ReadingsOfAnUpAndADownMeter) {
    MeterState meters[2];
    two_meters(meters);
    std::string out;
    render_readings_json(out, meters, 2, t0 + 1500);
    EXPECT_EQ(out,
              R"({"now":"2025-12-07T10:00:01.750Z","meters":[)"
              R"({"meter":"A10K1234","status":"up","cause":null,)"
              R"("time":"2025-12-07T10:00:00.250Z","last_good":"2025-12-07T10:00:00.250Z",)"
              R"("device":"/dev/ttyUSB0","serial":"A10K1234","reads":120,"read_errors":2,)"
              R"("reconnects":1,"port":"usb:0403:6001:A10K1234","product_id":"TLV1",)"
              R"("code_revision":-5,"pulse_value":1000,"full_scale":200,"output_mode":"A",)"
              R"("average_interval":60,"dac_value":163,"kwh_value":65535},)"
              R"({"meter":"/dev/ttyS9","status":"no_reply",)"
              R"("cause":"nothing arrived within the settle time",)"
              R"("time":"2025-12-07T10:00:01.250Z","last_good":"2025-12-07T10:00:00.250Z",)"
              R"("device":"/dev/ttyS9","serial":null,"reads":7,"read_errors":3,"reconnects":0,)"
              R"("port":"/dev/ttyS9","product_id":null,"code_revision":null,"pulse_value":null,)"
              R"("full_scale":null,"output_mode":null,"average_interval":null,"dac_value":null,)"
              R"("kwh_value":null}]})"
              "\n");
}

TEST(Json, AMeterNotYetPolled) {
    MeterState meter{};
    std::strcpy(meter.given, "usb:0403:6001");
    std::string out;
    render_readings_json(out, &meter, 1, 0);
    EXPECT_EQ(out, R"({"now":null,"meters":[{"meter":"usb:0403:6001","status":"starting",)"
                   R"("cause":null,"time":null,"last_good":null,"device":null,"serial":null,)"
                   R"("reads":0,"read_errors":0,"reconnects":0,"port":"usb:0403:6001",)"
                   R"("product_id":null,"code_revision":null,"pulse_value":null,)"
                   R"("full_scale":null,"output_mode":null,"average_interval":null,)"
                   R"("dac_value":null,"kwh_value":null}]})"
                   "\n");
}

TEST(Json, HistoryWithAFailedPoll) {
    MeterState meters[2];
    two_meters(meters);
    const HistoryPoint a[] = {
        {t0, true, 163, 12}, {t0 + 1000, false, 0, 0}, {t0 + 2000, true, 0, 13}};
    const MeterPoints parts[] = {{&meters[0], a, 3}, {&meters[1], a, 0}};
    std::string out;
    render_history_json(out, parts, 2, t0 - 5, t0 + 2500);
    EXPECT_EQ(out, R"({"now":1765101602750,"since":1765101600245,"meters":[)"
                   R"({"meter":"A10K1234","points":[[1765101600250,163,12],)"
                   R"([1765101601250,null,null],[1765101602250,0,13]]},)"
                   R"({"meter":"/dev/ttyS9","points":[]}]})"
                   "\n");
}

} // namespace
