// Win32 serial port.
#include "link/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <mmsystem.h>

#include <io.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

HANDLE port_handle = INVALID_HANDLE_VALUE;
// The time-outs every read and write runs with, set at open.
COMMTIMEOUTS port_timeouts{};

char failure_text[256];

// Keeps the system's reason for the call that just failed, without the line
// end FormatMessage puts after it.
void note_failure(DWORD error) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, failure_text, sizeof failure_text, nullptr);
    while (n > 0 && (failure_text[n - 1] == '\n' || failure_text[n - 1] == '\r' ||
                     failure_text[n - 1] == ' ' || failure_text[n - 1] == '.')) {
        --n;
    }
    failure_text[n] = '\0';
}

// Wine gives the program its own ntdll, which says so by this export.
bool under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

// A Windows port is a handle, never one of the C runtime's standard streams.
void platform_guard_standard_streams() {}

PortOpenResult platform_open_port(const char* name) {
    // Share mode 0: nobody else may open the port while we hold it.
    port_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        note_failure(error);
        const DWORD attributes = GetFileAttributesA(name);
        const bool is_folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (error == ERROR_ACCESS_DENIED && !is_folder) {
            // What a port another program holds open answers.
            const size_t used = std::strlen(failure_text);
            std::snprintf(failure_text + used, sizeof failure_text - used,
                          ": in use by another program");
        }
        return error == ERROR_FILE_NOT_FOUND ? PortOpenResult::not_found
                                             : PortOpenResult::open_failed;
    }

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port_handle, &dcb)) {
        note_failure(GetLastError());
        return PortOpenResult::get_state_failed;
    }
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // A driver left with any of these set would swallow or alter payload
    // bytes (0x00, 0x11, 0x13, parity errors); frames carry every value.
    dcb.fBinary = TRUE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    // Handshaking left on by an earlier program holds back or times out every
    // byte to a device that does not drive CTS or DSR, and DSR sensitivity
    // throws away what arrives while DSR is low.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    // Adapters and devices powered or enabled by DTR/RTS need them asserted.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // With this set, one framing or overrun error would fail every later read
    // and write until cleared, ending the session on a noisy line.
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port_handle, &dcb)) {
        note_failure(GetLastError());
        return PortOpenResult::set_state_failed;
    }

    // MAXDWORD/0/0: a read returns at once with what has arrived. A write of
    // one byte gives up after 10 + 50 ms.
    COMMTIMEOUTS& timeouts = port_timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(port_handle, &timeouts)) {
        note_failure(GetLastError());
        return PortOpenResult::timeouts_failed;
    }
    return PortOpenResult::ok;
}

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The name `path` gives in its folder, before any extension and less the
// blanks Windows ignores there; "" when it is longer than a device's.
void device_name(const char* path, char (&name)[8]) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_separator(*p) || *p == ':') {
            base = p + 1;
        }
    }
    std::size_t length = std::strcspn(base, ".:");
    while (length > 0 && base[length - 1] == ' ') {
        --length;
    }
    if (length >= sizeof name) {
        length = 0;
    }
    std::memcpy(name, base, length);
    name[length] = '\0';
}

// True when `path` names a device rather than a file: the device namespace
// (\\.\COM10, \\.\PhysicalDrive0; its pipes are pipes) or a name Windows
// keeps for a device in every folder (COM1, LPT1, CON, AUX, PRN), with any
// extension. NUL, the null device, is a place for a trace.
bool names_device(const char* path) {
    if (is_separator(path[0]) && is_separator(path[1]) && path[2] == '.' && is_separator(path[3])) {
        return _strnicmp(path + 4, "pipe", 4) != 0 || !is_separator(path[8]);
    }
    char name[8];
    device_name(path, name);
    const bool numbered = std::strlen(name) == 4 && name[3] >= '1' && name[3] <= '9' &&
                          (_strnicmp(name, "COM", 3) == 0 || _strnicmp(name, "LPT", 3) == 0);
    return numbered || _stricmp(name, "CON") == 0 || _stricmp(name, "AUX") == 0 ||
           _stricmp(name, "PRN") == 0 || _stricmp(name, "CONIN$") == 0 ||
           _stricmp(name, "CONOUT$") == 0;
}

const char* const not_for_a_trace = "a device (a serial port, a console), where no trace may go: "
                                    "give a file, a pipe, NUL, or - for standard error";

} // namespace

std::FILE* platform_open_trace(const char* path) {
    // Refused by its name, before it is opened: opening a port moves its
    // modem lines.
    if (names_device(path)) {
        std::snprintf(failure_text, sizeof failure_text, "%s", not_for_a_trace);
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        std::snprintf(failure_text, sizeof failure_text, "%s", std::strerror(errno));
        return nullptr;
    }
    // Whatever the name came to, only a file, a pipe or the null device.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    char name[8];
    device_name(path, name);
    if (GetFileType(handle) == FILE_TYPE_CHAR && _stricmp(name, "NUL") != 0) {
        std::fclose(file);
        std::snprintf(failure_text, sizeof failure_text, "%s", not_for_a_trace);
        return nullptr;
    }
    return file;
}

const char* platform_failure_text() { return failure_text; }

void platform_close_port() {
    if (port_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(port_handle);
        port_handle = INVALID_HANDLE_VALUE;
    }
}

bool platform_write_byte(std::uint8_t byte) {
    DWORD written = 0;
    if (!WriteFile(port_handle, &byte, 1, &written, nullptr)) {
        note_failure(GetLastError());
        return false;
    }
    // A write time-out returns success with nothing written: that byte of the
    // frame is lost, so it is a failure like any other.
    if (written != 1) {
        std::snprintf(failure_text, sizeof failure_text,
                      "the driver took no byte for 60 ms (held back by flow control, or the "
                      "adapter has stalled)");
        return false;
    }
    // Taken by the driver is not yet sent: the device's gap starts once the
    // byte has left. Wine's flush of a port throws away what has not been
    // sent instead of waiting for it, so there the byte is left to go.
    if (!under_wine() && !FlushFileBuffers(port_handle)) {
        note_failure(GetLastError());
        return false;
    }
    return true;
}

int platform_read(std::uint8_t* buffer, int capacity) {
    DWORD got = 0;
    if (!ReadFile(port_handle, buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
        note_failure(GetLastError());
        return -1;
    }
    return static_cast<int>(got);
}

int platform_read_within(std::uint8_t* buffer, int capacity, unsigned timeout_ms) {
    if (timeout_ms == 0) {
        return platform_read(buffer, capacity);
    }
    // MAXDWORD, MAXDWORD, N: the read returns at once with whatever is
    // waiting, and otherwise as soon as one byte comes, or after N ms with
    // nothing. The port's own time-outs are back before anyone reads again.
    COMMTIMEOUTS waiting = port_timeouts;
    waiting.ReadIntervalTimeout = MAXDWORD;
    waiting.ReadTotalTimeoutMultiplier = MAXDWORD;
    waiting.ReadTotalTimeoutConstant = timeout_ms < MAXDWORD - 1 ? timeout_ms : MAXDWORD - 1;
    if (!SetCommTimeouts(port_handle, &waiting)) {
        note_failure(GetLastError());
        return -1;
    }
    const int got = platform_read(buffer, capacity);
    if (!SetCommTimeouts(port_handle, &port_timeouts)) {
        note_failure(GetLastError());
        return -1;
    }
    return got;
}

namespace {

// The one flag the handler sets: the signal that came (SIGINT for Ctrl-C,
// SIGBREAK for Ctrl-Break). The handler runs on a thread of its own.
volatile LONG signal_noted = 0;
// Set with the flag, for a wait to end on; made once, at the first hold.
HANDLE signal_event = nullptr;

struct SignalHold {
    int depth;
};
SignalHold hold;

// While installed, Ctrl-C and Ctrl-Break are only noted; without it they end
// the program at once. A console whose Ctrl-C was disabled for the program
// (started in a new process group) never calls it for Ctrl-C.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    InterlockedExchange(&signal_noted, event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
    SetEvent(signal_event);
    return TRUE;
}

} // namespace

void platform_hold_signals() {
    if (hold.depth++ > 0) {
        return;
    }
    if (signal_event == nullptr) {
        signal_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_release_signals() {
    if (hold.depth == 0 || --hold.depth > 0) {
        return;
    }
    SetConsoleCtrlHandler(on_console_event, FALSE);
}

int platform_held_signal() {
    return static_cast<int>(InterlockedCompareExchange(&signal_noted, 0, 0));
}

void platform_end_by_signal(int) {
    // What the system's own handler does with Ctrl-C and Ctrl-Break.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool platform_sleep_or_interrupted(unsigned milliseconds) {
    if (signal_event == nullptr || hold.depth == 0) {
        platform_pause_ms(milliseconds);
    } else {
        // The event stays set once a signal came, so none is missed.
        WaitForSingleObject(signal_event, milliseconds);
    }
    return platform_held_signal() != 0;
}

bool platform_stdout_is_terminal() {
    // Only a console has a console mode; _isatty also says yes for NUL.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void platform_discard_input() { PurgeComm(port_handle, PURGE_RXCLEAR); }

void platform_pause_ms(unsigned milliseconds) {
    // Sleep rounds to the system tick; ask for 1 ms ticks so the 50 ms byte
    // gap is not stretched to the next 15.6 ms boundary.
    static bool period_set = false;
    if (!period_set) {
        period_set = true;
        timeBeginPeriod(1);
    }
    Sleep(milliseconds);
}

std::uint64_t platform_monotonic_us() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

WallTime platform_wall_time() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    return WallTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}
