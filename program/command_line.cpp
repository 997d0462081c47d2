#include "program/command_line.h"

#include "console/console.h"
#include "modes/modes.h"
#include "ports/port_identity.h"
#include "service/serve.h"
#include "system/system.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void print_usage() {
    std::fputs("Enter: 'tolvaner      COMn' where n = 1-9\n"
               "Enter: 'tolvaner  \\\\.\\COMm' where m > 9\n",
               stdout);
}

void print_help() {
    print_usage();
    std::printf("  PORT               a serial port: %s\n", port_name_examples());
    std::fputs(
        "  --list             list the serial ports of this machine\n"
        "  --trace FILE PORT  run on PORT and append every frame on the line to FILE\n"
        "  --read [--json] PORT\n"
        "                     read every item once, one line each (or one JSON object)\n"
        "  --set KEY=VALUE... [--expect KEY=VALUE...] [--json] PORT\n"
        "                     set, then read back and check what was set or expected\n"
        "  --watch SECONDS [--count N] [--csv | --json] [--no-reconnect] PORT\n"
        "                     read the DAC and kWh values every SECONDS until Ctrl-C\n"
        "                     (or N samples)\n"
        "  --serve [ADDR:]PORTNUMBER [--watch SECONDS] PORT...\n"
        "                     sample every PORT every SECONDS (10) until stopped, and serve\n"
        "                     /metrics, /api/readings and a live page on 127.0.0.1 or ADDR\n"
        "  --mqtt URL [--mqtt-discovery[=PREFIX]] ... [--watch SECONDS] PORT...\n"
        "                     publish every PORT's readings to an MQTT broker (with --serve\n"
        "                     or without it); see the manual for --mqtt-ca and\n"
        "                     --mqtt-password-file\n"
        "  --no-reconnect     with --watch: end at the first port failure, as a one-shot\n"
        "  --                 end of the options: the port follows, even one starting with -\n"
        "  --version          print the version\n"
        "  -h, --help         print this help\n"
        "Keys: product_id code_revision pulse_value (v) full_scale (s) output_mode (m)\n"
        "      average_interval (a) dac_value kwh_value. An option's value may also\n"
        "      follow it after '=' (--trace=FILE). Exit status: 0 good, 1 command line or\n"
        "      port failure, 3 a query without a good reply, 4 a value not as set or\n"
        "      expected.\n"
        "The manual: man tolvaner, or tolvaner.txt beside tolvaner.exe on Windows.\n",
        stdout);
}

// ---- The options ----

// Those from `read` on are the modes' own, which come before the port.
enum class Option {
    help,
    version,
    list,
    trace,
    read,
    set,
    expect,
    watch,
    count,
    json,
    csv,
    no_reconnect
};

struct OptionName {
    const char* name;
    Option option;
};

constexpr OptionName option_table[] = {
    {"--help", Option::help},
    {"-h", Option::help},
    {"--version", Option::version},
    {"--list", Option::list},
    {"--trace", Option::trace},
    {"--read", Option::read},
    {"--set", Option::set},
    {"--expect", Option::expect},
    {"--watch", Option::watch},
    {"--count", Option::count},
    {"--json", Option::json},
    {"--csv", Option::csv},
    {"--no-reconnect", Option::no_reconnect},
};

bool of_the_modes(Option option) { return option >= Option::read; }

// --set and --expect take KEY=VALUE words instead.
bool takes_value(Option option) {
    return option == Option::trace || option == Option::watch || option == Option::count;
}

bool is(const char* argument, const char* text) { return std::strcmp(argument, text) == 0; }

// Whether `argument` is `name`, alone or as name=VALUE; `value` is then what
// follows '=' or nullptr.
bool named(const char* argument, const char* name, const char*& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 ||
        (argument[length] != '\0' && argument[length] != '=')) {
        return false;
    }
    value = argument[length] == '=' ? argument + length + 1 : nullptr;
    return true;
}

// The option `argument` names, with or without a value after '='.
const OptionName* find_option(const char* argument, const char*& value) {
    for (const OptionName& entry : option_table) {
        if (named(argument, entry.name, value)) {
            return &entry;
        }
    }
    return nullptr;
}

// ---- The request: everything the command line asks for, read whole before
// anything runs ----

enum class Action : std::uint8_t { usage, refuse, help, version, list, console, mode, serve };

constexpr int complaint_parts = 6;

struct Request {
    Action action;
    // Action::usage: the line before the usage lines, "unknown option" or
    // "wrong number of arguments for" and the option; nullptr for none.
    const char* usage_lead;
    const char* usage_option;
    // Action::refuse, or a mistake beside the usage lines: one line on
    // standard error after "tolvaner: ", in parts; nullptr ends them.
    const char* why[complaint_parts];
    const char* port;       // Action::console
    const char* trace_file; // nullptr: no trace (the modes get it in `mode` too)
    ModeRequest mode;       // Action::mode
    Refusal refusal;        // why a KEY=VALUE word was refused
    ServeRequest serve;     // Action::serve
};

// Fills `r` with a refusal; false, for the parser to return.
bool refuse(Request& r, const char* a, const char* b = nullptr, const char* c = nullptr,
            const char* d = nullptr, const char* e = nullptr) {
    r.action = Action::refuse;
    const char* parts[complaint_parts] = {a, b, c, d, e, nullptr};
    std::memcpy(r.why, parts, sizeof parts);
    return false;
}

void usage(Request& r, const char* lead = nullptr, const char* option = nullptr) {
    r.action = Action::usage;
    r.usage_lead = lead;
    r.usage_option = option;
}

const char* const wrong_number = "wrong number of arguments for";
const char* const unknown = "unknown option";

// Why an argument that begins with a dash is no option: "-read" is "--read"
// with one dash too few.
void unknown_option(Request& r, const char* argument) {
    const char* value;
    for (const OptionName& entry : option_table) {
        if (entry.name[1] == '-' && argument[1] != '-' && named(argument, entry.name + 1, value)) {
            refuse(r, "unknown option ", argument, " (an option begins with --: -", argument, ")");
            return;
        }
    }
    refuse(r, "unknown option ", argument, " (tolvaner --help lists the options)");
}

// Beside the usage lines, one line on standard error for a mistyped option
// or an option after the port among argv[from] on. Plain arguments alone
// (two ports, none) are a wrong count, which the usage lines say.
void find_mistake(int argc, char** argv, int from, Request& r) {
    const char* port = nullptr;
    for (int i = from; i < argc; ++i) {
        const char* a = argv[i];
        const char* value = nullptr;
        const OptionName* entry = find_option(a, value);
        const bool ends = is(a, "--");
        if (port != nullptr && (entry != nullptr || ends)) {
            refuse(r, a, " after the port ", port, ": the port comes last");
            return;
        }
        if (ends) {
            if (argc - i > 2) {
                refuse(r, "only the port may follow --");
            }
            return;
        }
        if (entry == nullptr && a[0] == '-' && a[1] != '\0') {
            unknown_option(r, a);
            return;
        }
        if (entry == nullptr) {
            port = a;
        } else if (!of_the_modes(entry->option) && entry->option != Option::trace) {
            refuse(r, a, " goes alone");
            return;
        } else if (takes_value(entry->option) && value == nullptr) {
            ++i;
        }
    }
}

// ---- The modes' values ----

// Seconds with up to three decimals, as milliseconds: 0.001 to 86400.
bool read_seconds(const char* text, std::uint32_t& ms) {
    std::uint64_t whole = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9' && whole <= 86400; ++p) {
        whole = whole * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    std::uint64_t fraction = 0;
    int digits = 0;
    const bool any_whole = p != text;
    if (*p == '.') {
        for (++p; *p >= '0' && *p <= '9' && digits < 3; ++p, ++digits) {
            fraction = fraction * 10 + static_cast<std::uint64_t>(*p - '0');
        }
    }
    if (*p != '\0' || (!any_whole && digits == 0)) {
        return false;
    }
    for (; digits < 3; ++digits) {
        fraction *= 10;
    }
    const std::uint64_t total = whole * 1000 + fraction;
    ms = static_cast<std::uint32_t>(total);
    return total >= 1 && total <= 86400000;
}

bool read_count(const char* text, std::uint32_t& count) {
    std::uint64_t n = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9' && n <= 1000000000; ++p) {
        n = n * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    count = static_cast<std::uint32_t>(n);
    return p != text && *p == '\0' && n >= 1 && n <= 1000000000;
}

// The value of option argv[i]: after '=', else the next argument before the
// port; nullptr when there is none.
const char* value_of(const char* inline_value, char** argv, int& i, int port) {
    if (inline_value != nullptr) {
        return inline_value;
    }
    if (i + 1 < port) {
        return argv[++i];
    }
    return nullptr;
}

// The KEY=VALUE words of --set or --expect at argv[i]: after '=', then up to
// the next option or the port. An item named twice, by key or by letter,
// would be set or checked against two values.
bool take_assignments(char** argv, int& i, int port, const char* value, bool expect, Request& r) {
    ModeRequest& m = r.mode;
    Assignment* list = expect ? m.expects : m.sets;
    int& count = expect ? m.expect_count : m.set_count;
    const char* option = expect ? "--expect" : "--set";
    const int before = count;
    while (value != nullptr || (i + 1 < port && std::strncmp(argv[i + 1], "--", 2) != 0)) {
        const char* word = value != nullptr ? value : argv[++i];
        value = nullptr;
        if (count == max_assignments) {
            return refuse(r, "too many KEY=VALUE words");
        }
        if (const char* why = parse_assignment(word, expect, list[count], r.refusal)) {
            return refuse(r, option, " ", why);
        }
        for (int k = 0; k < count; ++k) {
            if (list[k].item == list[count].item) {
                return refuse(r, option, " ", list[k].item->key, ": given twice");
            }
        }
        ++count;
    }
    return count > before || refuse(r, option, " needs KEY=VALUE");
}

// The modes: options from argv[first], the port last.
bool parse_mode(int argc, char** argv, int first, Request& r) {
    ModeRequest& m = r.mode;
    m.trace_file = r.trace_file;
    const int port = argc - 1;
    bool ended = false;
    for (int i = first; i < port; ++i) {
        const char* a = argv[i];
        if (is(a, "--")) {
            if (i + 1 != port) {
                return refuse(r, "only the port may follow --");
            }
            ended = true;
            continue;
        }
        const char* value = nullptr;
        const OptionName* entry = find_option(a, value);
        if (entry == nullptr && a[0] == '-') {
            unknown_option(r, a);
            return false;
        }
        if (entry == nullptr && std::strncmp(argv[port], "--", 2) == 0) {
            return refuse(r, argv[port], " after the port ", a, ": the port comes last");
        }
        // --read, --json and --csv take no value.
        if (entry == nullptr || !of_the_modes(entry->option) ||
            (value != nullptr &&
             (entry->option == Option::read || entry->option >= Option::json))) {
            return refuse(r, "unknown option here: ", a);
        }
        const Option o = entry->option;
        const bool watch = o == Option::watch;
        const Mode chosen = o == Option::read  ? Mode::read
                            : o == Option::set ? Mode::set
                            : watch            ? Mode::watch
                                               : Mode::none;
        if (o == Option::set || o == Option::expect) {
            if (!take_assignments(argv, i, port, value, o == Option::expect, r)) {
                return false;
            }
        } else if (watch || o == Option::count) {
            const char* text = value_of(value, argv, i, port);
            if (text == nullptr ||
                !(watch ? read_seconds(text, m.period_ms) : read_count(text, m.count))) {
                return refuse(r,
                              watch ? "--watch needs SECONDS, more than 0 and at most 86400: "
                                    : "--count needs N from 1 to 1000000000: ",
                              text == nullptr ? "none given" : text);
            }
        } else if (o == Option::no_reconnect) {
            m.no_reconnect = true;
        } else if (o != Option::read) {
            const Format format = o == Option::json ? Format::json : Format::csv;
            if (m.format != Format::text && m.format != format) {
                return refuse(r, "--csv and --json are one or the other");
            }
            m.format = format;
        }
        if (chosen != Mode::none && m.mode != Mode::none && m.mode != chosen) {
            return refuse(r, "--read, --set and --watch are one or the other");
        }
        m.mode = chosen != Mode::none ? chosen : m.mode;
    }
    m.port = argv[port];
    if (!ended && std::strncmp(m.port, "--", 2) == 0) {
        return refuse(r, "no PORT: it comes last (after -- if it starts with -)");
    }
    if (m.expect_count > 0 && m.mode != Mode::set) {
        return refuse(r, "--expect goes with --set");
    }
    if (m.count > 0 && m.mode != Mode::watch) {
        return refuse(r, "--count goes with --watch");
    }
    if (m.format == Format::csv && m.mode != Mode::watch) {
        return refuse(r, "--csv goes with --watch");
    }
    if (m.no_reconnect && m.mode != Mode::watch) {
        return refuse(r, "--no-reconnect goes with --watch");
    }
    if (m.mode == Mode::none) {
        return refuse(r, "--json goes with --read, --set or --watch");
    }
    r.action = Action::mode;
    return true;
}

// The long-running run: --serve and --mqtt options, --watch for the period,
// then one or more ports.
bool wants_serve(int argc, char** argv) {
    for (int i = 1; i < argc && !is(argv[i], "--"); ++i) {
        if (std::strncmp(argv[i], "--serve", 7) == 0 || std::strncmp(argv[i], "--mqtt", 6) == 0) {
            return true;
        }
    }
    return false;
}

bool parse_serve(int argc, char** argv, Request& r) {
    ServeRequest& s = r.serve;
    s.period_ms = 10000;
    s.list_root = nullptr; // set by run()
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const char* a = argv[i];
        if (is(a, "--")) {
            ++i;
            break;
        }
        const char* value = nullptr;
        const char* equals = std::strchr(a, '=');
        char name[40];
        const std::size_t length =
            equals != nullptr ? static_cast<std::size_t>(equals - a) : std::strlen(a);
        if (length >= sizeof name) {
            unknown_option(r, a);
            return false;
        }
        std::memcpy(name, a, length);
        name[length] = '\0';
        value = equals != nullptr ? equals + 1 : nullptr;
        // --mqtt-discovery takes its prefix only after '='.
        const bool optional = is(name, "--mqtt-discovery");
        const bool known = is(name, "--serve") || is(name, "--watch") || is(name, "--mqtt") ||
                           is(name, "--mqtt-ca") || is(name, "--mqtt-password-file") || optional;
        if (!known) {
            unknown_option(r, a);
            return false;
        }
        if (value == nullptr && !optional) {
            if (i + 1 >= argc) {
                return refuse(r, name, " needs a value");
            }
            value = argv[++i];
        }
        if (is(name, "--serve")) {
            if (s.serve_address != nullptr) {
                return refuse(r, "--serve given twice");
            }
            s.serve_address = value;
        } else if (is(name, "--watch")) {
            if (!read_seconds(value, s.period_ms)) {
                return refuse(r, "--watch needs SECONDS, more than 0 and at most 86400: ", value);
            }
        } else {
            if (s.mqtt_count == 8) {
                return refuse(r, "too many --mqtt options");
            }
            s.mqtt_names[s.mqtt_count] = is(name, "--mqtt")      ? "--mqtt"
                                         : is(name, "--mqtt-ca") ? "--mqtt-ca"
                                         : optional              ? "--mqtt-discovery"
                                                                 : "--mqtt-password-file";
            s.mqtt_values[s.mqtt_count++] = value;
        }
    }
    for (; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0) {
            return refuse(r, argv[i], " after the ports: the ports come last");
        }
        if (s.port_count == board_max_meters) {
            return refuse(r, "at most 16 ports");
        }
        for (int k = 0; k < s.port_count; ++k) {
            if (is(s.ports[k], argv[i])) {
                return refuse(r, "port ", argv[i], " given twice");
            }
        }
        s.ports[s.port_count++] = argv[i];
    }
    if (s.port_count == 0) {
        return refuse(r, "no PORT: name one or more after the options");
    }
    r.action = Action::serve;
    return true;
}

// The console, the options that print and end, or a mode.
void parse(int argc, char** argv, Request& r) {
    const char* first = argc >= 2 ? argv[1] : "";
    // "-h" only alone: "-h COM1" are two plain arguments, as they always were.
    // Any other argument that does not begin with "--" is a port name.
    if (std::strncmp(first, "--", 2) != 0 && !(argc == 2 && is(first, "-h"))) {
        if (argc != 2) {
            find_mistake(argc, argv, 1, r);
            return usage(r);
        }
        r.action = Action::console;
        r.port = first;
        return;
    }
    if (wants_serve(argc, argv)) {
        parse_serve(argc, argv, r);
        return;
    }
    const char* value = nullptr;
    const OptionName* entry = find_option(first, value);
    const bool ends_options = is(first, "--");
    int next = ends_options ? 2 : 1;
    if (entry != nullptr && entry->option == Option::trace) {
        if (value == nullptr && argc < 3) {
            return usage(r, wrong_number, "--trace");
        }
        r.trace_file = value != nullptr ? value : argv[2];
        next = value != nullptr ? 2 : 3;
    }
    const int rest = argc - next;
    if (next > 1) {
        // A console session: the port alone, or after "--".
        if (rest == 1 || (rest == 2 && is(argv[next], "--"))) {
            r.action = Action::console;
            r.port = argv[argc - 1];
            return;
        }
    }
    const char* ignored;
    const OptionName* after = rest >= 1 ? find_option(argv[next], ignored) : nullptr;
    if (!ends_options && after != nullptr && of_the_modes(after->option)) {
        parse_mode(argc, argv, next, r);
        return;
    }
    if (ends_options) {
        // After "--" comes the port alone.
        if (rest > 0) {
            refuse(r, "only the port may follow --");
        }
        return usage(r, unknown, first);
    }
    if (r.trace_file != nullptr) {
        find_mistake(argc, argv, next, r);
        return usage(r, wrong_number, "--trace");
    }
    const bool printing = entry != nullptr && value == nullptr && !of_the_modes(entry->option);
    if (!printing) {
        unknown_option(r, first);
        return usage(r, unknown, first);
    }
    if (argc != 2) {
        return usage(r, wrong_number, first);
    }
    r.action = entry->option == Option::version ? Action::version
               : entry->option == Option::list  ? Action::list
                                                : Action::help;
}

void complain(const Request& r) {
    if (r.why[0] == nullptr) {
        return;
    }
    // In order, where both streams go to one file.
    std::fflush(stdout);
    std::fputs("tolvaner: ", stderr);
    for (const char* part : r.why) {
        if (part == nullptr) {
            break;
        }
        std::fputs(part, stderr);
    }
    std::fputc('\n', stderr);
}

int run(const Request& r, const Surroundings& around) {
    switch (r.action) {
    case Action::usage:
        if (r.usage_lead != nullptr) {
            std::printf("%s %s\n", r.usage_lead, r.usage_option);
        }
        print_usage();
        complain(r);
        return 1;
    case Action::refuse:
        complain(r);
        return status_failure;
    case Action::help:
        print_help();
        return 0;
    case Action::version:
        std::printf("tolvaner %s\n", TOLVANER_VERSION);
        return 0;
    case Action::list:
        list_ports(around.port_root);
        return 0;
    case Action::console:
        return run_console(*around.link, r.port, r.trace_file, around.input, around.port_root);
    case Action::mode:
        return run_mode(*around.link, r.mode, around.port_root);
    case Action::serve: {
        ServeRequest serve = r.serve;
        serve.list_root = around.port_root;
        return run_serve(serve, around.fronts);
    }
    }
    return 1;
}

} // namespace

int run_tolvaner(int argc, char** argv, const Surroundings& around) {
    // Before the trace file or the port can take the number of a standard
    // stream the program was started without.
    system_guard_standard_streams();
    around.link->trace = around.trace;
    Request request{};
    parse(argc, argv, request);
    const int status = run(request, around);
    // The port is closed, the device's gap after the last byte paid: a
    // SIGINT or SIGTERM held until now ends the program as it would have.
    if (status == status_signalled) {
        system_end_by_signal(system_held_signal());
    }
    // A list, a version or results lost to a full disk are no success either.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return 1;
    }
    return status;
}
