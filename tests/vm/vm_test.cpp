// tolvaner on real kernel serial drivers, each in a virtual machine of its
// own: a 16550 UART (8250), an FTDI USB adapter (ftdi_sio) and a CDC-ACM
// device (cdc_acm, on an in-guest gadget). The guest's init (init.sh) runs the
// program and reports; this side boots the machine, plays the device where it
// is on the host's side of the line, unplugs the adapter through the QEMU
// monitor when the guest asks, and judges the report row by row.
#include "tests/support/harness.h"
#include "tests/support/pacing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <pthread.h>
#include <regex>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace harness;
namespace fs = std::filesystem;

namespace {

const std::string kernel_dir = TOLVANER_VM_KERNEL_DIR;
const std::string qemu_path = TOLVANER_QEMU;
const std::string busybox_path = TOLVANER_BUSYBOX;
const std::string modinfo_path = TOLVANER_MODINFO;
const std::string cpio_path = TOLVANER_CPIO;
const std::string console_path = TOLVANER_PATH;
const std::string init_script = TOLVANER_VM_INIT;
const std::string chrt_path = "/usr/bin/chrt";

// Booting, every check and both unplugs, under software emulation on a busy
// machine; a guest that hangs is stopped here.
constexpr auto run_limit = 240s;

// The input of the guest's whole session: every setting, then every readback.
const std::string session_input = "i c v 1000 s 5 m 2 a 6 r v r s r m r a r k x";

struct Driver {
    const char* name;
    std::vector<std::string> modules; // what the guest loads, dependencies found here
    std::vector<std::string> qemu_args;
    bool host_device; // the device is played on the host's side of a QEMU pty
    bool unplugs;
    const char* listed; // the line `tolvaner --list` must show for the port
    bool stalls = true; // a device that stops reading stalls the driver's output
};

// The emulated adapter's USB serial number, kept when it is plugged back in
// (QEMU's own is made from the socket it sits in, and changes with it).
const std::string adapter_serial = "VM000001";

const Driver drivers[] = {
    {"uart_8250",
     {},
     {"-chardev", "pty,id=line", "-serial", "chardev:line"},
     true,
     false,
     "^/dev/ttyS1  driver=serial(8250)?$"},
    {"ftdi",
     {"xhci-pci", "ftdi_sio"},
     {"-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=line", "-device",
      "usb-serial,chardev=line,bus=xhci.0,id=adapter0,serial=" + adapter_serial},
     true,
     true,
     "^/dev/ttyUSB0  driver=ftdi_sio usb=0403:6001 .*product=\"[^\"]+\"",
     false},
    {"acm",
     {"dummy_hcd", "usb_f_acm", "cdc-acm"},
     {},
     false,
     true,
     "^/dev/ttyACM0  driver=cdc_acm usb=[0-9a-f]{4}:[0-9a-f]{4}"},
};

std::string skip_reason() {
    if (qemu_path.empty() || access(qemu_path.c_str(), X_OK) != 0) {
        return "QEMU is not installed (Debian package qemu-system-x86)";
    }
    for (const auto& [path, package] :
         {std::pair{busybox_path, "busybox-static"}, std::pair{modinfo_path, "kmod"},
          std::pair{cpio_path, "cpio"}}) {
        if (path.empty() || access(path.c_str(), X_OK) != 0) {
            return std::string("a tool is missing (Debian package ") + package + ")";
        }
    }
    std::error_code ec;
    if (!fs::is_directory(kernel_dir + "/boot", ec)) {
        return "no kernel in " + kernel_dir + " (scripts/vm-kernel " + kernel_dir + " fetches it)";
    }
    return "";
}

std::string first_match(const std::string& dir, const std::string& prefix) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            return entry.path().string();
        }
    }
    return "";
}

// Module names use - and _ alike.
std::string module_key(std::string name) {
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// The module files `wanted` needs, each after what it depends on.
std::vector<std::string> modules_in_order(const std::string& tree,
                                          const std::vector<std::string>& wanted) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(tree, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".ko")) {
            files[module_key(name.substr(0, name.size() - 3))] = entry.path().string();
        }
    }
    std::vector<std::string> order;
    std::set<std::string> seen;
    std::function<void(const std::string&)> visit = [&](const std::string& name) {
        const std::string key = module_key(name);
        if (!seen.insert(key).second) {
            return;
        }
        auto file = files.find(key);
        if (file == files.end()) {
            ADD_FAILURE() << "module " << name << " is not in " << tree;
            return;
        }
        Process modinfo({modinfo_path, "-F", "depends", file->second});
        std::string depends = modinfo.read_output(after(10s));
        modinfo.wait(after(5s));
        std::replace(depends.begin(), depends.end(), ',', ' ');
        std::istringstream words(depends);
        for (std::string dependency; words >> dependency;) {
            visit(dependency);
        }
        order.push_back(file->second);
    };
    for (const std::string& name : wanted) {
        visit(name);
    }
    return order;
}

bool run_quietly(const std::vector<std::string>& argv) {
    Process p(argv);
    p.read_output(after(60s));
    return p.wait(after(60s)) == 0;
}

// An uncompressed initramfs: busybox, the modules, both programs built
// static, and the init.
std::string make_initramfs(const std::string& dir, const Driver& driver) {
    const std::string root = dir + "/root";
    fs::create_directories(root + "/bin");
    fs::create_directories(root + "/modules");
    const auto copy = [](const std::string& from, const std::string& to) {
        std::error_code ec;
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
        EXPECT_FALSE(ec) << from << ": " << ec.message();
    };
    copy(busybox_path, root + "/bin/busybox");
    copy(TOLVANER_STATIC, root + "/bin/tolvaner");
    copy(TOLVANER_SIM_STATIC, root + "/bin/tolvaner-sim");
    copy(TOLVANER_PORT_PROBE, root + "/bin/port-probe");
    copy(init_script, root + "/init");
    std::string list;
    const std::string tree = first_match(kernel_dir + "/lib/modules", "");
    for (const std::string& file : modules_in_order(tree + "/kernel", driver.modules)) {
        const std::string name = fs::path(file).filename().string();
        copy(file, root + "/modules/" + name);
        list += name + "\n";
    }
    for (const auto& [name, text] :
         {std::pair{"/modules.list", list}, std::pair{"/session", session_input + "\n"}}) {
        FILE* out = std::fopen((root + name).c_str(), "w");
        std::fputs(text.c_str(), out);
        std::fclose(out);
    }
    const std::string image = dir + "/initramfs.cpio";
    EXPECT_TRUE(
        run_quietly({"/bin/sh", "-c", "cd \"$1\" && find . | \"$2\" -o -H newc --quiet >\"$3\"",
                     "sh", root, cpio_path, image}));
    return image;
}

// The QEMU monitor on its unix socket: one command at a time, its answer read
// up to the next prompt.
class Monitor {
  public:
    bool connect_to(const std::string& path, Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
            if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                return answer(deadline).has_value();
            }
            close_fd(fd_);
            usleep(50000);
        }
        return false;
    }
    ~Monitor() { close_fd(fd_); }

    std::optional<std::string> command(const std::string& text) {
        const std::string line = text + "\n";
        if (write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return std::nullopt;
        }
        return answer(after(10s));
    }

  private:
    std::optional<std::string> answer(Clock::time_point deadline) {
        std::string text;
        while (text.find("(qemu) ") == std::string::npos) {
            if (!readable(fd_, deadline)) {
                return std::nullopt;
            }
            char buffer[512];
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0) {
                return std::nullopt;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    int fd_ = -1;
};

// What a guest reported, by kind and name.
struct Report {
    const Driver* driver = nullptr;
    std::vector<std::string> lines;          // every "@vm " line, without it
    std::map<std::string, int> status;       // "status NAME N"
    std::map<std::string, std::string> text; // "out NAME ...", "log NAME ...", joined
    std::string stty;
    std::vector<double> gaps;       // every gap the device saw inside a request, ms
    std::vector<double> frame_gaps; // from a request's last byte to the next one's first, ms
    double last_request_end = -1;   // s, on the clock of the device's trace
    std::string short_gaps;         // the device's lines for requests with a short gap
    double worst_hand_off_ms = 0;   // see HandOffProbe
    std::string console;            // all the guest printed
    bool done = false;

    void take(const std::string& line) {
        lines.push_back(line);
        std::istringstream in(line);
        std::string kind, name;
        in >> kind;
        if (kind == "done") {
            done = true;
        } else if (kind == "stty") {
            stty = line.substr(5);
        } else if (kind == "status") {
            int value = -1;
            in >> name >> value;
            status[name] = value;
        } else if (kind == "out" || kind == "log" || kind == "probe") {
            in >> name;
            const std::size_t start = kind.size() + name.size() + 2;
            text[kind + " " + name] += (start <= line.size() ? line.substr(start) : "") + "\n";
        } else if (kind == "trace") {
            take_trace(line.substr(std::min(line.size(), std::size_t{6})));
        }
    }

    // The device's trace: each request's time (its last byte, in whole
    // milliseconds) and the gaps between its bytes (in tenths).
    void take_trace(const std::string& trace) {
        static const std::regex request(
            R"(^ *([0-9.]+) rx [ 0-9A-F]*  gaps ([0-9. ]+)(  \((.*)\))?$)");
        std::istringstream in(trace);
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, request)) {
                continue;
            }
            const double at = std::stod(m[1].str());
            double span = 0;
            double least = 1e9;
            std::istringstream values(m[2].str());
            for (double gap; values >> gap;) {
                gaps.push_back(gap);
                span += gap;
                least = std::min(least, gap);
            }
            // A dropped request is stamped when it was dropped; a device
            // started again has a clock of its own.
            const bool dropped = m[4].str().find("dropped") != std::string::npos;
            double before = 1e9;
            if (!dropped && last_request_end >= 0 && at > last_request_end) {
                before = (at - last_request_end) * 1000.0 - span;
                frame_gaps.push_back(before);
            }
            if (least < 50.0 || before < 49.0) {
                short_gaps +=
                    line +
                    (before < 1e9 ? "  (" + std::to_string(before) + " ms after the request before)"
                                  : "") +
                    "\n";
            }
            last_request_end = dropped ? -1 : at;
        }
    }
};

// The host's side of the line: the device simulator on QEMU's pty, restarted
// with new options when the guest asks. The pty stays held open between
// simulators, so that QEMU never takes the line for disconnected.
class HostDevice {
  public:
    explicit HostDevice(std::string pty) : pty_(std::move(pty)) {
        holder_ = open(pty_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~HostDevice() {
        stop();
        close_fd(holder_);
    }
    bool start(std::vector<std::string> options, Report& report) {
        stop(&report);
        options.insert(options.begin(), {sim_path(), "--trace", "--port", pty_});
        // A real device keeps its own time whatever the host does; the
        // simulated one, at real-time priority where the system allows it,
        // wakes when a byte comes rather than when a busy machine lets it.
        static const bool realtime = run_quietly({chrt_path, "-f", "10", "/bin/true"});
        if (realtime) {
            options.insert(options.begin(), {chrt_path, "-f", "10"});
        }
        sim_ = std::make_unique<Process>(options);
        return sim_->read_line(after(10s)) == "tolvaner-sim: device on " + pty_ + "\n";
    }
    void stop(Report* report = nullptr) {
        if (sim_) {
            kill(sim_->pid(), SIGTERM);
            sim_->wait(after(5s));
            const std::string trace = sim_->read_errors(after(2s));
            if (report != nullptr) {
                report->last_request_end = -1;
                report->take_trace(trace);
            }
            sim_.reset();
        }
    }

  private:
    std::string pty_;
    int holder_ = -1;
    std::unique_ptr<Process> sim_;
};

std::string pty_of(Monitor& monitor) {
    const std::optional<std::string> chardevs = monitor.command("info chardev");
    std::smatch m;
    static const std::regex line("line: filename=pty:(/dev/pts/[0-9]+)");
    if (chardevs && std::regex_search(*chardevs, m, line)) {
        return m[1].str();
    }
    return "";
}

// The rows of a --watch that lives through a replug, and the guest's steps for
// them, run only once the program keeps watching across one. Flip this to
// switch them on; TOLVANER_VM_RECONNECT=1 runs them before that.
constexpr bool watch_reconnects = true;

bool watch_reconnect_rows() {
    return watch_reconnects || std::getenv("TOLVANER_VM_RECONNECT") != nullptr;
}

// How late this machine hands a byte written to a pseudo-terminal over to
// the reader at its other end, as it hands the guest's bytes from QEMU to the
// device: one byte every 2 ms for as long as the guest runs, timed by a reader
// at real-time priority where the system allows it. The hand-off runs in a
// kernel worker of normal priority, so on a busy machine a byte can reach the
// device late however promptly it was sent: the gap before it then looks
// longer and the one after it shorter, by as much. Nothing in the program can
// shorten a gap on this side of the guest.
class HandOffProbe {
  public:
    HandOffProbe() : thread_([this] { run(); }) {}
    ~HandOffProbe() { stop(); }
    HandOffProbe(const HandOffProbe&) = delete;
    HandOffProbe& operator=(const HandOffProbe&) = delete;

    // Stops the probe; the worst hand-off it saw, ms.
    double stop() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
        }
        return worst_ms_;
    }

  private:
    void run() {
        sched_param priority{};
        priority.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        Pty pty;
        while (!stopping_) {
            const Clock::time_point sent = Clock::now();
            pty.write({0x55});
            std::uint8_t byte = 0;
            if (!readable(pty.slave(), after(1s)) || read(pty.slave(), &byte, 1) != 1) {
                break;
            }
            const double took =
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
            worst_ms_ = std::max(worst_ms_, took);
            std::this_thread::sleep_for(2ms);
        }
    }

    std::atomic<bool> stopping_{false};
    double worst_ms_ = 0; // the probe's own until it is stopped
    std::thread thread_;
};

// Boots the guest for `driver` and serves it until it powers off.
Report run_guest(const Driver& driver) {
    Report report;
    report.driver = &driver;
    TempDir dir;
    const std::string image = make_initramfs(dir.path(), driver);
    const std::string kernel = first_match(kernel_dir + "/boot", "vmlinuz-");
    const std::string monitor_path = dir.path() + "/monitor";
    std::vector<std::string> argv{qemu_path,
                                  "-nodefaults",
                                  "-no-user-config",
                                  "-display",
                                  "none",
                                  "-m",
                                  "256",
                                  "-no-reboot",
                                  "-kernel",
                                  kernel,
                                  "-initrd",
                                  image,
                                  "-append",
                                  std::string("console=ttyS0 panic=-1 quiet vmcheck=") +
                                      driver.name,
                                  "-serial",
                                  "stdio",
                                  "-monitor",
                                  "unix:" + monitor_path + ",server=on,wait=off"};
    argv.insert(argv.end(), driver.qemu_args.begin(), driver.qemu_args.end());
    const Clock::time_point deadline = after(run_limit);
    HandOffProbe hand_off;
    Process qemu(argv);
    Monitor monitor;
    if (!monitor.connect_to(monitor_path, after(30s))) {
        ADD_FAILURE() << "no QEMU monitor: " << qemu.read_errors(after(2s));
        return report;
    }
    std::unique_ptr<HostDevice> device;
    if (driver.host_device) {
        const std::string pty = pty_of(monitor);
        EXPECT_FALSE(pty.empty()) << "QEMU named no pty for the line";
        device = std::make_unique<HostDevice>(pty);
    }
    int adapters = 0;
    for (;;) {
        std::string line = qemu.read_line(deadline);
        if (line.empty()) {
            break; // powered off, or the time is up
        }
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        report.console += line;
        if (line.ends_with("\n")) {
            line.pop_back();
        }
        if (!line.starts_with("@vm ")) {
            continue;
        }
        line = line.substr(4);
        report.take(line);
        if (line.starts_with("sim") && device) {
            std::istringstream words(line.substr(3));
            std::vector<std::string> options{std::istream_iterator<std::string>(words), {}};
            EXPECT_TRUE(device->start(options, report)) << "the simulator did not start";
            qemu.send("go\n");
        } else if (line == "stall") {
            if (device) {
                device->stop(&report); // the pty stays open, unread
            }
            qemu.send("go\n");
        } else if (line == "unplug") {
            monitor.command("device_del adapter" + std::to_string(adapters));
            qemu.send("go\n");
        } else if (line == "replug") {
            // QEMU lets go of the line some time after the unplug, not at once.
            ++adapters;
            std::optional<std::string> said;
            for (const Clock::time_point until = after(10s); Clock::now() < until;) {
                said = monitor.command("device_add usb-serial,chardev=line,bus=xhci.0,id=adapter" +
                                       std::to_string(adapters) + ",serial=" + adapter_serial);
                if (!said || said->find("in use") == std::string::npos) {
                    break;
                }
                usleep(100000);
            }
            EXPECT_TRUE(said && said->find("Error") == std::string::npos) << said.value_or("");
            qemu.send("go\n");
        } else if (line == "ask watch-reconnect") {
            qemu.send(watch_reconnect_rows() ? "yes\n" : "no\n");
        }
    }
    if (device) {
        device->stop(&report);
    }
    report.worst_hand_off_ms = hand_off.stop();
    EXPECT_TRUE(qemu.wait(after(5s))) << "the guest did not power off in time";
    return report;
}

std::string native_session() {
    Process sim({sim_path(), "--", console_path});
    sim.send(session_input, true);
    const std::string out = sim.read_output(after(60s));
    sim.wait(after(10s));
    return out;
}

// The seconds from the kernel's line with `start` ("USB disconnect") to the
// program's end, from the two lines of the guest's kernel log.
std::optional<double> seconds_to_exit(const std::string& log, const char* start) {
    static const std::regex stamp(R"(\[ *([0-9]+\.[0-9]+)\] (.*))");
    std::optional<double> unplugged, exited;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, stamp)) {
            const double at = std::stod(m[1].str());
            (m[2].str().find(start) != std::string::npos ? unplugged : exited) = at;
        }
    }
    if (!unplugged || !exited) {
        return std::nullopt;
    }
    return *exited - *unplugged;
}

testing::AssertionResult status_is(const Report& r, const std::string& name, int expected) {
    auto it = r.status.find(name);
    if (it != r.status.end() && it->second == expected) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << name << ": status " << (it == r.status.end() ? -1 : it->second) << ", expected "
           << expected;
}

// What the guest showed under `key` ("out NAME", "log NAME", "probe NAME").
std::string text_of(const Report& r, const std::string& key) {
    auto it = r.text.find(key);
    return it == r.text.end() ? "" : it->second;
}

std::string out_of(const Report& r, const std::string& name) { return text_of(r, "out " + name); }

testing::AssertionResult unplug_reported(const Report& r, const std::string& when) {
    const std::string out = out_of(r, "unplug-" + when);
    const std::string log = text_of(r, "log unplug-" + when);
    const bool said = out.find("error occurred during read operation") != std::string::npos ||
                      out.find("error occurred during write operation") != std::string::npos;
    const std::optional<double> seconds = seconds_to_exit(log, "USB disconnect");
    if (!said || !seconds || *seconds > 1.0) {
        return testing::AssertionFailure() << "output:\n" << out << "kernel log:\n" << log;
    }
    std::printf("unplug %s: exit %.3f s after the disconnect; the port before and after:\n%s",
                when.c_str(), *seconds, text_of(r, "probe unplug-" + when).c_str());
    return status_is(r, "unplug-" + when, 1);
}

// Refused as a port in use, with standard error matching `why`.
testing::AssertionResult refused(const Report& r, const std::string& name, const std::string& why) {
    const std::string out = out_of(r, name);
    if (out.find("error occurred while opening comm port") == std::string::npos ||
        !std::regex_search(out, std::regex(why))) {
        return testing::AssertionFailure() << "no '" << why << "' in:\n" << out;
    }
    return status_is(r, name, 1);
}

// The words after "KIND NAME " of the guest's first line of that kind and name.
std::string said_after(const Report& r, const std::string& kind, const std::string& name) {
    const std::string start = kind + " " + name + " ";
    for (const std::string& line : r.lines) {
        if (line.starts_with(start)) {
            return line.substr(start.size());
        }
    }
    return "";
}

// Seconds since 1970 of a time in UTC as the program stamps it
// (2026-12-07T10:00:00.250Z) or as the guest's stat shows it
// (2026-12-07 10:00:00.250000000 +0000).
std::optional<double> utc_seconds(const std::string& text) {
    std::tm t{};
    double second = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d%*c%d:%d:%lf", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &second) != 6) {
        return std::nullopt;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<double>(timegm(&t)) + second;
}

// The guest's "replug NAME SECONDS NODE": how long the port's node took to
// come back after the plug, and as what.
struct Replug {
    double seconds = -1;
    std::string node;
};

Replug replug_of(const Report& r, const std::string& name) {
    Replug replug;
    std::istringstream(said_after(r, "replug", name)) >> replug.seconds >> replug.node;
    std::printf("%s: replug %s, the port's node %.2f s after the plug, as %s\n", r.driver->name,
                name.c_str(), replug.seconds, replug.node.c_str());
    return replug;
}

// The line `tolvaner --list` printed for `port`.
std::string listed_line(const std::string& list, const std::string& port) {
    std::istringstream in(list);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(port + " ")) {
            return line;
        }
    }
    return "";
}

testing::AssertionResult replugged(const Report& r) {
    const Replug replug = replug_of(r, "plain");
    const std::string port = listed_line(out_of(r, "list"), replug.node);
    const std::string before = listed_line(out_of(r, "replug-list-before"), replug.node);
    const std::string after = listed_line(out_of(r, "replug-list-after"), replug.node);
    const bool serial_kept = std::string(r.driver->name) != "ftdi" ||
                             port.find(" serial=\"" + adapter_serial + "\"") != std::string::npos;
    if (port.empty() || before != port || after != before || !serial_kept) {
        return testing::AssertionFailure() << "came back as " << replug.node << "; listed first:\n"
                                           << port << "\nbefore:\n"
                                           << before << "\nafter:\n"
                                           << after;
    }
    // By name, by usb:VID:PID, and by usb:VID:PID:SERIAL where it has one.
    for (const char* how : {"name", "usb", "serial"}) {
        const std::string name = std::string("replug-read-") + how;
        if (std::string(how) == "serial" && after.find(" serial=\"") == std::string::npos) {
            continue;
        }
        // Found, opened and answering: an item a slow machine left without a
        // good reply (status 3) says nothing about the replug.
        const auto status = r.status.find(name);
        static const std::regex answered("^[a-z_]+ +[^ -]", std::regex::multiline);
        if (status == r.status.end() || (status->second != 0 && status->second != 3) ||
            !std::regex_search(out_of(r, name), answered)) {
            return testing::AssertionFailure() << name << ":\n" << out_of(r, name);
        }
    }
    return testing::AssertionSuccess();
}

// How a --watch --csv that lives through a replug marks a lost sample, and
// how its summary counts: the rows below read it only through this.
struct WatchFormat {
    std::string status_column = "status"; // a column of its own in the header
    std::string good = "ok";              // the status of a sample read well
    std::string lost_status = "lost";     // of one the port was away for
    // In the summary on standard error: samples lost, and how often the port
    // came back.
    std::regex lost{"([0-9]+) lost"};
    std::regex back{"back ([0-9]+) times?"};
    double resume_within = 3.0; // seconds from the plug to the first good sample
    // Standard error says each change once (lost, with why; back), then the
    // summary: never once for every try while the port is away.
    int error_lines = 3;
};

// The fields of a CSV line, "..." quoting a field with commas or quotes.
std::vector<std::string> csv_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// --watch across the replug `how` ("name", "usb"): good samples, then at
// least one lost one with empty values, then good ones again, the first
// within 3 s of the plug; each change said once, the summary counting the
// lost ones and one return; status 0.
testing::AssertionResult watched_across_replug(const Report& r, const std::string& how) {
    if (!watch_reconnect_rows()) {
        std::printf("%s: skipped --watch across a replug by %s: waits for --watch reconnect\n",
                    r.driver->name, how.c_str());
        return testing::AssertionSuccess();
    }
    if (how == "usb" && std::string(r.driver->name) != "ftdi") {
        return testing::AssertionSuccess();
    }
    replug_of(r, "watch-" + how);
    static const WatchFormat format;
    const std::string csv = out_of(r, "watch-" + how);
    const std::string summary = out_of(r, "watch-" + how + "-err");
    const auto failure = [&]() {
        return testing::AssertionFailure() << "--watch by " << how << ":\n"
                                           << csv << "standard error:\n"
                                           << summary;
    };
    std::istringstream in(csv);
    std::string header;
    std::getline(in, header);
    const std::vector<std::string> names = csv_fields(header);
    const auto column = [&](const std::string& name) {
        return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) -
                                        names.begin());
    };
    const std::size_t time = column("time"), dac = column("dac_value"), kwh = column("kwh_value"),
                      status = column(format.status_column);
    if (std::max({time, dac, kwh, status}) >= names.size()) {
        return failure() << "(no column time, dac_value, kwh_value or " << format.status_column
                         << ")";
    }
    // Each sample: its time, and whether it was read well.
    std::vector<std::pair<double, bool>> samples;
    int stray = 0;
    for (std::string line; std::getline(in, line) && !line.empty();) {
        const std::vector<std::string> fields = csv_fields(line);
        const std::optional<double> at =
            fields.size() == names.size() ? utc_seconds(fields[time]) : std::nullopt;
        if (!at) {
            return failure() << "(not a sample: " << line << ")";
        }
        // A sample the port was away for has no values; one a slow machine
        // left without a reply (no_reply) is a stray, not a loss.
        const bool lost_line = fields[status] == format.lost_status;
        if (lost_line && !(fields[dac].empty() && fields[kwh].empty())) {
            return failure() << "(a lost sample with values: " << line << ")";
        }
        if (fields[status].empty()) {
            return failure() << "(a sample without its status: " << line << ")";
        }
        stray += !lost_line && fields[status] != format.good ? 1 : 0;
        samples.emplace_back(*at, !lost_line);
    }
    // Good samples; those the replug lost; good again, the first within 3 s of
    // the plug, and the last one good. A sample a slow machine left without a
    // reply may come anywhere else, a stray with a line of its own on
    // standard error.
    const std::optional<double> plugged = utc_seconds(said_after(r, "plugged", "watch-" + how));
    const auto resumed = std::find_if(samples.begin(), samples.end(), [&](const auto& sample) {
        return sample.second && plugged && sample.first > *plugged;
    });
    auto outage = resumed;
    while (outage != samples.begin() && !std::prev(outage)->second) {
        --outage;
    }
    const auto lost = static_cast<int>(resumed - outage);
    if (resumed == samples.end() || lost == 0 || outage == samples.begin() ||
        !samples.back().second) {
        return failure() << "(expected good samples, lost ones, then good ones again)";
    }
    std::printf("%s: --watch by %s: %d lost, good again %.2f s after the plug, %d stray\n",
                r.driver->name, how.c_str(), lost, resumed->first - *plugged, stray);
    if (resumed->first - *plugged > format.resume_within) {
        return failure() << "(good again only " << resumed->first - *plugged
                         << " s after the plug)";
    }
    std::smatch counted, returned;
    if (!std::regex_search(summary, counted, format.lost) || std::stoi(counted[1]) < lost ||
        std::stoi(counted[1]) > lost + stray ||
        !std::regex_search(summary, returned, format.back) || std::stoi(returned[1]) != 1) {
        return failure() << "(the summary does not count " << lost
                         << " lost and the port back once)";
    }
    if (std::count(summary.begin(), summary.end(), '\n') > format.error_lines + 2 * stray) {
        return failure() << "(more than " << format.error_lines << " lines on standard error)";
    }
    // A stray sample without a good reply makes it status 3, as any query
    // without one does.
    return status_is(r, "watch-" + how, stray > 0 ? 3 : 0);
}

struct Check {
    const char* name;
    bool needs_unplug;
    std::function<testing::AssertionResult(const Report&)> holds;
};

// A transcript through the guest's console ends in a line end either way.
std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

const Check checks[] = {
    {"guest ran every check and powered off", false,
     [](const Report& r) {
         const bool errors = std::any_of(r.lines.begin(), r.lines.end(), [](const std::string& l) {
             return l.starts_with("error");
         });
         return r.done && !errors ? testing::AssertionSuccess()
                                  : testing::AssertionFailure() << r.console;
     }},
    {"a whole session reads back every setting as the pty does", false,
     [](const Report& r) {
         static const std::string expected = trimmed(native_session());
         if (!status_is(r, "session", 0)) {
             return status_is(r, "session", 0);
         }
         const std::string got = trimmed(out_of(r, "session"));
         return got == expected ? testing::AssertionSuccess()
                                : testing::AssertionFailure() << got << "\n--- on a pty:\n"
                                                              << expected;
     }},
    {"the line is 57600 8N1, no flow control, modem lines ignored", false,
     [](const Report& r) {
         for (const char* flag : {"speed 57600 baud", " cs8", " -parenb", " -cstopb", " -crtscts",
                                  " -ixon", " -ixoff", " clocal"}) {
             if (r.stty.find(flag) == std::string::npos) {
                 return testing::AssertionFailure() << "no '" << flag << "' in: " << r.stty;
             }
         }
         return testing::AssertionSuccess();
     }},
    {"the port list names the port and its driver", false,
     [](const Report& r) {
         const std::string list = out_of(r, "list");
         if (!std::regex_search(list, std::regex(r.driver->listed, std::regex::multiline))) {
             return testing::AssertionFailure() << "no line like " << r.driver->listed << " in:\n"
                                                << list;
         }
         return status_is(r, "list", 0);
     }},
    {"DTR and RTS are set while tolvaner holds the port", false,
     [](const Report& r) {
         const std::string lines = "|" + trimmed(out_of(r, "modem")) + "|";
         return lines.find("|DTR|") != std::string::npos && lines.find("|RTS|") != std::string::npos
                    ? testing::AssertionSuccess()
                    : testing::AssertionFailure() << "modem lines: " << lines;
     }},
    {"a second tolvaner on the port is refused", false,
     [](const Report& r) { return refused(r, "second", "held by PID [0-9]+ \\(tolvaner\\)"); }},
    {"a port that a program without a lock holds is refused, its holder named", false,
     [](const Report& r) {
         const auto pid = r.status.find("cat-pid");
         return refused(r, "by-cat",
                        "held by PID " + std::to_string(pid == r.status.end() ? -1 : pid->second) +
                            " \\(cat\\)");
     }},
    {"a live lock file refuses the port; a stale one does not", false,
     [](const Report& r) {
         if (!status_is(r, "stale-lock", 0) ||
             out_of(r, "stale-lock").find("Pulse Value =") == std::string::npos) {
             return testing::AssertionFailure() << out_of(r, "stale-lock");
         }
         return refused(r, "by-lock", "held by PID [0-9]+.*, lock file /var/lock/LCK\\.\\.tty");
     }},
    {"a lock file that is a FIFO holds nothing and holds nothing up", false,
     [](const Report& r) {
         if (out_of(r, "fifo-lock").find("Pulse Value =") == std::string::npos) {
             return testing::AssertionFailure() << out_of(r, "fifo-lock");
         }
         return status_is(r, "fifo-lock", 0);
     }},
    {"a holder's name reaches the terminal escaped", false,
     [](const Report& r) {
         const auto pid = r.status.find("name-pid");
         if (out_of(r, "by-name").find('\x1B') != std::string::npos) {
             return testing::AssertionFailure() << "a raw escape in: " << out_of(r, "by-name");
         }
         return refused(r, "by-name",
                        "held by PID " + std::to_string(pid == r.status.end() ? -1 : pid->second) +
                            " \\(h\\\\x1B\\[7mold\\)");
     }},
    {"a refused tolvaner, or the port as trace file, leaves the holder's DTR low", false,
     [](const Report& r) {
         // The holder's modem lines after it dropped DTR, then after both.
         const std::string lines = text_of(r, "probe dtr");
         if (lines.find('\n') == lines.rfind('\n') || lines.find("DTR") != std::string::npos) {
             return testing::AssertionFailure() << "modem lines:\n" << lines;
         }
         if (out_of(r, "trace-port").find("cannot open the trace file /dev/tty") ==
             std::string::npos) {
             return testing::AssertionFailure() << out_of(r, "trace-port");
         }
         if (!status_is(r, "trace-port", 1)) {
             return status_is(r, "trace-port", 1);
         }
         return refused(r, "by-probe", "held by PID [0-9]+ \\(port-probe\\)");
     }},
    {"the program holding the port ends normally", false,
     [](const Report& r) { return status_is(r, "held", 0); }},
    {"a truncated answer is reported as a fault", false,
     [](const Report& r) {
         const std::string out = out_of(r, "fault");
         if (out.find("Packet checksum fault") == std::string::npos ||
             out.find("number of bytes read = 3") == std::string::npos) {
             return testing::AssertionFailure() << out;
         }
         return status_is(r, "fault", 0);
     }},
    {"the device sees at least 50 ms between bytes", false,
     [](const Report& r) {
         if (!r.gaps.empty()) {
             std::vector<double> sorted = r.gaps;
             std::sort(sorted.begin(), sorted.end());
             std::printf("gaps: %zu, minimum %.1f ms, median %.1f ms, p99 %.1f ms\n", sorted.size(),
                         sorted.front(), sorted[sorted.size() / 2],
                         sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)]);
         }
         return support::paced(r.gaps);
     }},
    {"the modes run one after another, as a script runs them", false,
     [](const Report& r) {
         if (!status_is(r, "modes-set", 0) || !status_is(r, "modes-read", 0)) {
             return testing::AssertionFailure() << out_of(r, "modes");
         }
         return testing::AssertionSuccess();
     }},
    {"no byte reaches the device less than 50 ms after the one before it, across runs too", false,
     [](const Report& r) {
         if (r.gaps.empty() || r.frame_gaps.empty()) {
             return testing::AssertionFailure() << "no requests in the device's trace";
         }
         const double least = *std::min_element(r.gaps.begin(), r.gaps.end());
         const double least_between = *std::min_element(r.frame_gaps.begin(), r.frame_gaps.end());
         std::printf("smallest gap at the device: %.1f ms in a request (of %zu), %.1f ms from one "
                     "request to the next (of %zu); this machine's pty hand-off took up to "
                     "%.2f ms\n",
                     least, r.gaps.size(), least_between, r.frame_gaps.size(), r.worst_hand_off_ms);
         // On CDC-ACM the device runs in the same machine as the program and
         // competes with it for its one CPU: a read of its own that comes late
         // shortens the gap after it, whatever the line did.
         if (!r.driver->host_device) {
             return testing::AssertionSuccess();
         }
         // A gap can look shorter at the device than on the line by what the
         // hand-off to the device took at worst (HandOffProbe). Gaps in a
         // request are traced to 0.1 ms; the time of a request to the
         // millisecond, so one from a request to the next may read 1 ms short.
         const double allowance = r.worst_hand_off_ms;
         if (least < 50.0 - allowance || least_between < 49.0 - allowance) {
             return testing::AssertionFailure()
                    << "smallest gap " << least << " ms in a request, " << least_between
                    << " ms between requests, with " << allowance
                    << " ms allowed for this machine's hand-off:\n"
                    << r.short_gaps;
         }
         return testing::AssertionSuccess();
     }},
    {"unplugged at the prompt: an error, status 1, within a second", true,
     [](const Report& r) { return unplug_reported(r, "prompt"); }},
    {"unplugged while a query settles: an error, status 1, within a second", true,
     [](const Report& r) { return unplug_reported(r, "settle"); }},
    {"a byte the stalled line does not take: the write error, status 1, within a second", false,
     [](const Report& r) {
         if (!r.driver->stalls) {
             return testing::AssertionSuccess();
         }
         const std::string out = out_of(r, "stall");
         const std::optional<double> seconds = seconds_to_exit(text_of(r, "log stall"), "full");
         std::printf("stall: the line took %s bytes; exit %.3f s after it was full\n",
                     trimmed(text_of(r, "probe fill")).c_str(), seconds.value_or(-1));
         if (out.find("error occurred during write operation") == std::string::npos || !seconds ||
             *seconds > 1.0) {
             return testing::AssertionFailure() << out << text_of(r, "log stall");
         }
         return status_is(r, "stall", 1);
     }},
    {"pulled and plugged back: listed as before, it answers by name and by USB identity", true,
     replugged},
    {"--watch by name across a replug: lost samples marked, good again within 3 s, status 0", true,
     [](const Report& r) { return watched_across_replug(r, "name"); }},
    {"--watch by usb: across a replug: lost samples marked, good again within 3 s, status 0", true,
     [](const Report& r) { return watched_across_replug(r, "usb"); }},
};

class Vm : public testing::TestWithParam<Driver> {};

TEST_P(Vm, EveryCheckHoldsOnTheRealDriver) {
    if (const std::string why = skip_reason(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const Driver& driver = GetParam();
    const Clock::time_point start = Clock::now();
    const Report report = run_guest(driver);
    std::printf("%s: guest ran for %.1f s\n", driver.name,
                std::chrono::duration<double>(Clock::now() - start).count());
    // The guest's whole report, for a look at what each driver did.
    if (std::getenv("TOLVANER_VM_SHOW") != nullptr) {
        std::fputs(report.console.c_str(), stdout);
    }
    for (const Check& check : checks) {
        if (check.needs_unplug && !driver.unplugs) {
            continue;
        }
        EXPECT_TRUE(check.holds(report)) << check.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, Vm, testing::ValuesIn(drivers),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// A run in which the machine could not be made exits with 77, which CTest
// reports as skipped, so a machine without QEMU or the kernel never shows
// these tests as passed.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (status == 0 && testing::UnitTest::GetInstance()->skipped_test_count() > 0) {
        std::printf("VM tests skipped: %s\n", skip_reason().c_str());
        return 77;
    }
    return status;
}
