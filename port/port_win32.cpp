// One serial port on Windows.
#include "port/serial_port.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HANDLE handle_of(const SerialPort& port) { return reinterpret_cast<HANDLE>(port.handle); }

// The time-outs every read and write runs with: a read returns at once with
// what has arrived (MAXDWORD/0/0); a write of one byte gives up after
// 10 + 50 ms.
COMMTIMEOUTS port_timeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 50;
    return timeouts;
}

// Keeps the system's reason for the call that just failed, without the line
// end FormatMessage puts after it.
void note_failure(SerialPort& port, DWORD error) {
    char* const text = port.failure;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof port.failure, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' ||
                     text[n - 1] == '.')) {
        --n;
    }
    text[n] = '\0';
}

// Wine gives the program its own ntdll, which says so by this export.
bool under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

PortOpenResult port_open(SerialPort& port, const char* name) {
    // Share mode 0: nobody else may open the port while we hold it.
    const HANDLE opened = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    port.handle = reinterpret_cast<std::intptr_t>(opened);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        note_failure(port, error);
        const DWORD attributes = GetFileAttributesA(name);
        const bool is_folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (error == ERROR_ACCESS_DENIED && !is_folder) {
            // What a port another program holds open answers.
            const size_t used = std::strlen(port.failure);
            std::snprintf(port.failure + used, sizeof port.failure - used,
                          ": in use by another program");
        }
        return error == ERROR_FILE_NOT_FOUND ? PortOpenResult::not_found
                                             : PortOpenResult::open_failed;
    }

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_of(port), &dcb)) {
        note_failure(port, GetLastError());
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
    if (!SetCommState(handle_of(port), &dcb)) {
        note_failure(port, GetLastError());
        return PortOpenResult::set_state_failed;
    }

    COMMTIMEOUTS timeouts = port_timeouts();
    if (!SetCommTimeouts(handle_of(port), &timeouts)) {
        note_failure(port, GetLastError());
        return PortOpenResult::timeouts_failed;
    }
    return PortOpenResult::ok;
}

void port_close(SerialPort& port) {
    if (port.handle != -1) {
        CloseHandle(handle_of(port));
        port.handle = -1;
    }
}

bool port_write_byte(SerialPort& port, std::uint8_t byte) {
    DWORD written = 0;
    if (!WriteFile(handle_of(port), &byte, 1, &written, nullptr)) {
        note_failure(port, GetLastError());
        return false;
    }
    // A write time-out returns success with nothing written: that byte of the
    // frame is lost, so it is a failure like any other.
    if (written != 1) {
        std::snprintf(port.failure, sizeof port.failure,
                      "the driver took no byte for 60 ms (held back by flow control, or the "
                      "adapter has stalled)");
        return false;
    }
    // Taken by the driver is not yet sent: the device's gap starts once the
    // byte has left. Wine's flush of a port throws away what has not been
    // sent instead of waiting for it, so there the byte is left to go.
    if (!under_wine() && !FlushFileBuffers(handle_of(port))) {
        note_failure(port, GetLastError());
        return false;
    }
    return true;
}

int port_read(SerialPort& port, std::uint8_t* buffer, int capacity) {
    DWORD got = 0;
    if (!ReadFile(handle_of(port), buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
        note_failure(port, GetLastError());
        return -1;
    }
    return static_cast<int>(got);
}

int port_read_within(SerialPort& port, std::uint8_t* buffer, int capacity, unsigned timeout_ms) {
    if (timeout_ms == 0) {
        return port_read(port, buffer, capacity);
    }
    // MAXDWORD, MAXDWORD, N: the read returns at once with whatever is
    // waiting, and otherwise as soon as one byte comes, or after N ms with
    // nothing. The port's own time-outs are back before anyone reads again.
    COMMTIMEOUTS usual = port_timeouts();
    COMMTIMEOUTS waiting = usual;
    waiting.ReadIntervalTimeout = MAXDWORD;
    waiting.ReadTotalTimeoutMultiplier = MAXDWORD;
    waiting.ReadTotalTimeoutConstant = timeout_ms < MAXDWORD - 1 ? timeout_ms : MAXDWORD - 1;
    if (!SetCommTimeouts(handle_of(port), &waiting)) {
        note_failure(port, GetLastError());
        return -1;
    }
    const int got = port_read(port, buffer, capacity);
    if (!SetCommTimeouts(handle_of(port), &usual)) {
        note_failure(port, GetLastError());
        return -1;
    }
    return got;
}

void port_discard_input(SerialPort& port) { PurgeComm(handle_of(port), PURGE_RXCLEAR); }
