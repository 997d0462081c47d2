// What identifies a listed port, as one line of key=value words that a person
// can read and a script can grep: driver=ftdi_sio usb=0403:6001 ...
#pragma once

void identity_clear();
// Appends key=value; `value` must hold no blanks. With no value, the key
// alone: a mark such as "console".
void identity_add(const char* key, const char* value);
// Appends key="value": free text from a device or driver, with quotes,
// backslashes and unprintable bytes written as \xNN.
void identity_add_quoted(const char* key, const char* value);
const char* identity_text();
