#pragma once
// Link engine: turns a byte stream to a module into two packet queues.
//
// Per link, an input thread reads the stream byte by byte, keeps it in step with the packet
// boundaries (synchronisation), assembles packets, answers the module's heartbeats, offers each
// packet to an optional user filter and queues the rest on the incoming FIFO; an output thread
// takes packets from the outgoing FIFO and writes them to the stream, one by one or pooled into
// blocks of up to 4096 bytes. Links are named by the ids of the link registry (aLinkRegistry.h),
// which owns the link records; every operation below looks its link up by id first.
//
// Wire format (both directions, every transport): address, length n (0 to 28), n payload bytes;
// no start marker, no checksum, no escaping. Packet boundaries are found again after any
// disturbance by a burst of identify probes that the module answers with empty packets.
//
// Pacing: the input thread never spins. When the stream has no byte, it waits for readability
// through the stream's wait operation (aStream_WaitReadable) for at most aLINK_INPUT_WAIT_MS
// before reading again, so an idle link costs next to no processor time and, while a module does
// not answer, probe bursts go out at most once per wait. Streams without a wait operation pace
// the thread through their own blocking get.
//
// Threads: any thread may call any operation on a link that exists. Status, running and ready
// flags are atomic words; the user filter is installed and called under the user-filter mutex;
// the packet log is touched only under its log mutex. Callers must not destroy a link (through
// the registry) while another thread still uses it.
//
// Ownership: packets handed out by the Get and Await operations belong to the caller, who
// releases them with aPacket_Destroy; PutPacket queues a copy.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "aError.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketLog.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

// Status of a link, readable at any time with aLink_GetStatus.
enum aLinkStatus : uint32_t {
    LINK_STOPPED = 0,       // initialised with a stream, threads not running; also after a stop
    LINK_STARTING = 1,      // start requested, threads starting
    LINK_RUNNING = 2,       // input thread running and in step with the module
    LINK_STOPPING = 3,      // stop in progress
    LINK_SYNCING = 4,       // synchronisation in progress
    LINK_NO_STREAM = 5,     // no stream; also the status of an id that has no link
    IO_ERROR = 6,           // the stream reported a read error; until a sync completes or a restart
    LINK_PACKET_ERROR = 8,  // a complete incoming packet was refused by the incoming FIFO
};

// Link commands: odd addresses that the host sends to the module at the near end.
inline constexpr uint8_t aLINK_PROBE_ADDRESS = 0xAD;  // identify probe, length 0
inline constexpr uint8_t cmdFORCEROUTE = 0xAF;        // force route, length 1, payload 1 on / 0 off

// Heartbeats: length 2, payload 0x00 then x; the host answers 0x00, x + 2.
inline constexpr uint8_t aLINK_HEARTBEAT_COMMAND = 0x00;
inline constexpr uint8_t aLINK_HEARTBEAT_ANSWER_OFFSET = 2;

// Number of identify probes in one synchronisation burst.
inline constexpr int aLINK_SYNC_BURST = 6;

// Longest wait of the input thread for a readable stream before it reads again.
inline constexpr uint32_t aLINK_INPUT_WAIT_MS = 25;

// Largest block a pooled write carries.
inline constexpr size_t aLINK_POOL_BLOCK = 4096;

// Packet log: record tags, default capacity and the largest capacity accepted.
inline constexpr uint8_t aLINK_LOG_OUTGOING = 1;
inline constexpr uint8_t aLINK_LOG_INCOMING = 2;
inline constexpr uint8_t aLINK_LOG_TEXT = 3;
inline constexpr uint32_t aLINK_LOG_DEFAULT_SIZE = 65536;
inline constexpr int32_t aLINK_LOG_MAX_SIZE = 0x4000000;

// Sync states of the input thread.
enum aLinkSyncState : uint8_t {
    kSyncStateIdle = 0,   // in step
    kSyncStateStart = 1,  // a probe burst is due
    kSyncStateByte1 = 2,  // expecting the module address
    kSyncStateByte2 = 3,  // expecting 0x00
    kSyncStateByte3 = 4,  // expecting the same address again
    kSyncStateByte4 = 5,  // expecting 0x00
};

inline constexpr uint16_t aLINK_CHECK = 0xCEED;

// The engine state of one link. Allocated by the registry with its entry, initialised by
// aLink_Init, released by aLink_Release. Fields are grouped by the thread that writes them. The
// two mutexes live as long as the record itself, so an operation that found the link just before
// it was released never locks a destroyed mutex; the destructor frees whatever is left.
struct aLinkRecord {
    aLinkRecord() = default;
    ~aLinkRecord();
    aLinkRecord(const aLinkRecord&) = delete;
    aLinkRecord& operator=(const aLinkRecord&) = delete;

    std::atomic<uint16_t> checkValue{0};  // aLINK_CHECK while initialised
    uint32_t id = 0;

    std::atomic<bool> running{false};  // the pipe threads run while it is set
    std::atomic<uint32_t> status{LINK_NO_STREAM};
    std::atomic<aPacketFifoHandle> incoming{0};
    std::atomic<aPacketFifoHandle> outgoing{0};

    // Lifecycle (init, start, stop, release), serialised by `lifecycle`.
    std::mutex lifecycle;
    aStreamRef stream = nullptr;
    aThreadRef inputThread = nullptr;
    aThreadRef outputThread = nullptr;
    std::atomic<bool> inputReady{false};
    std::atomic<bool> outputReady{false};

    // Input thread only while running.
    aPacket* assembly = nullptr;
    uint8_t syncState = kSyncStateIdle;
    uint8_t syncAddress = 0;  // the module address seen in the first sync byte

    // Packet log. The mutex is published before the log; the log is replaced only under it.
    std::atomic<aPacketLogRef> log{nullptr};
    std::atomic<aMutexRef> logMutex{nullptr};
    std::atomic<uint32_t> logCapacity{0};  // 0: aLINK_LOG_DEFAULT_SIZE
    std::atomic<bool> logEnabled{false};   // recorded only; recording does not consult it

    // User filter, guarded by userFilterMutex.
    aMutexRef userFilterMutex = nullptr;
    aPacketFilterProc userFilter = nullptr;
    void* userFilterReference = nullptr;

    std::atomic<bool> pooled{false};
};

// --- Lifecycle (used by the link registry) ----------------------------------------------------

// Initialises the link record of the registered entry `id` with `stream` (which may be null):
// status LINK_STOPPED with a stream or LINK_NO_STREAM without one, new incoming and outgoing
// FIFOs, a new assembly packet, and, the first time, no packet log, no filter, pooled writes off
// and the user-filter mutex. A record initialised before (a reset) keeps its packet log, user
// filter and pooled setting. The record takes `stream` whenever the entry has a record, even when
// initialisation fails (a running link destroys it at once); without one the stream stays the
// caller's. Returns `id`, or 0 when the entry or its record is missing, the link is running, or
// a FIFO, packet or mutex can't be made.
uint32_t aLink_Init(uint32_t id, aStreamRef stream);

// Starts the input and output threads, waits up to 2 s (200 polls, 10 ms apart) until both run
// and the status is LINK_RUNNING, then queues force route on. Returns the force-route result;
// aErrNone at once when already running; aErrParam when there is no link; aErrConnection when
// the link has no stream; aErrResource when a thread can't start (nothing is left running);
// aErrIndexRange when the threads did not come up in time (they keep running; the caller
// destroys the link).
aErr aLink_Start(uint32_t id);

// Stops the threads of `link`: queues force route off (written by the output thread before it
// ends, after everything queued before it), clears running and joins the input thread, then the
// output thread. Status LINK_STOPPED afterwards (LINK_NO_STREAM without a stream). Returns the
// force-route result, aErrNone at once when the link is stopped or stopping, aErrParam for a null
// record, aErrUnknown when a join fails.
aErr aLink_Stop(aLinkRecord* link);

// Destroys the FIFOs and the stream of a stopped link (a reset replaces them). aErrParam for a
// null record.
aErr aLink_ReleaseTransport(aLinkRecord* link);

// Releases what a stopped link owns: both FIFOs, the assembly packet, the packet log, the user
// filter and the stream; clears the check value (the link is gone for every operation by id).
// Returns the result of destroying the outgoing FIFO (aErrNone normally); aErrParam for a null
// record.
aErr aLink_Release(aLinkRecord* link);

// --- Operations by id ------------------------------------------------------------------------

// Forces a synchronisation: status LINK_SYNCING, then up to 2 s (200 polls, 10 ms apart) for
// LINK_RUNNING. In both cases the outgoing FIFO is then emptied, and after a 100 ms pause the
// incoming FIFO too (the answers to the probes). aErrNone when the link got in step, aErrNotReady
// when not, or at once when the link is not running; aErrParam when there is no link.
aErr aLink_Sync(uint32_t id);

// Queues the force-route command with payload `on` (0 or 1). aErrNotFound when the id is not
// registered; aErrParam when it has no initialised record; aErrMemory when the packet can't be
// made; else the put result.
aErr aLink_ForceRoute(uint32_t id, uint8_t on);

// The status of the link; LINK_NO_STREAM when there is no link.
uint32_t aLink_GetStatus(uint32_t id);

// Queues a copy of `packet` on the outgoing FIFO. aErrParam when there is no link; otherwise the
// put result (aErrParam for an invalid packet).
aErr aLink_PutPacket(uint32_t id, const aPacket* packet);

// The incoming FIFO operations (packetfifo.h); null, or 0 removed, when there is no link.
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, uint32_t msTimeout);
aPacket* aLink_GetFirst(uint32_t id, aPacketFilterProc proc, void* reference);
size_t aLink_DrainPackets(uint32_t id, aPacketFilterProc proc, void* reference);

// Waits up to `msTimeout` ms for the first incoming packet `proc` accepts, but only while the link
// runs in status LINK_RUNNING: null at once when it is not (a link that is synchronising has no
// answers to give), on time-out, or when the link stops. A status change during the wait is
// noticed when the current FIFO wait ends. Null also for a null `proc` or when there is no link.
aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilterProc proc, void* reference, uint32_t msTimeout);

// Installs the user filter (null removes it), under the user-filter mutex. The input thread calls
// it for every complete incoming packet, heartbeats included; the packet is valid only during the
// call, and a true result consumes it. The filter must not install filters itself (that call
// returns aErrDuplicate). aErrParam when there is no link.
aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilterProc proc, void* reference);

// Switches pooled writes on or off. aErrParam when there is no link.
aErr aLink_EnablePooledPackets(uint32_t id, bool on);

// --- Packet debug log ------------------------------------------------------------------------
// Records of outgoing packets (tag aLINK_LOG_OUTGOING; a pooled block records its first packet),
// incoming packets (aLINK_LOG_INCOMING) and callers' texts, in a ring that drops the oldest
// records when full (aPacketLog.h). Recording goes on while the log exists, enabled or not.

// Records the capacity for a later enable; a negative size is taken as 0 (the default).
// aErrParam when there is no link or `size` exceeds aLINK_LOG_MAX_SIZE; aErrBusy once the log
// exists.
aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size);

// Creates the log (once) with the recorded capacity, and its mutex, and marks it enabled.
// aErrParam when there is no link; aErrResource when the log or mutex can't be made.
aErr aLink_PacketDebug_Enable(uint32_t id);

// Marks the log disabled. aErrParam when there is no link; aErrNotReady when no log exists.
aErr aLink_PacketDebug_Disable(uint32_t id);

// Takes the oldest record (aPacketLog_Get: `*length` is the buffer size on entry; aErrNotFound
// when empty; aErrOverrun when the record is longer than the buffer). aErrParam when there is no
// link; aErrNotReady when no log exists.
aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* tag, uint32_t* length, uint8_t* buffer);

// Adds a record (aPacketLog_Put). aErrParam when there is no link; aErrNotReady when no log
// exists.
aErr aLink_PacketDebug_Write(uint32_t id, uint8_t tag, uint32_t length, const uint8_t* bytes);
