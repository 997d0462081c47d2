// A cause on standard error, beside the fixed messages on standard output.
#pragma once

// Prints one line on standard error, "tolvaner: PORT: " and the formatted
// text, after whatever standard output holds so far, so that the cause reads
// after the fixed message it explains.
[[gnu::format(printf, 2, 3)]] void tell_cause(const char* port, const char* format, ...);
