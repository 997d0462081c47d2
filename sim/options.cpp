#include "sim/options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <locale>
#include <sstream>
#include <string_view>
#include <utility>

namespace tolvaner::sim {

namespace {

constexpr std::array<Fault, 6> all_faults{Fault::none,     Fault::silent, Fault::corrupt,
                                          Fault::truncate, Fault::late,   Fault::noise};

bool parse_number(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end && !text.empty();
}

// Not std::from_chars: libc++ has it for integers only. Not strtod either: it
// reads the decimal point of whatever locale is set. The text must be a plain
// decimal number (digits, one point, an exponent), which the classic locale
// then converts.
bool parse_number(const std::string& text, double& value) {
    std::size_t i = 0;
    auto skip_digits = [&text, &i] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i - from;
    };
    auto skip = [&text, &i](std::string_view one_of) {
        const bool found = i < text.size() && one_of.find(text[i]) != std::string_view::npos;
        i += found ? 1 : 0;
        return found;
    };
    skip("-");
    std::size_t mantissa_digits = skip_digits();
    if (skip(".")) {
        mantissa_digits += skip_digits();
    }
    if (mantissa_digits == 0) {
        return false;
    }
    if (skip("eE")) {
        skip("+-");
        if (skip_digits() == 0) {
            return false;
        }
    }
    if (i != text.size()) {
        return false;
    }
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> value;
    return !in.fail();
}

std::string set_option(Options& options, const std::string& name, const std::string& value) {
    if (name == "--fault") {
        for (Fault f : all_faults) {
            if (value == fault_name(f)) {
                options.fault = f;
                return "";
            }
        }
        return "--fault: unknown mode '" + value +
               "' (one of none, silent, corrupt, truncate, late, noise)";
    }
    if (name == "--id") {
        bool printable = true;
        for (char c : value) {
            printable = printable && c >= 0x20 && c <= 0x7E;
        }
        if (value.empty() || value.size() > 4 || !printable) {
            return "--id: '" + value + "' is not 1 to 4 printable ASCII characters";
        }
        options.device.product_id = value;
        return "";
    }
    if (name == "--rev") {
        int rev = 0;
        if (!parse_number(value, rev) || rev < -128 || rev > 127) {
            return "--rev: '" + value + "' is not a whole number from -128 to 127";
        }
        options.device.revision = static_cast<std::int8_t>(rev);
        return "";
    }
    if (name == "--load") {
        double kw = 0;
        if (!parse_number(value, kw) || !std::isfinite(kw) || kw < 0 || kw > max_load_kw) {
            return "--load: '" + value + "' is not a number of kilowatts from 0 to 1000000";
        }
        options.device.load_kw = kw;
        return "";
    }
    // --link
    if (value.empty()) {
        return "--link: the path is empty";
    }
    options.link = value;
    return "";
}

bool takes_value(const std::string& name) {
    return name == "--fault" || name == "--id" || name == "--rev" || name == "--load" ||
           name == "--link";
}

ParsedOptions failed(std::string error) { return {std::nullopt, std::move(error)}; }

} // namespace

const char* fault_name(Fault fault) {
    switch (fault) {
    case Fault::none:
        return "none";
    case Fault::silent:
        return "silent";
    case Fault::corrupt:
        return "corrupt";
    case Fault::truncate:
        return "truncate";
    case Fault::late:
        return "late";
    case Fault::noise:
        return "noise";
    }
    return "none";
}

ParsedOptions parse_options(std::span<const std::string> args) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            options.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            if (options.program.empty()) {
                return failed("missing PROGRAM after --");
            }
            break;
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg == "--ack" || arg == "--trace") {
            (arg == "--ack" ? options.device.acknowledge_settings : options.trace) = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (takes_value(name)) {
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return failed(name + " needs a value");
            }
            if (std::string error = set_option(options, name, value); !error.empty()) {
                return failed(error);
            }
            continue;
        }
        if (arg.starts_with("-")) {
            return failed("unknown option '" + arg + "'");
        }
        return failed("unexpected argument '" + arg + "' (a program to run goes after --)");
    }
    return {std::move(options), ""};
}

std::string help_text() {
    return R"(Usage: tolvaner-sim [OPTIONS] [-- PROGRAM [ARGS...]]

Plays the metering device on a pseudo-terminal. Without PROGRAM it prints
"tolvaner-sim: device on PORT" and serves until SIGINT or SIGTERM. With PROGRAM
it runs PROGRAM ARGS... PORT and exits with PROGRAM's exit status.

Options:
  --fault MODE  none (default), silent (never answers), corrupt (flips the
                lowest bit of each answer's checksum), truncate (sends only the
                first 3 bytes of each answer), late (answers 700 ms after the
                request), noise (sends a stray 00 byte before each answer)
  --ack         answer every setting request with an empty frame of its opcode
  --trace       log every frame received and sent on standard error
  --id TEXT     product ID, 1 to 4 characters (default TLV1)
  --rev N       code revision level, -128 to 127 (default 12)
  --load KW     steady load behind the pulse input, 0 to 1000000 kW (default 2)
  --link PATH   also make PATH a symbolic link to the port, removed on exit
  --help        print this and exit

A wrong command line exits 2; a port that cannot be made exits 1.

Device:
  A request is whole when L+3 bytes have arrived; a pause over 100 ms within
  one drops it. Bad checksum, unknown opcode, wrong length or unknown readback
  item: no answer. Answers echo the request's opcode and leave at once.
  Settings [default]; a value out of range is ignored:
    V pulse value  1..65535 Wh per pulse                     [10]
    S full scale   range 1..8 = 1,2,5,10,20,50,100,200 kW    [4 = 10 kW]
    M output mode  1 instant, 2 average; reads back I or A   [1 = I]
    A interval     1..7 = 1,2,5,10,15,30,60 minutes          [3 = 5 minutes]
  D restores the defaults. T starts test mode: the DAC value steps 0..255,
  one step every 100 ms, round again, until the next setting taken.
  Readbacks: V, S (kW), M, A (minutes); K = kWh counted from the pulses the
  load makes (one per pulse value Wh), 16 bits, from 0 at start;
  D = 255 * power / full scale, rounded, at most 255, where power is the load
  (instant) or its average over the interval, time before start or before the
  interval was set counting as no load.
)";
}

} // namespace tolvaner::sim
