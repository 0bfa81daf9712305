#pragma once
// Byte stream over a serial port (termios), raw 8- or 7-bit characters.
//
// get answers at once (aErrNotReady when no byte is waiting); the wait operation
// (aStream_WaitReadable) sleeps in poll() instead, for at most the time given. write sends the
// whole block in one call and returns once it has been transmitted. Closing restores the terminal
// settings found at open.

#include <termios.h>

#include <cstdint>

#include "aStream.h"

// Baud-rate indices of aStream_CreateSerial.
enum aSerialBaudIndex : uint32_t {
    aSerialBaud2400 = 0,
    aSerialBaud4800 = 1,
    aSerialBaud9600 = 2,
    aSerialBaud19200 = 3,
    aSerialBaud38400 = 4,
    aSerialBaud57600 = 5,
    aSerialBaud115200 = 6,
    aSerialBaud230400 = 7,
};

// Longest device path the serial stream accepts.
inline constexpr size_t aSERIAL_MAX_PATH = 4096;

// Opens and configures the serial port `portName`: speed from `baudIndex` (any index above 7 sets
// speed 0, which hangs the line up), even parity when `parity` is true, 8 data bits for
// `dataBitsMode` 0 and 7 for 1, one stop bit for `stopBitsMode` 0 and two for 1; receiver on,
// modem lines ignored, no input, output or local processing, reads that return at once.
// On success `*stream` is the caller's to destroy. Errors:
//  - aErrResource, port untouched: a null name or output pointer, a name longer than
//    aSERIAL_MAX_PATH, a mode above 1, or no memory;
//  - aErrNotFound: no such device; aErrPermission: access denied;
//  - aErrIO: any other failure to open or configure the port (it is closed again).
aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, bool parity,
                          uint32_t dataBitsMode, uint32_t stopBitsMode, aStreamRef* stream);

// The raw terminal settings aStream_CreateSerial applies, built from the settings `found` on the
// port (arguments as there). Pure; exposed so that the framing can be checked without hardware,
// since a pseudo-terminal keeps neither parity nor 7-bit characters.
termios aStream_SerialSettings(const termios& found, uint32_t baudIndex, bool parity,
                               uint32_t dataBitsMode, uint32_t stopBitsMode);
