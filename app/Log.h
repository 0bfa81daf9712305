#pragma once
// Process-wide, package-masked debug trace. A line is written only when its package was
// switched on (with -X); package 0 means "always".

#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_NetworkLink = 0x00000100,  // listed as "DEBUG_Network" in the help text too
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    Log() {}
    ~Log() {}

    // Writes the formatted text (no newline added) to the output stream when `package` is 0 or
    // shares a bit with the active packages. Text beyond 2047 characters is cut.
    static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));

    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(uint32_t bits) { package_bitmask |= bits; }
    static void DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
    static uint32_t ActivePackages() { return package_bitmask; }
    static void SetTimestamped(bool on) { timestamped = on; }

    static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
    static constexpr const char* SEPARATOR = " | ";

private:
    static inline uint32_t package_bitmask = 0;
    static inline bool timestamped = false;
    static inline FILE* fh = nullptr;
};
