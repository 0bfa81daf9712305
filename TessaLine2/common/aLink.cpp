#include "aLink.h"

#include <cstdio>

#include "aDefs.h"
#include "aLinkRegistry.h"
#include "aTime.h"

namespace {

constexpr int kStartPolls = 200;
constexpr int kSyncPolls = 200;
constexpr uint32_t kPollMs = 10;
constexpr uint32_t kReadErrorPauseMs = 100;
constexpr uint32_t kSyncDrainPauseMs = 100;
// The output thread waits for packets in slices so that a stop is noticed promptly even when the
// force-route-off packet was written just before the running flag was cleared.
constexpr uint32_t kOutputWaitMs = 100;
// When a stream says a byte may be waiting but then has none, twice in a row, the input thread
// pauses this long before trying again, so even a stream whose wait can't wait never makes it
// spin.
constexpr uint32_t kSpinGuardMs = 5;

// A link record that aLink_Init has initialised, held alive by its entry.
struct LinkRef {
    aLinkEntryRef entry;
    aLinkRecord* link = nullptr;
    explicit operator bool() const { return link != nullptr; }
    aLinkRecord* operator->() const { return link; }
};

LinkRef sFind(uint32_t id) {
    LinkRef ref;
    ref.entry = aLinkRegistry_FindById(id);
    if (ref.entry && ref.entry->link && ref.entry->link->checkValue == aLINK_CHECK) {
        ref.link = ref.entry->link.get();
    }
    return ref;
}

// Address and length, then the payload: the packet as it travels. Returns the number of bytes.
size_t sWireBytes(const aPacket* packet, uint8_t* out) {
    out[0] = packet->address;
    out[1] = packet->dataSize;
    for (uint8_t i = 0; i < packet->dataSize; ++i) out[2 + i] = packet->data[i];
    return packet->dataSize + 2u;
}

// Puts a packet made of `address` and `payload` on the outgoing FIFO.
aErr sQueue(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* payload) {
    static const uint8_t kNone = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? payload : &kNone);
    if (!packet) return aErrMemory;
    aErr err = aPacketFifo_Put(link->outgoing, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr sQueueForceRoute(aLinkRecord* link, uint8_t on) {
    return sQueue(link, cmdFORCEROUTE, 1, &on);
}

// Destroys the packet log under its mutex, so a reader holding the mutex never sees it go.
void sDropLog(aLinkRecord* link) {
    aMutexRef mutex = link->logMutex.load(std::memory_order_acquire);
    if (!mutex || aMutex_Lock(mutex) != aErrNone) return;
    aPacketLogRef log = link->log.exchange(nullptr);
    aMutex_Unlock(mutex);
    aPacketLog_Destroy(&log);
}

// Runs `operation` on the packet log under its mutex. aErrNotReady when no log exists.
template <typename Operation>
aErr sWithLog(aLinkRecord* link, Operation operation) {
    aMutexRef mutex = link->logMutex.load(std::memory_order_acquire);
    if (!mutex) return aErrNotReady;
    aErr err = aMutex_Lock(mutex);
    if (err != aErrNone) return err;
    aPacketLogRef log = link->log.load(std::memory_order_acquire);
    err = log ? operation(log) : aErrNotReady;
    aMutex_Unlock(mutex);
    return err;
}

void sLog(aLinkRecord* link, uint8_t tag, const aPacket* packet) {
    if (!link->log.load(std::memory_order_acquire)) return;  // no log: no locking per packet
    uint8_t wire[aPACKET_MAX_WIRE];
    const uint32_t length = static_cast<uint32_t>(sWireBytes(packet, wire));
    sWithLog(link, [&](aPacketLogRef log) { return aPacketLog_Put(log, tag, length, wire); });
}

bool sAcceptAll(const aPacket*, void*) {
    return true;
}

// --- Input pipe -------------------------------------------------------------------------------

// Starts a synchronisation burst: the partial packet is lost and six identify probes are queued;
// once they are, the next byte is expected to be the module's address.
void sStartSync(aLinkRecord* link) {
    link->status = LINK_SYNCING;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->assembly);
    aErr err = aErrNone;
    for (int i = 0; i < aLINK_SYNC_BURST; ++i) err = sQueue(link, aLINK_PROBE_ADDRESS, 0, nullptr);
    if (err == aErrNone) link->syncState = kSyncStateByte1;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): sync burst\n", link->id);
}

// One received byte while synchronising. In step after A, 0x00, A, 0x00: two empty answers from
// the same module.
void sSyncStep(aLinkRecord* link, uint8_t byte) {
    switch (link->syncState) {
        case kSyncStateByte1:
            if (byte != 0 && byte % 2 == 0) {
                link->syncAddress = byte;
                link->syncState = kSyncStateByte2;
            } else {
                sStartSync(link);
            }
            break;
        case kSyncStateByte2:
            link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            break;
        case kSyncStateByte3:
            link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
            break;
        case kSyncStateByte4:
            if (byte == 0) {
                link->syncState = kSyncStateIdle;
                link->status = LINK_RUNNING;
                aDefs_Trace(aDEBUG_LINK, "aLink(%u): in step with module %u\n", link->id,
                            link->syncAddress);
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        default:  // kSyncStateStart, or idle after aLink_Sync
            sStartSync(link);
            break;
    }
}

bool sIsHeartbeat(const aPacket* packet) {
    return packet->dataSize == 2 && packet->data[0] == aLINK_HEARTBEAT_COMMAND;
}

// Handles the complete assembly packet: log, user filter, heartbeat answer, else the incoming
// FIFO. Returns the FIFO's put result (aErrNone when the packet was consumed).
aErr sHandlePacket(aLinkRecord* link) {
    aPacket* packet = link->assembly;
    sLog(link, aLINK_LOG_INCOMING, packet);
    aDefs_Trace(aDEBUG_PACKET, "aLink(%u) < %02X %02X\n", link->id, packet->address,
                packet->dataSize);

    bool consumed = false;
    if (aMutex_Lock(link->userFilterMutex) == aErrNone) {
        if (link->userFilter) consumed = link->userFilter(packet, link->userFilterReference);
        aMutex_Unlock(link->userFilterMutex);
    }

    aErr result = aErrNone;
    if (!consumed && sIsHeartbeat(packet)) {
        const uint8_t answer[2] = {
            aLINK_HEARTBEAT_COMMAND,
            static_cast<uint8_t>(packet->data[1] + aLINK_HEARTBEAT_ANSWER_OFFSET)};
        sQueue(link, packet->address, 2, answer);
        aDefs_Trace(aDEBUG_PACKET, "aLink(%u): heartbeat %u from %02X answered\n", link->id,
                    packet->data[1], packet->address);
    } else if (!consumed) {
        result = aPacketFifo_Put(link->incoming, packet);
    }
    aPacket_Reset(packet);
    return result;
}

void sAssemble(aLinkRecord* link, uint8_t byte) {
    if (aPacket_AddByte(link->assembly, byte) != aErrNone) {
        aDefs_Trace(aDEBUG_LINK, "aLink(%u): Out of sync\n", link->id);
        sStartSync(link);
        return;
    }
    if (aPacket_IsComplete(link->assembly) && sHandlePacket(link) != aErrNone) {
        link->status = LINK_PACKET_ERROR;
    }
}

// Waits until the stream may have a byte. `idleWakeups` counts the waits in a row that ended
// without waiting although no byte came.
void sAwaitInput(aLinkRecord* link, unsigned* idleWakeups) {
    if (aStream_WaitReadable(link->stream, aLINK_INPUT_WAIT_MS) == aErrTimeout) {
        *idleWakeups = 0;
        return;
    }
    if (++*idleWakeups > 1) aTime_MSSleep(kSpinGuardMs);
}

void* sInPipeProcess(void* argument) {
    auto* link = static_cast<aLinkRecord*>(argument);
    link->syncState = kSyncStateIdle;
    link->inputReady = true;
    // No synchronisation at start: the engine is in step until a framing error proves otherwise.
    link->status = LINK_RUNNING;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): input pipe running\n", link->id);

    unsigned idleWakeups = 0;
    while (link->running) {
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            if (link->status == LINK_SYNCING) sStartSync(link);
            sAwaitInput(link, &idleWakeups);
            continue;
        }
        idleWakeups = 0;
        if (err != aErrNone) {
            link->status = IO_ERROR;
            aTime_MSSleep(kReadErrorPauseMs);
            continue;
        }
        if (link->status == LINK_SYNCING) {
            sSyncStep(link, byte);
        } else {
            sAssemble(link, byte);
        }
    }
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): input pipe ended\n", link->id);
    return nullptr;
}

// --- Output pipe ------------------------------------------------------------------------------

void sWriteOne(aLinkRecord* link, const aPacket* packet) {
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t length = sWireBytes(packet, wire);
    aErr err = aStream_Write(link->stream, wire, length);
    if (err != aErrNone) {
        aDefs_Trace(aDEBUG_LINK, "aLink(%u): write failed: %d\n", link->id, err);
    }
}

// Appends the wire bytes of further queued packets to a block that starts with `first`, as long
// as a whole packet still fits, and writes it with one stream write.
void sWritePooled(aLinkRecord* link, const aPacket* first) {
    uint8_t block[aLINK_POOL_BLOCK];
    size_t used = sWireBytes(first, block);
    while (sizeof block - used >= aPACKET_MAX_WIRE) {
        aPacket* next = aPacketFifo_Get(link->outgoing);
        if (!next) break;
        used += sWireBytes(next, block + used);
        aPacket_Destroy(&next);
    }
    aErr err = aStream_Write(link->stream, block, used);
    if (err != aErrNone) {
        aDefs_Trace(aDEBUG_LINK, "aLink(%u): pooled write failed: %d\n", link->id, err);
    }
}

void* sOutPipeProcess(void* argument) {
    auto* link = static_cast<aLinkRecord*>(argument);
    link->outputReady = true;
    while (link->running) {
        aPacket* packet = aPacketFifo_Await(link->outgoing, kOutputWaitMs);
        if (!packet) continue;
        aDefs_Trace(aDEBUG_PACKET, "aLink(%u) > %02X %02X\n", link->id, packet->address,
                    packet->dataSize);
        // A write error is not retried here: the stream retries what it can itself.
        if (link->pooled) {
            sWritePooled(link, packet);
        } else {
            sWriteOne(link, packet);
        }
        sLog(link, aLINK_LOG_OUTGOING, packet);
        aPacket_Destroy(&packet);
    }
    // Whatever is still queued (the force-route-off command of a stop among it) goes out.
    while (aPacket* packet = aPacketFifo_Get(link->outgoing)) {
        sWriteOne(link, packet);
        aPacket_Destroy(&packet);
    }
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): output pipe ended\n", link->id);
    return nullptr;
}

// Joins whichever pipe threads exist. Returns aErrUnknown when a join fails.
aErr sJoinThreads(aLinkRecord* link) {
    aErr result = aErrNone;
    if (link->inputThread && aThread_Destroy(&link->inputThread) != 0) result = aErrUnknown;
    if (link->outputThread && aThread_Destroy(&link->outputThread) != 0) result = aErrUnknown;
    return result;
}

bool sStarted(const aLinkRecord* link) {
    return link->inputReady && link->outputReady && link->status == LINK_RUNNING;
}

}  // namespace

// --- Lifecycle --------------------------------------------------------------------------------

uint32_t aLink_Init(uint32_t id, aStreamRef stream) {
    aLinkEntryRef entry = aLinkRegistry_FindById(id);
    if (!entry || !entry->link) return 0;
    aLinkRecord* link = entry->link.get();
    std::lock_guard<std::mutex> guard(link->lifecycle);
    if (link->running) {  // the threads use the stream and the FIFOs: the new stream goes
        if (stream && stream != link->stream) aStream_Destroy(&stream);
        return 0;
    }

    const bool first = link->checkValue != aLINK_CHECK;
    link->checkValue = 0;
    link->id = id;
    if (link->stream && link->stream != stream) aStream_Destroy(&link->stream);
    link->stream = stream;
    link->status = stream ? LINK_STOPPED : LINK_NO_STREAM;
    link->inputReady = false;
    link->outputReady = false;

    for (std::atomic<aPacketFifoHandle>* fifo : {&link->incoming, &link->outgoing}) {
        aPacketFifoHandle old = fifo->exchange(aPacketFifo_Create());
        if (old) aPacketFifo_Destroy(&old);
    }
    if (link->assembly) {
        aPacket_Reset(link->assembly);
    } else {
        link->assembly = aPacket_Create();
    }
    if (first) {
        link->userFilter = nullptr;
        link->userFilterReference = nullptr;
        link->pooled = false;
        link->logEnabled = false;
        link->logCapacity = 0;
        if (!link->userFilterMutex) {
            char name[64];
            snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
            link->userFilterMutex = aMutex_Create(name);
        }
    }
    if (!link->incoming || !link->outgoing || !link->assembly || !link->userFilterMutex) return 0;
    link->checkValue = aLINK_CHECK;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): initialised\n", id);
    return id;
}

aErr aLink_Start(uint32_t id) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    {
        std::lock_guard<std::mutex> guard(link->lifecycle);
        if (link->running) return aErrNone;
        if (!link->stream) return aErrConnection;

        link->running = true;
        link->status = LINK_STARTING;
        link->inputReady = false;
        link->outputReady = false;
        link->inputThread = aThread_Create(sInPipeProcess, link.link);
        if (link->inputThread) link->outputThread = aThread_Create(sOutPipeProcess, link.link);
        if (!link->inputThread || !link->outputThread) {
            link->running = false;
            sJoinThreads(link.link);
            link->status = LINK_STOPPED;
            return aErrResource;
        }
    }
    bool started = sStarted(link.link);
    for (int poll = 0; !started && poll < kStartPolls; ++poll) {
        aTime_MSSleep(kPollMs);
        started = sStarted(link.link);
    }
    if (!started) return aErrIndexRange;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): started\n", id);
    return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLinkRecord* link) {
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> guard(link->lifecycle);
    const uint32_t status = link->status;
    if (status == LINK_STOPPING || status == LINK_STOPPED) return aErrNone;

    link->status = LINK_STOPPING;
    aErr result = aErrNone;
    // Queued before running is cleared, so the output thread's last drain always sees it.
    if (link->inputThread && link->outputThread) result = sQueueForceRoute(link, 0);
    link->running = false;
    // The input thread may be blocked in the stream (a USB read waits up to 1000 ms): let it go
    // at once, so a stop does not wait out the read. Writes go on, so the output thread still
    // sends the force-route-off command. Cleared again so the link can be restarted.
    if (link->stream) aStream_Interrupt(link->stream, true);
    if (sJoinThreads(link) != aErrNone) result = aErrUnknown;
    if (link->stream) aStream_Interrupt(link->stream, false);
    link->inputReady = false;
    link->outputReady = false;
    if (link->assembly) aPacket_Reset(link->assembly);
    link->status = link->stream ? LINK_STOPPED : LINK_NO_STREAM;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): stopped\n", link->id);
    return result;
}

aErr aLink_ReleaseTransport(aLinkRecord* link) {
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> guard(link->lifecycle);
    aPacketFifoHandle incoming = link->incoming.exchange(0);
    aPacketFifoHandle outgoing = link->outgoing.exchange(0);
    if (incoming) aPacketFifo_Destroy(&incoming);
    if (outgoing) aPacketFifo_Destroy(&outgoing);
    if (link->stream) aStream_Destroy(&link->stream);
    link->status = LINK_NO_STREAM;
    return aErrNone;
}

aErr aLink_Release(aLinkRecord* link) {
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> guard(link->lifecycle);
    link->checkValue = 0;
    aPacketFifoHandle incoming = link->incoming.exchange(0);
    aPacketFifoHandle outgoing = link->outgoing.exchange(0);
    if (incoming) aPacketFifo_Destroy(&incoming);
    aErr result = outgoing ? aPacketFifo_Destroy(&outgoing) : aErrNone;
    if (link->assembly) aPacket_Destroy(&link->assembly);
    sDropLog(link);
    if (aMutex_Lock(link->userFilterMutex) == aErrNone) {
        link->userFilter = nullptr;
        link->userFilterReference = nullptr;
        aMutex_Unlock(link->userFilterMutex);
    }
    if (link->stream) aStream_Destroy(&link->stream);
    link->status = LINK_NO_STREAM;
    return result;
}

aLinkRecord::~aLinkRecord() {
    aLink_Stop(this);  // an entry dropped without a teardown must not leave its threads behind
    aLink_Release(this);
    aMutexRef mutex = logMutex.exchange(nullptr);
    if (mutex) aMutex_Destroy(&mutex);
    if (userFilterMutex) aMutex_Destroy(&userFilterMutex);
}

// --- Operations by id -------------------------------------------------------------------------

aErr aLink_Sync(uint32_t id) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    if (!link->running) return aErrNotReady;  // no input thread to synchronise

    link->status = LINK_SYNCING;
    {
        // The input thread notices the new status between reads; a USB read in progress would
        // hold it for up to 1000 ms. Letting that read go at once (it answers "no byte") makes
        // synchronisation start now. Under the lifecycle lock, so the stream cannot go meanwhile.
        std::lock_guard<std::mutex> guard(link->lifecycle);
        if (link->stream) {
            aStream_Interrupt(link->stream, true);
            aStream_Interrupt(link->stream, false);
        }
    }
    aErr result = aErrNotReady;
    for (int poll = 0; poll < kSyncPolls; ++poll) {
        aTime_MSSleep(kPollMs);
        if (link->status == LINK_RUNNING) {
            result = aErrNone;
            break;
        }
    }
    aPacketFifo_DrainPackets(link->outgoing, sAcceptAll, nullptr);
    aTime_MSSleep(kSyncDrainPauseMs);
    aPacketFifo_DrainPackets(link->incoming, sAcceptAll, nullptr);
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): sync %s\n", id, result == aErrNone ? "done" : "failed");
    return result;
}

aErr aLink_ForceRoute(uint32_t id, uint8_t on) {
    aLinkEntryRef entry = aLinkRegistry_FindById(id);
    if (!entry) return aErrNotFound;
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    return sQueueForceRoute(link.link, on);
}

uint32_t aLink_GetStatus(uint32_t id) {
    LinkRef link = sFind(id);
    return link ? link->status.load() : LINK_NO_STREAM;
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    return aPacketFifo_Put(link->outgoing, packet);
}

aPacket* aLink_GetPacket(uint32_t id) {
    LinkRef link = sFind(id);
    return link ? aPacketFifo_Get(link->incoming) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, uint32_t msTimeout) {
    LinkRef link = sFind(id);
    return link ? aPacketFifo_Await(link->incoming, msTimeout) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketFilterProc proc, void* reference) {
    LinkRef link = sFind(id);
    return link ? aPacketFifo_GetFirst(link->incoming, proc, reference) : nullptr;
}

size_t aLink_DrainPackets(uint32_t id, aPacketFilterProc proc, void* reference) {
    LinkRef link = sFind(id);
    return link ? aPacketFifo_DrainPackets(link->incoming, proc, reference) : 0;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilterProc proc, void* reference,
                          uint32_t msTimeout) {
    LinkRef link = sFind(id);
    if (!link || !proc) return nullptr;
    if (!link->running || link->status != LINK_RUNNING) return nullptr;
    // One FIFO wait covers the whole time: it ends early only with a match or when the FIFO is
    // destroyed (the link was stopped for a reset or its destruction), and a second wait would
    // offer the same packets to `proc` again.
    return aPacketFifo_AwaitFirst(link->incoming, proc, reference, msTimeout);
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilterProc proc, void* reference) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    aErr err = aMutex_Lock(link->userFilterMutex);
    if (err != aErrNone) return err;
    link->userFilter = proc;
    link->userFilterReference = proc ? reference : nullptr;
    return aMutex_Unlock(link->userFilterMutex);
}

aErr aLink_EnablePooledPackets(uint32_t id, bool on) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    link->pooled = on;
    return aErrNone;
}

// --- Packet debug log -------------------------------------------------------------------------

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size) {
    LinkRef link = sFind(id);
    if (!link || size > aLINK_LOG_MAX_SIZE) return aErrParam;
    if (link->log.load()) return aErrBusy;
    link->logCapacity = size < 0 ? 0u : static_cast<uint32_t>(size);
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t id) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> guard(link->lifecycle);
    if (!link->logMutex.load()) {
        char name[64];
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link.link));
        aMutexRef mutex = aMutex_Create(name);
        if (!mutex) return aErrResource;
        link->logMutex.store(mutex, std::memory_order_release);
    }
    if (!link->log.load()) {
        const uint32_t capacity =
            link->logCapacity ? link->logCapacity.load() : aLINK_LOG_DEFAULT_SIZE;
        aPacketLogRef log = aPacketLog_Create(capacity);
        if (!log) return aErrResource;
        link->log.store(log, std::memory_order_release);
    }
    link->logEnabled = true;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t id) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    if (!link->log.load()) return aErrNotReady;
    link->logEnabled = false;
    return aErrNone;
}

aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* tag, uint32_t* length, uint8_t* buffer) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    return sWithLog(link.link,
                    [&](aPacketLogRef log) { return aPacketLog_Get(log, tag, length, buffer); });
}

aErr aLink_PacketDebug_Write(uint32_t id, uint8_t tag, uint32_t length, const uint8_t* bytes) {
    LinkRef link = sFind(id);
    if (!link) return aErrParam;
    return sWithLog(link.link,
                    [&](aPacketLogRef log) { return aPacketLog_Put(log, tag, length, bytes); });
}
