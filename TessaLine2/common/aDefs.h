#pragma once
// Definitions shared by the device library and the application: model names, transport kinds and
// the library's trace switches.

#include <cstdint>

// Transport of a link.
enum linkType : uint32_t {
    INVALID = 0,  // no transport; to the application's discovery: every transport
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AWEAVE = 4,  // through a link server that owns the module's real link
};

// Display name of a model number; "Unknown" for any number not in the model table. Never null.
const char* aDefs_GetModelName(uint32_t model);

// Library trace switches, both off at start. A library module prints a trace line only when bit 0
// of the enable byte is set and its own area bit is set in the level.
extern uint8_t aTessaLineDebuggingEnable;
extern uint32_t aTessaLineDebuggingLevel;

enum aDebugArea : uint32_t {
    aDEBUG_LINK = 0x1,       // link creation, registry, start/stop, reset, sync, pipe threads
    aDEBUG_PACKET = 0x2,     // every packet in and out, heartbeat back channel
    aDEBUG_SERVER = 0x4,     // link server
    aDEBUG_MULTICAST = 0x8,  // multicast sockets
    aDEBUG_DISCOVERY = 0x10,
    aDEBUG_CLIENT = 0x20,  // client stream to a link server
    aDEBUG_MODULE = 0x40,  // the module object's automatic network set-up
    aDEBUG_BEACON = 0x200,
    aDEBUG_USB = 0x400,
};

// True when trace output of `area` is switched on.
bool aDefs_DebugOn(uint32_t area);

// Prints one trace line to standard output (and flushes it) when `area` is switched on.
void aDefs_Trace(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));
