#pragma once
// Thread-safe packet queues named by 64-bit handles.
//
// Threads: any thread may call any operation on any handle. A process-wide registry maps handles
// to queues; an operation looks its queue up under the registry mutex, lets go of it, and then
// works under the queue's own mutex, so the two are never held together and a queue stays alive
// while an operation runs on it even if it is destroyed meanwhile.
//
// Ownership: a queue holds its own copies. Every packet handed out by Get, Await, GetFirst or
// AwaitFirst belongs to the caller, who releases it with aPacket_Destroy.
//
// Filters run with the queue's mutex held: they must be quick and must not call back into the
// same queue.
//
// Overflow: a queue holds at most aPACKETFIFO_LIMIT packets. The put that would exceed it
// empties the whole queue, itself included, and still succeeds: a reader that fell that far
// behind has lost its place anyway, and memory stays bounded.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoHandle;

inline constexpr size_t aPACKETFIFO_LIMIT = 1000;

// Creates and registers an empty queue. Returns its handle (never 0), or 0 on failure.
aPacketFifoHandle aPacketFifo_Create();

// Unregisters the queue, destroys its packets, wakes every waiter (their waits return null) and
// sets `*handle` to 0. aErrParam for a null pointer; aErrNotFound (handle unchanged) when no
// queue has that handle; aErrUnknown on an internal failure.
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);

// Number of queued packets; 0 for an unregistered handle.
size_t aPacketFifo_GetLength(aPacketFifoHandle handle);

// Appends a copy of `packet` (the caller keeps its own) and wakes the waiters, subject to the
// overflow rule above. aErrParam for an unregistered handle, an invalid packet or a failed copy;
// aErrResource when the queue cannot grow.
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);

// Removes and returns the oldest packet; null when the queue is empty or the handle unregistered.
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);

// Like aPacketFifo_Get, but waits up to `msTimeout` milliseconds for a packet. Null on time-out,
// for an unregistered handle, or when the queue is destroyed during the wait.
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t msTimeout);

// Removes and returns the oldest packet that `proc` accepts; null when none does, `proc` is null
// or the handle is unregistered.
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilterProc proc, void* reference);

// Like aPacketFifo_GetFirst, but waits up to `msTimeout` milliseconds for a match. During one
// call every packet is offered to `proc` at most once, in queue order, however often the waiter
// wakes; packets that arrive during the wait are offered as they come. Null on time-out, for an
// unregistered handle or null `proc`, or when the queue is destroyed during the wait.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilterProc proc, void* reference,
                                uint32_t msTimeout);

// Offers every queued packet to `proc` once, oldest first, and destroys those it accepts; the
// others keep their order. Returns the number removed (0 for an unregistered handle or null
// `proc`).
size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilterProc proc, void* reference);

// Number of registered queues, for checks that everything was released.
size_t aPacketFifo_RegisteredCount();

// Releases a packet held by a smart pointer.
struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// One queue entry: its sequence number and the packet it owns.
struct SerialPacket {
    uint64_t id;
    std::unique_ptr<aPacket, aPacketDeleter> packet;
};
