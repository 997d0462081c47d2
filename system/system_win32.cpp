// The system on Windows.
#include "system/system.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <mmsystem.h>

#include <io.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

// A Windows port is a handle, never one of the C runtime's standard streams.
void system_guard_standard_streams() {}

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

std::FILE* system_open_trace(const char* path, char* why, int why_capacity) {
    // Refused by its name, before it is opened: opening a port moves its
    // modem lines.
    if (names_device(path)) {
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s", not_for_a_trace);
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s", std::strerror(errno));
        return nullptr;
    }
    // Whatever the name came to, only a file, a pipe or the null device.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    char name[8];
    device_name(path, name);
    if (GetFileType(handle) == FILE_TYPE_CHAR && _stricmp(name, "NUL") != 0) {
        std::fclose(file);
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s", not_for_a_trace);
        return nullptr;
    }
    return file;
}

namespace {

// The one flag the handler sets: the signal that came (SIGINT for Ctrl-C,
// SIGBREAK for Ctrl-Break). The handler runs on a thread of its own.
volatile LONG signal_noted = 0;

// The count of holds belongs to the process, under `lock`, so that threads
// may hold and release: the console handler is one for the whole process.
struct SignalHold {
    SRWLOCK lock;
    int depth;
    // Set with the flag, for a wait to end on; made once, at the first hold,
    // before the handler that sets it is installed.
    HANDLE event;
};
SignalHold hold{SRWLOCK_INIT, 0, nullptr};

// While installed, Ctrl-C and Ctrl-Break are only noted; without it they end
// the program at once. A console whose Ctrl-C was disabled for the program
// (started in a new process group) never calls it for Ctrl-C.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    InterlockedExchange(&signal_noted, event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
    SetEvent(hold.event);
    return TRUE;
}

} // namespace

void system_hold_signals() {
    AcquireSRWLockExclusive(&hold.lock);
    if (hold.depth++ == 0) {
        if (hold.event == nullptr) {
            hold.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
        SetConsoleCtrlHandler(on_console_event, TRUE);
    }
    ReleaseSRWLockExclusive(&hold.lock);
}

void system_release_signals() {
    AcquireSRWLockExclusive(&hold.lock);
    if (hold.depth > 0 && --hold.depth == 0) {
        SetConsoleCtrlHandler(on_console_event, FALSE);
    }
    ReleaseSRWLockExclusive(&hold.lock);
}

int system_held_signal() {
    return static_cast<int>(InterlockedCompareExchange(&signal_noted, 0, 0));
}

void system_end_by_signal(int) {
    // What the system's own handler does with Ctrl-C and Ctrl-Break.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool system_sleep_or_interrupted(unsigned milliseconds) {
    AcquireSRWLockShared(&hold.lock);
    const bool held = hold.event != nullptr && hold.depth > 0;
    ReleaseSRWLockShared(&hold.lock);
    if (!held) {
        system_pause_ms(milliseconds);
    } else {
        // The event stays set once a signal came, so none is missed.
        WaitForSingleObject(hold.event, milliseconds);
    }
    return system_held_signal() != 0;
}

bool system_stdout_is_terminal() {
    // Only a console has a console mode; _isatty also says yes for NUL.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void system_pause_ms(unsigned milliseconds) {
    // Sleep rounds to the system tick; ask for 1 ms ticks so the 50 ms byte
    // gap is not stretched to the next 15.6 ms boundary.
    static const bool period_set = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)period_set;
    Sleep(milliseconds);
}

std::uint64_t system_monotonic_us() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

WallTime system_wall_time() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    return WallTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}
