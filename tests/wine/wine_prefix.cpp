#include "tests/wine/wine_prefix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace wine {

namespace {

// The environment variable of the same name, where set, overrides the one the
// build was configured with: another build of the exe can be tried as it is.
std::string exe_path = TOLVANER_WINDOWS_EXE;
const std::string loader_path = WINE_LOADER;
const std::string server_path = WINE_SERVER;

// Making a prefix copies several hundred megabytes of system files.
constexpr int prefix_timeout_ms = 180000;
constexpr int server_start_timeout_ms = 10000;
constexpr int server_stop_timeout_ms = 15000;

std::string skip;
std::string failure;
std::unique_ptr<harness::TempDir> folder;
std::string prefix;
pid_t server_pid = -1;
int next_com = 100;
// The devices behind the ports registered for the port list; they live as long
// as the prefix.
std::unique_ptr<e2e::Pty> listed_devices[2];

bool executable(const std::string& path) {
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// The exit status, or nullopt if `pid` is still running after `timeout_ms`.
std::optional<int> wait_for(pid_t pid, int timeout_ms) {
    return harness::wait_pid(pid, harness::after(std::chrono::milliseconds(timeout_ms)));
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    wait_for(pid, 5000);
}

std::string tail_of(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    return text.size() > 2000 ? "..." + text.substr(text.size() - 2000) : text;
}

// The server names its socket folder (under the temporary directory) in this
// file once it listens.
std::string server_folder_name() {
    std::ifstream in(prefix + "/wineserver");
    std::string name;
    std::getline(in, name);
    return name;
}

void set_environment(const std::string& home) {
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINESERVER", server_path.c_str(), 1);
    setenv("WINEARCH", "win64", 1);
    setenv("WINEDEBUG", "-all", 1);
    // No runtime installers to offer, no menu entries to write, no windows.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // Whatever Wine writes outside the prefix lands in the folder too.
    setenv("HOME", home.c_str(), 1);
    for (const char* xdg : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        setenv(xdg, home.c_str(), 1);
    }
}

void stop_server() {
    if (server_pid > 0) {
        const std::string socket_folder = server_folder_name();
        pid_t killer =
            harness::start_logged({server_path, "--kill"}, folder->path() + "/wineserver.log");
        if (!wait_for(killer, server_stop_timeout_ms)) {
            stop(killer);
        }
        if (!wait_for(server_pid, server_stop_timeout_ms)) {
            stop(server_pid);
        }
        server_pid = -1;
        // The server leaves its socket folder behind.
        if (socket_folder.rfind("wine-", 0) == 0 && socket_folder.find('/') == std::string::npos) {
            std::error_code ec;
            fs::remove_all(fs::temp_directory_path(ec) / socket_folder, ec);
            if (fs::temp_directory_path(ec) != "/tmp") {
                fs::remove_all(fs::path("/tmp") / socket_folder, ec);
            }
        }
    }
}

// Started by us, not by the first Wine program, so that whatever it prints
// goes to a log and not into a test's captured output. It outlives idle
// moments between tests; should this binary die, it stops by itself a minute
// after its last program.
bool start_server() {
    const std::string server_log = folder->path() + "/wineserver.log";
    server_pid =
        harness::start_logged({server_path, "--foreground", "--persistent=60"}, server_log);
    const double deadline = e2e::now_ms() + server_start_timeout_ms;
    while (server_folder_name().empty()) {
        if (wait_for(server_pid, 0) || e2e::now_ms() >= deadline) {
            failure = "wineserver did not start:\n" + tail_of(server_log);
            return false;
        }
        usleep(20000);
    }
    return true;
}

// Wine puts into HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where Windows programs
// find the serial ports, only the ports its mount manager sets up when it
// starts: the machine's own and those named under HKLM\Software\Wine\Ports.
// A port mapped later by a dosdevices link opens, but is not registered. So
// two ports, one of each written form, are named there and the server is
// started again.
void register_listed_ports() {
    const std::string log = folder->path() + "/reg.log";
    const int numbers[] = {listed_low_com, listed_high_com};
    for (int i = 0; i < 2; ++i) {
        listed_devices[i] = std::make_unique<e2e::Pty>();
        pid_t reg = harness::start_logged({loader_path, "reg", "add", "HKLM\\Software\\Wine\\Ports",
                                           "/v", "COM" + std::to_string(numbers[i]), "/d",
                                           listed_devices[i]->path(), "/f"},
                                          log);
        std::optional<int> status = wait_for(reg, prefix_timeout_ms);
        if (!status) {
            stop(reg);
        }
        if (status != 0) {
            failure = "could not name a port for Wine:\n" + tail_of(log);
            return;
        }
    }
    stop_server();
    // The server writes its socket folder's name afresh when it starts.
    unlink((prefix + "/wineserver").c_str());
    if (!start_server()) {
        return;
    }
    // The first program starts Wine's services, which keep its output open;
    // this one, and not a test's, has them write to a log.
    pid_t first = harness::start_logged(
        {loader_path, "reg", "query", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"}, log);
    if (!wait_for(first, prefix_timeout_ms)) {
        stop(first);
        failure = "Wine did not start again:\n" + tail_of(log);
    }
}

} // namespace

void Prefix::SetUp() {
    if (const char* given = std::getenv("TOLVANER_WINDOWS_EXE"); given != nullptr && *given != 0) {
        exe_path = given;
    }
    if (exe_path.empty()) {
        skip = "no tolvaner.exe given (configure with -DTOLVANER_WINDOWS_EXE=<path>)";
        return;
    }
    if (access(exe_path.c_str(), R_OK) != 0) {
        skip = "tolvaner.exe is not built: " + exe_path;
        return;
    }
    if (!executable(loader_path) || !executable(server_path)) {
        skip = "Wine is not installed (Debian package wine64)";
        return;
    }

    folder = std::make_unique<harness::TempDir>();
    prefix = folder->path() + "/prefix";
    const std::string home = folder->path() + "/home";
    mkdir(prefix.c_str(), 0700);
    mkdir(home.c_str(), 0700);
    set_environment(home);

    if (!start_server()) {
        return;
    }

    const std::string boot_log = folder->path() + "/wineboot.log";
    pid_t boot = harness::start_logged({loader_path, "wineboot", "--init"}, boot_log);
    std::optional<int> status = wait_for(boot, prefix_timeout_ms);
    if (!status) {
        stop(boot);
        failure = "making the Wine prefix timed out:\n" + tail_of(boot_log);
    } else if (*status != 0) {
        failure = "making the Wine prefix failed with status " + std::to_string(*status) + ":\n" +
                  tail_of(boot_log);
    } else {
        register_listed_ports();
    }
}

void Prefix::TearDown() {
    stop_server();
    folder.reset();
}

const std::string& skip_reason() { return skip; }
const std::string& setup_failure() { return failure; }
const std::string& prefix_path() { return prefix; }
e2e::Pty& listed_low_device() { return *listed_devices[0]; }

std::vector<std::string> windows_command(const std::string& exe,
                                         const std::vector<std::string>& args) {
    std::vector<std::string> command{loader_path, exe};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> exe_command(const std::vector<std::string>& args) {
    return windows_command(exe_path, args);
}

std::string windows_path(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

int fresh_com_number() { return next_com++; }

std::string com_name(int number) { return "\\\\.\\COM" + std::to_string(number); }

ComLink::ComLink(int number, const std::string& target)
    : link_(prefix + "/dosdevices/com" + std::to_string(number)) {
    unlink(link_.c_str());
    if (symlink(target.c_str(), link_.c_str()) != 0) {
        ADD_FAILURE() << "cannot link " << link_ << " to " << target;
    }
}

ComLink::~ComLink() { unlink(link_.c_str()); }

std::string unix_lines(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

void WineTest::SetUp() {
    if (!skip_reason().empty()) {
        GTEST_SKIP() << skip_reason();
    }
    ASSERT_EQ(setup_failure(), "") << "Wine is installed but unusable";
}

} // namespace wine
