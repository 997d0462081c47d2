#include "web/meter_formats.h"

#include "protocol/device_items.h"

#include <cstdio>
#include <cstring>

namespace {

// --- Text ------------------------------------------------------------------

void append_format_int(std::string& out, long long value) {
    char text[24];
    const int n = std::snprintf(text, sizeof text, "%lld", value);
    out.append(text, static_cast<std::size_t>(n));
}

bool is_printable(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

// --- The device's items ------------------------------------------------------

int item_index(const char* key) {
    for (int i = 0; i < device_item_count; ++i) {
        if (std::strcmp(device_items[i].key, key) == 0) {
            return i;
        }
    }
    return 0;
}

bool is_text(const DeviceItem& item) {
    return item.decode == ItemDecode::text || item.decode == ItemDecode::character;
}

// The value of an item the meter gives now: nullptr unless it is up and the
// item was read well.
const ItemValue* current(const MeterState& meter, const char* key) {
    const ItemValue& value = meter.items[item_index(key)];
    return meter.status == MeterStatus::up && value.good ? &value : nullptr;
}

int text_length(const ItemValue& value) {
    const int n = value.text_length;
    return n < 0                                     ? 0
           : n > static_cast<int>(sizeof value.text) ? static_cast<int>(sizeof value.text)
                                                     : n;
}

// --- Metrics -----------------------------------------------------------------

enum class Kind : std::uint8_t { gauge, counter, info };

struct Family {
    const char* name; // the family's name; a counter's samples add _total, an info's _info
    Kind kind;
    const char* unit; // OpenMetrics' UNIT, a suffix of the name; "" for none
    const char* help;
};

// In the order they are written.
enum FamilyId : std::uint8_t {
    up,
    reads,
    read_errors,
    reconnects,
    last_good,
    meter_info,
    dac_value,
    energy,
    pulse_value,
    full_scale,
    average_interval,
    family_count,
};

const Family families[family_count] = {
    {"tolvaner_up", Kind::gauge, "", "1 while the meter answered its last poll, else 0"},
    {"tolvaner_reads", Kind::counter, "", "Polls of the meter"},
    {"tolvaner_read_errors", Kind::counter, "", "Polls of the meter without a good reply"},
    {"tolvaner_reconnects", Kind::counter, "",
     "Times the meter's port came back after it was lost"},
    {"tolvaner_last_good_reading_timestamp_seconds", Kind::gauge, "seconds",
     "When the meter last gave a good reading, in seconds since the Unix epoch"},
    {"tolvaner_meter", Kind::info, "",
     "The meter's port, product ID, code revision level and output mode (I instant, A average)"},
    {"tolvaner_dac_value", Kind::gauge, "", "The meter's most recent DAC value, 0 to 255"},
    {"tolvaner_energy_joules", Kind::counter, "joules",
     "The meter's kWh register in joules (1 kWh is 3600000 J); it wraps after 65535 kWh"},
    {"tolvaner_pulse_value_joules", Kind::gauge, "joules",
     "Energy per output pulse (the pulse value in watt-hours times 3600)"},
    {"tolvaner_full_scale_watts", Kind::gauge, "watts", "The full scale of the DAC output"},
    {"tolvaner_average_interval_seconds", Kind::gauge, "seconds",
     "The averaging interval of the average output mode"},
};

const char* kind_name(Kind kind, MetricsFormat format) {
    switch (kind) {
    case Kind::counter:
        return "counter";
    case Kind::info:
        return format == MetricsFormat::openmetrics ? "info" : "gauge";
    case Kind::gauge:
        break;
    }
    return "gauge";
}

void append_sample_name(std::string& out, const Family& family) {
    out += family.name;
    if (family.kind == Kind::counter) {
        out += "_total";
    } else if (family.kind == Kind::info) {
        out += "_info";
    }
}

void append_family_header(std::string& out, const Family& family, MetricsFormat format) {
    // The text format names a family by its samples, OpenMetrics by itself.
    const bool om = format == MetricsFormat::openmetrics;
    for (const char* line : {"# HELP ", "# TYPE ", "# UNIT "}) {
        if (line[2] == 'U' && (!om || family.unit[0] == '\0')) {
            continue;
        }
        out += line;
        if (om) {
            out += family.name;
        } else {
            append_sample_name(out, family);
        }
        out += ' ';
        switch (line[2]) {
        case 'H':
            out += family.help; // plain ASCII with nothing to escape
            break;
        case 'T':
            out += kind_name(family.kind, format);
            break;
        default:
            out += family.unit;
        }
        out += '\n';
    }
}

void append_label(std::string& out, const char* name, const char* bytes, int count) {
    out += ',';
    out += name;
    out += "=\"";
    append_label_value(out, bytes, count);
    out += '"';
}

void append_label(std::string& out, const char* name, const char* text) {
    append_label(out, name, text, static_cast<int>(std::strlen(text)));
}

void append_item_label(std::string& out, const char* name, const MeterState& meter) {
    const ItemValue* value = current(meter, name);
    if (value == nullptr) {
        append_label(out, name, "");
    } else if (is_text(device_items[item_index(name)])) {
        append_label(out, name, value->text, text_length(*value));
    } else {
        char number[16];
        std::snprintf(number, sizeof number, "%d", static_cast<int>(value->number));
        append_label(out, name, number);
    }
}

// Writes the family's sample of `meter` to `out` (when not nullptr); false
// when the meter has none.
bool sample(std::string* out, FamilyId id, const MeterState& meter) {
    long long value = 0;
    bool fraction = false; // value is in thousandths
    const ItemValue* item = nullptr;
    const auto scaled = [&](const char* key, long long factor) {
        item = current(meter, key);
        value = item != nullptr ? item->number * factor : 0;
        return item != nullptr;
    };
    switch (id) {
    case up:
        value = meter.status == MeterStatus::up ? 1 : 0;
        break;
    case reads:
        value = static_cast<long long>(meter.reads_total);
        break;
    case read_errors:
        value = static_cast<long long>(meter.read_errors_total);
        break;
    case reconnects:
        value = static_cast<long long>(meter.reconnects_total);
        break;
    case last_good:
        if (meter.good_ms <= 0) {
            return false;
        }
        value = meter.good_ms;
        fraction = true;
        break;
    case meter_info:
        if (meter.status != MeterStatus::up) {
            return false;
        }
        value = 1;
        break;
    case dac_value:
        if (!scaled("dac_value", 1)) {
            return false;
        }
        break;
    case energy:
        if (!scaled("kwh_value", 3600000)) {
            return false;
        }
        break;
    case pulse_value:
        if (!scaled("pulse_value", 3600)) {
            return false;
        }
        break;
    case full_scale:
        if (!scaled("full_scale", 1000)) {
            return false;
        }
        break;
    case average_interval:
        if (!scaled("average_interval", 60)) {
            return false;
        }
        break;
    case family_count:
        return false;
    }
    if (out == nullptr) {
        return true;
    }
    std::string& o = *out;
    append_sample_name(o, families[id]);
    o += "{meter=\"";
    const char* name = meter_name(meter);
    append_label_value(o, name, static_cast<int>(std::strlen(name)));
    o += '"';
    if (id == meter_info) {
        append_label(o, "port", meter.port);
        append_item_label(o, "product_id", meter);
        append_item_label(o, "code_revision", meter);
        append_item_label(o, "output_mode", meter);
    }
    o += "} ";
    if (fraction) {
        append_format_int(o, value / 1000);
        char thousandths[8];
        std::snprintf(thousandths, sizeof thousandths, ".%03d", static_cast<int>(value % 1000));
        o += thousandths;
    } else {
        append_format_int(o, value);
    }
    o += '\n';
    return true;
}

// --- Accept ------------------------------------------------------------------

bool same_word(const char* a, int a_length, const char* b) {
    const int n = static_cast<int>(std::strlen(b));
    if (a_length != n) {
        return false;
    }
    for (int i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

// A quality value ("0", "0.5", "1.000") in thousandths; -1 when malformed.
int quality(const char* text, int length) {
    if (length < 1 || (text[0] != '0' && text[0] != '1')) {
        return -1;
    }
    int value = (text[0] - '0') * 1000;
    if (length == 1) {
        return value;
    }
    if (text[1] != '.' || length > 5) {
        return -1;
    }
    int scale = 100;
    for (int i = 2; i < length; ++i, scale /= 10) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value += (text[i] - '0') * scale;
    }
    return value > 1000 ? -1 : value;
}

void trim(const char*& begin, const char*& end) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) {
        ++begin;
    }
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) {
        --end;
    }
}

// --- JSON --------------------------------------------------------------------

void append_json_time(std::string& out, std::int64_t ms) {
    if (ms <= 0) {
        out += "null";
        return;
    }
    char text[40];
    format_utc_ms(text, sizeof text, ms);
    out += '"';
    out += text;
    out += '"';
}

void append_json_text_or_null(std::string& out, const char* text) {
    if (text[0] == '\0') {
        out += "null";
    } else {
        append_json_string(out, text, static_cast<int>(std::strlen(text)));
    }
}

void append_json_item(std::string& out, const DeviceItem& item, const MeterState& meter) {
    const ItemValue* value = current(meter, item.key);
    if (value == nullptr) {
        out += "null";
    } else if (is_text(item)) {
        append_json_string(out, value->text, text_length(*value));
    } else {
        append_format_int(out, value->number);
    }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(long long days, int& year, int& month, int& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

} // namespace

const char* meter_name(const MeterState& meter) {
    return meter.label[0] != '\0' ? meter.label : meter.given;
}

const char* meter_status_name(MeterStatus status) {
    switch (status) {
    case MeterStatus::starting:
        return "starting";
    case MeterStatus::up:
        return "up";
    case MeterStatus::no_reply:
        return "no_reply";
    case MeterStatus::port_lost:
        return "port_lost";
    case MeterStatus::port_held:
        return "port_held";
    }
    return "starting";
}

void format_utc_ms(char* out, int capacity, std::int64_t ms) {
    const long long whole = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int millis = static_cast<int>(ms - whole * 1000);
    const long long days = whole >= 0 ? whole / 86400 : (whole - 86399) / 86400;
    const long long rest = whole - days * 86400;
    int year = 0;
    int month = 0;
    int day = 0;
    civil_from_days(days, year, month, day);
    std::snprintf(out, static_cast<std::size_t>(capacity), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                  year, month, day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60), millis);
}

void append_label_value(std::string& out, const char* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '"') {
            out += "\\\"";
        } else if (is_printable(byte)) {
            out += static_cast<char>(byte);
        } else {
            // The console's \xNN, its backslash escaped for the format.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\\\x%02X", static_cast<unsigned>(byte));
            out += escaped;
        }
    }
}

void append_json_string(std::string& out, const char* bytes, int count) {
    out += '"';
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (is_printable(byte)) {
            out += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(byte));
            out += escaped;
        }
    }
    out += '"';
}

MetricsFormat metrics_format_for(const char* accept) {
    if (accept == nullptr) {
        return MetricsFormat::prometheus;
    }
    int best_openmetrics = 0;
    int best_text = 0;
    const char* p = accept;
    while (*p != '\0') {
        const char* end = p;
        while (*end != '\0' && *end != ',') {
            ++end;
        }
        // media-type *( ";" parameter )
        const char* type_begin = p;
        const char* type_end = p;
        while (type_end < end && *type_end != ';') {
            ++type_end;
        }
        trim(type_begin, type_end);
        int q = 1000;
        bool version_ok = true;
        bool openmetrics = same_word(type_begin, static_cast<int>(type_end - type_begin),
                                     "application/openmetrics-text");
        for (const char* param = type_end; param < end;) {
            const char* param_end = param + 1;
            while (param_end < end && *param_end != ';') {
                ++param_end;
            }
            const char* key = param + 1;
            const char* equals = key;
            while (equals < param_end && *equals != '=') {
                ++equals;
            }
            const char* key_end = equals;
            trim(key, key_end);
            const char* value = equals < param_end ? equals + 1 : param_end;
            const char* value_end = param_end;
            trim(value, value_end);
            const int key_length = static_cast<int>(key_end - key);
            const int value_length = static_cast<int>(value_end - value);
            if (same_word(key, key_length, "q")) {
                q = quality(value, value_length);
            } else if (same_word(key, key_length, "version")) {
                version_ok = same_word(value, value_length, openmetrics ? "1.0.0" : "0.0.4");
            }
            param = param_end;
        }
        const int type_length = static_cast<int>(type_end - type_begin);
        if (q > 0 && version_ok) {
            if (openmetrics) {
                best_openmetrics = q > best_openmetrics ? q : best_openmetrics;
            } else if (same_word(type_begin, type_length, "text/plain") ||
                       same_word(type_begin, type_length, "text/*") ||
                       same_word(type_begin, type_length, "*/*")) {
                best_text = q > best_text ? q : best_text;
            }
        }
        p = *end == ',' ? end + 1 : end;
    }
    return best_openmetrics > 0 && best_openmetrics >= best_text ? MetricsFormat::openmetrics
                                                                 : MetricsFormat::prometheus;
}

const char* metrics_content_type(MetricsFormat format) {
    return format == MetricsFormat::openmetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

void render_metrics(std::string& out, const MeterState* meters, int count, MetricsFormat format) {
    for (int f = 0; f < family_count; ++f) {
        const auto id = static_cast<FamilyId>(f);
        bool any = false;
        for (int m = 0; m < count && !any; ++m) {
            any = sample(nullptr, id, meters[m]);
        }
        if (!any) {
            continue; // no samples: no header either
        }
        append_family_header(out, families[f], format);
        for (int m = 0; m < count; ++m) {
            sample(&out, id, meters[m]);
        }
    }
    // Which program made them, on every scrape.
    const Family build = {"tolvaner_build", Kind::info, "",
                          "The tolvaner that serves these metrics"};
    append_family_header(out, build, format);
    out += "tolvaner_build_info{version=\"" TOLVANER_VERSION "\"} 1\n";
    if (format == MetricsFormat::openmetrics) {
        out += "# EOF\n";
    }
}

void render_readings_json(std::string& out, const MeterState* meters, int count,
                          std::int64_t now_ms) {
    out += "{\"now\":";
    append_json_time(out, now_ms);
    out += ",\"meters\":[";
    for (int m = 0; m < count; ++m) {
        const MeterState& meter = meters[m];
        out += m == 0 ? "{" : ",{";
        out += "\"meter\":";
        const char* name = meter_name(meter);
        append_json_string(out, name, static_cast<int>(std::strlen(name)));
        out += ",\"status\":\"";
        out += meter_status_name(meter.status);
        out += "\",\"cause\":";
        append_json_text_or_null(out, meter.cause);
        out += ",\"time\":";
        append_json_time(out, meter.polled_ms);
        out += ",\"last_good\":";
        append_json_time(out, meter.good_ms);
        out += ",\"device\":";
        append_json_text_or_null(out, meter.port);
        out += ",\"serial\":";
        append_json_text_or_null(out, meter.serial);
        out += ",\"reads\":";
        append_format_int(out, static_cast<long long>(meter.reads_total));
        out += ",\"read_errors\":";
        append_format_int(out, static_cast<long long>(meter.read_errors_total));
        out += ",\"reconnects\":";
        append_format_int(out, static_cast<long long>(meter.reconnects_total));
        // Then what --read --json has, in its order.
        out += ",\"port\":";
        append_json_string(out, meter.given, static_cast<int>(std::strlen(meter.given)));
        for (const DeviceItem& item : device_items) {
            out += ",\"";
            out += item.key;
            out += "\":";
            append_json_item(out, item, meter);
        }
        out += '}';
    }
    out += "]}\n";
}

void render_history_json(std::string& out, const MeterPoints* meters, int count,
                         std::int64_t since_ms, std::int64_t now_ms) {
    out += "{\"now\":";
    append_format_int(out, now_ms);
    out += ",\"since\":";
    append_format_int(out, since_ms);
    out += ",\"meters\":[";
    for (int m = 0; m < count; ++m) {
        out += m == 0 ? "{\"meter\":" : ",{\"meter\":";
        const char* name = meter_name(*meters[m].meter);
        append_json_string(out, name, static_cast<int>(std::strlen(name)));
        out += ",\"points\":[";
        for (int i = 0; i < meters[m].count; ++i) {
            const HistoryPoint& p = meters[m].points[i];
            out += i == 0 ? "[" : ",[";
            append_format_int(out, p.ms);
            if (p.good) {
                out += ',';
                append_format_int(out, p.dac_value);
                out += ',';
                append_format_int(out, p.kwh_value);
                out += ']';
            } else {
                out += ",null,null]";
            }
        }
        out += "]}";
    }
    out += "]}\n";
}
