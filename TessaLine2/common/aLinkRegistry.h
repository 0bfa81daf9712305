#pragma once
// Link registry and link creation.
//
// Links are shared, use-counted objects named by small integer ids that grow from 1 and are
// never reused within a process. The registry keeps one entry per link: its keys (the module's
// serial number, or the IPv4 address and TCP port it was created for), its transport, its use
// count and the engine record (aLink.h). The creation functions share an existing link for the
// same module, or register a new entry, build the transport's stream, initialise and start the
// engine and, for USB, synchronise with the module. aLink_Destroy drops one use and tears the
// link down with the last one; aLink_Reset rebuilds the stream of a link in place.
//
// Threads: every list operation and use-count change runs under the registry mutex
// ("aLink_Managed"). Sharing an existing link (lookup and use) and dropping the last use (count
// and unlink) are each one step under that mutex, so a link being torn down is never handed out.
// Two threads creating the same module's link at the same time may still create two links; the
// object API serialises creation. Entries are held by shared pointers, so a lookup's result stays
// valid memory while it is used, but callers must not destroy a link that another thread uses.

#include <cstdint>
#include <functional>
#include <memory>

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aStream.h"

// One registered link.
struct aLinkEntry {
    uint32_t id = 0;
    uint32_t innerLinkId = 0;  // a served USB link destroyed together with this one; else 0
    void* server = nullptr;    // link server attached to this USB link; else null
    uint32_t identifier = 0;   // serial number (USB, SERIAL) or IPv4 address (TCPIP, AWEAVE)
    uint32_t secondKey = 0;    // TCP port (TCPIP, AWEAVE); else 0
    uint32_t thirdKey = 0;     // client counter (AWEAVE); else 0
    linkType type = INVALID;
    int16_t useCount = 0;  // guarded by the registry mutex
    std::unique_ptr<aLinkRecord> link;
};

typedef std::shared_ptr<aLinkEntry> aLinkEntryRef;

// --- Link creation ----------------------------------------------------------------------------
// Each returns the link id, or 0 on any failure; a failure never leaves an entry behind.

// A link to the USB module `serialNumber`. An existing USB or SERIAL link to that serial number is
// shared (its use count goes up), unless a link server is attached to it (0: the module must be
// reached as a client of that server). A new link is started and synchronised: the module must
// answer the identify probes within 2 s.
uint32_t aLink_CreateUSB(uint32_t serialNumber);

// A link over TCP to `ipAddress` (IPv4, network byte order) and `port`. An existing TCPIP link to
// the same address and port is shared. No synchronisation is done.
uint32_t aLink_CreateTCPIP(uint32_t ipAddress, uint16_t port);

// A link over the serial port `portName` at `baudRate` (2400, 4800, 9600, 19200, 38400, 57600,
// 115200 or 230400 baud; 8 data bits, no parity, one stop bit) to the module `serialNumber`. An
// existing USB or SERIAL link to that serial number is shared. No synchronisation is done.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);

// Drops one use of the link `*linkId`; the last use stops the link and releases it with its
// stream. Returns aErrNone, or the error of releasing its outgoing FIFO; aErrParam for a null
// pointer or an id that is not registered. `*linkId` is set to 0 in every case.
aErr aLink_Destroy(uint32_t* linkId);

// Stops the link, replaces its FIFOs and rebuilds its stream from the entry's keys (USB by serial
// number, TCPIP by address and port), up to 20 attempts 100 ms apart, then initialises and starts
// it again; the user filter, packet log and pooled setting are kept. Returns the start result;
// aErrParam when there is no link; the last stream error when no attempt succeeded (SERIAL links
// can't be rebuilt: aErrParam), aErrUnimplemented at once for AWEAVE links. After a failure the
// link stays stopped without a stream (LINK_NO_STREAM).
aErr aLink_Reset(uint32_t linkId);

// --- USB transport seam -----------------------------------------------------------------------

// Makes the byte stream of a USB link to `serialNumber` into `*stream` (the caller's).
typedef aErr (*aLinkUSBStreamFactory)(uint32_t serialNumber, aStreamRef* stream);

// Replaces the function that makes USB streams (null restores the built-in one,
// aStream_CreateUSB) and returns the one replaced. Lets tests and tools put another transport
// under USB links.
aLinkUSBStreamFactory aLinkRegistry_SetUSBStreamFactory(aLinkUSBStreamFactory factory);

// --- Registry functions (engine, link server, tests) -----------------------------------------

// Registers a new entry with a zero-filled link record and use count 0. Returns its id, or 0 when
// memory or the registry mutex can't be had.
uint32_t aLinkRegistry_Register(uint32_t identifier, uint32_t secondKey, uint32_t thirdKey,
                                linkType type);

// The entry with id `id`; null when none.
aLinkEntryRef aLinkRegistry_FindById(uint32_t id);

// The newest entry whose first key is `identifier`, of any transport; null when none.
aLinkEntryRef aLinkRegistry_FindByIdentifier(uint32_t identifier);

// The newest entry with all three keys equal; null when none.
aLinkEntryRef aLinkRegistry_FindByKeys(uint32_t identifier, uint32_t secondKey, uint32_t thirdKey);

// The newest entry `match` accepts; null when none. `match` runs under the registry mutex and
// must not call the registry.
aLinkEntryRef aLinkRegistry_Find(const std::function<bool(const aLinkEntry&)>& match);

// Unlinks the entry `id` and returns it; null when none.
aLinkEntryRef aLinkRegistry_Extract(uint32_t id);

// Adds `delta` to the use count of entry `id`; `*useCount` (optional) receives the new count.
// aErrNotFound when there is no such entry.
aErr aLinkRegistry_ChangeUseCount(uint32_t id, int16_t delta, int16_t* useCount);

// The use count of entry `id`; 0 when there is none.
int16_t aLinkRegistry_UseCount(uint32_t id);

// Number of registered entries, for checks that everything was released.
size_t aLinkRegistry_Count();
