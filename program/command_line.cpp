#include "program/command_line.h"

#include "console/console.h"
#include "link/platform.h"
#include "link/serial_port.h"
#include "modes/modes.h"
#include "ports/port_identity.h"

#include <cstdio>
#include <cstring>

namespace {

const char* port_root = "/";

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
        "  --watch SECONDS [--count N] [--csv | --json] PORT\n"
        "                     read the DAC and kWh values every SECONDS until Ctrl-C\n"
        "                     (or N samples)\n"
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

bool is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

// Whether `argument` is option `name`, alone or as name=VALUE; `value` is
// then what follows '=' or nullptr.
bool option_is(const char* argument, const char* name, const char*& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0) {
        return false;
    }
    if (argument[length] == '\0') {
        value = nullptr;
        return true;
    }
    value = argument + length + 1;
    return argument[length] == '=';
}

const char* const mode_options[] = {"--read",  "--set",  "--expect", "--watch",
                                    "--count", "--json", "--csv"};

bool is_mode_option(const char* argument) {
    const char* value;
    for (const char* name : mode_options) {
        if (option_is(argument, name, value)) {
            return true;
        }
    }
    return false;
}

int wrong_count(const char* option) {
    std::printf("wrong number of arguments for %s\n", option);
    print_usage();
    return 1;
}

int refuse(const char* what, const char* detail = "") {
    std::fprintf(stderr, "tolvaner: %s%s\n", what, detail);
    return status_failure;
}

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

ModeRequest mode_request;

// The modes: options from argv[first], the port last.
int run_mode_line(int argc, char** argv, int first, const char* trace) {
    ModeRequest& r = mode_request;
    r = ModeRequest{};
    r.trace_file = trace;
    const int port = argc - 1;
    bool ended = false;
    for (int i = first; i < port; ++i) {
        const char* a = argv[i];
        const char* value = nullptr;
        if (is(a, "--")) {
            if (i + 1 != port) {
                return refuse("only the port may follow --");
            }
            ended = true;
        } else if (option_is(a, "--read", value) && value == nullptr) {
            r.mode = r.mode == Mode::none || r.mode == Mode::read ? Mode::read : Mode::none;
        } else if (option_is(a, "--set", value) || option_is(a, "--expect", value)) {
            const bool expect = a[2] == 'e';
            Assignment* list = expect ? r.expects : r.sets;
            int& count = expect ? r.expect_count : r.set_count;
            const int before = count;
            // KEY=VALUE words up to the next option or the port.
            while (value != nullptr || (i + 1 < port && std::strncmp(argv[i + 1], "--", 2) != 0)) {
                const char* word = value != nullptr ? value : argv[++i];
                value = nullptr;
                if (count == max_assignments) {
                    return refuse("too many KEY=VALUE words");
                }
                if (const char* why = parse_assignment(word, expect, list[count])) {
                    return refuse(expect ? "--expect " : "--set ", why);
                }
                ++count;
            }
            if (count == before) {
                return refuse(expect ? "--expect" : "--set", " needs KEY=VALUE");
            }
            if (!expect) {
                r.mode = r.mode == Mode::none || r.mode == Mode::set ? Mode::set : Mode::none;
            }
        } else if (option_is(a, "--watch", value)) {
            const char* seconds = value_of(value, argv, i, port);
            if (seconds == nullptr || !read_seconds(seconds, r.period_ms)) {
                return refuse("--watch needs SECONDS, more than 0 and at most 86400: ",
                              seconds == nullptr ? "none given" : seconds);
            }
            r.mode = r.mode == Mode::none || r.mode == Mode::watch ? Mode::watch : Mode::none;
        } else if (option_is(a, "--count", value)) {
            const char* n = value_of(value, argv, i, port);
            if (n == nullptr || !read_count(n, r.count)) {
                return refuse("--count needs N from 1 to 1000000000: ",
                              n == nullptr ? "none given" : n);
            }
        } else if (is(a, "--json") || is(a, "--csv")) {
            const Format format = is(a, "--json") ? Format::json : Format::csv;
            if (r.format != Format::text && r.format != format) {
                return refuse("--csv and --json are one or the other");
            }
            r.format = format;
        } else {
            return refuse("unknown option here: ", a);
        }
        if (r.mode == Mode::none &&
            (option_is(a, "--read", value) || a[2] == 's' || option_is(a, "--watch", value))) {
            return refuse("--read, --set and --watch are one or the other");
        }
    }
    r.port = argv[port];
    if (!ended && std::strncmp(r.port, "--", 2) == 0) {
        return refuse("no PORT: it comes last (after -- if it starts with -)");
    }
    if (r.mode == Mode::none) {
        return refuse("--expect, --count, --csv and --json go with --read, --set or --watch");
    }
    if (r.expect_count > 0 && r.mode != Mode::set) {
        return refuse("--expect goes with --set");
    }
    if (r.count > 0 && r.mode != Mode::watch) {
        return refuse("--count goes with --watch");
    }
    if (r.format == Format::csv && r.mode != Mode::watch) {
        return refuse("--csv goes with --watch");
    }
    return run_mode(r);
}

// The console, the options that print and end, or a mode.
int dispatch(int argc, char** argv) {
    const char* first = argc >= 2 ? argv[1] : "";
    // "-h" only alone: "-h COM1" are two plain arguments, as they always were.
    // Any other argument that does not begin with "--" is a port name.
    const bool option = std::strncmp(first, "--", 2) == 0 || (argc == 2 && is(first, "-h"));
    if (!option) {
        if (argc != 2) {
            print_usage();
            return 1;
        }
        return run_console(argv[1], nullptr);
    }
    const char* value = nullptr;
    const char* trace = nullptr;
    int next = 1;
    if (option_is(first, "--trace", value)) {
        if (value == nullptr && argc < 3) {
            return wrong_count("--trace");
        }
        trace = value != nullptr ? value : argv[2];
        next = value != nullptr ? 2 : 3;
    } else if (is(first, "--")) {
        next = 2;
    }
    const int rest = argc - next;
    if (next > 1) {
        // A console session: the port alone, or after "--".
        if (rest == 1) {
            return run_console(argv[next], trace);
        }
        if (rest == 2 && is(argv[next], "--")) {
            return run_console(argv[next + 1], trace);
        }
    }
    if (rest >= 1 && (next > 1 || !is(first, "--")) && is_mode_option(argv[next])) {
        return run_mode_line(argc, argv, next, trace);
    }
    if (trace != nullptr) {
        return wrong_count("--trace");
    }
    // The argument count, program name included, that each option takes.
    const bool printing =
        is(first, "--help") || is(first, "-h") || is(first, "--version") || is(first, "--list");
    if (!printing || argc != 2) {
        std::printf("%s %s\n", printing ? "wrong number of arguments for" : "unknown option",
                    first);
        print_usage();
        return 1;
    }
    if (is(first, "--version")) {
        std::printf("tolvaner %s\n", TOLVANER_VERSION);
    } else if (is(first, "--list")) {
        list_ports(port_root);
    } else {
        print_help();
    }
    return 0;
}

} // namespace

void set_port_root(const char* root) { port_root = root; }

int run_tolvaner(int argc, char** argv) {
    // Before the trace file or the port can take the number of a standard
    // stream the program was started without.
    platform_guard_standard_streams();
    const int status = dispatch(argc, argv);
    // A list, a version or results lost to a full disk are no success either.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return 1;
    }
    return status;
}
