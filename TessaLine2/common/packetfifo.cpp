#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;
using Clock = std::chrono::steady_clock;

}  // namespace

// One queue. Sequence numbers grow by one per put and are never reused, so the entries are
// always sorted by number and a waiter can remember how far it has looked with one number.
class packetFifo {
  public:
    // Appends `packet`; aErrParam when the queue was destroyed meanwhile.
    aErr put(PacketPtr packet);

    // Oldest packet, waiting up to `msTimeout` for one.
    aPacket* await(uint32_t msTimeout);

    // Oldest packet `proc` accepts, waiting up to `msTimeout`; every entry is offered once.
    aPacket* awaitFirst(aPacketFilterProc proc, void* reference, uint32_t msTimeout);

    size_t drain(aPacketFilterProc proc, void* reference);
    size_t length();

    // Empties the queue for good and releases every waiter.
    void shutdown();

  private:
    using Lock = std::unique_lock<std::mutex>;

    // Waits until `take` yields a packet, the queue dies or the deadline passes; `take` runs
    // under the mutex at entry and after every wake-up, and once more after the deadline.
    template <typename Take>
    aPacket* waitFor(uint32_t msTimeout, Take take);

    aPacket* takeAt(std::deque<SerialPacket>::iterator entry);  // needs mutex_
    void syncWindow();                                          // needs mutex_

    std::mutex mutex_;
    std::condition_variable changed_;  // signalled on put and on shutdown
    std::deque<SerialPacket> queue_;   // guarded by mutex_
    // Written only under mutex_; atomic so that they can be read without it.
    std::atomic<bool> alive_{true};
    std::atomic<uint64_t> windowStart_{0};  // number of the oldest entry, or nextId_ when empty
    std::atomic<uint64_t> nextId_{0};
};

aErr packetFifo::put(PacketPtr packet) {
    {
        Lock lock(mutex_);
        if (!alive_.load(std::memory_order_relaxed)) return aErrParam;
        try {
            queue_.push_back(
                SerialPacket{nextId_.load(std::memory_order_relaxed), std::move(packet)});
        } catch (const std::bad_alloc&) {
            return aErrResource;
        }
        nextId_.fetch_add(1, std::memory_order_relaxed);
        if (queue_.size() > aPACKETFIFO_LIMIT) {
            queue_.clear();
            syncWindow();
            return aErrNone;
        }
        syncWindow();
    }
    changed_.notify_all();
    return aErrNone;
}

template <typename Take>
aPacket* packetFifo::waitFor(uint32_t msTimeout, Take take) {
    const Clock::time_point deadline =
        msTimeout == 0 ? Clock::time_point() : Clock::now() + std::chrono::milliseconds(msTimeout);
    Lock lock(mutex_);
    for (;;) {
        if (aPacket* packet = take()) return packet;
        if (!alive_.load(std::memory_order_relaxed)) return nullptr;
        if (msTimeout == 0 || Clock::now() >= deadline) return nullptr;
        changed_.wait_until(lock, deadline);
    }
}

aPacket* packetFifo::await(uint32_t msTimeout) {
    return waitFor(msTimeout,
                   [this]() { return queue_.empty() ? nullptr : takeAt(queue_.begin()); });
}

aPacket* packetFifo::awaitFirst(aPacketFilterProc proc, void* reference, uint32_t msTimeout) {
    bool started = false;
    uint64_t firstUnexamined = 0;
    return waitFor(msTimeout, [&]() -> aPacket* {
        if (!started) {
            firstUnexamined = windowStart_.load(std::memory_order_relaxed);
            started = true;
        }
        auto entry = std::lower_bound(queue_.begin(), queue_.end(), firstUnexamined,
                                      [](const SerialPacket& e, uint64_t id) { return e.id < id; });
        for (; entry != queue_.end(); ++entry) {
            firstUnexamined = entry->id + 1;
            if (proc(entry->packet.get(), reference)) return takeAt(entry);
        }
        return nullptr;
    });
}

size_t packetFifo::drain(aPacketFilterProc proc, void* reference) {
    Lock lock(mutex_);
    size_t removed = 0;
    auto kept = queue_.begin();
    for (auto entry = queue_.begin(); entry != queue_.end(); ++entry) {
        if (proc(entry->packet.get(), reference)) {
            entry->packet.reset();
            ++removed;
        } else {
            if (kept != entry) *kept = std::move(*entry);
            ++kept;
        }
    }
    queue_.erase(kept, queue_.end());
    syncWindow();
    return removed;
}

size_t packetFifo::length() {
    Lock lock(mutex_);
    return queue_.size();
}

void packetFifo::shutdown() {
    {
        Lock lock(mutex_);
        queue_.clear();
        syncWindow();
        alive_.store(false, std::memory_order_relaxed);
    }
    changed_.notify_all();
}

aPacket* packetFifo::takeAt(std::deque<SerialPacket>::iterator entry) {
    aPacket* packet = entry->packet.release();
    queue_.erase(entry);
    syncWindow();
    return packet;
}

void packetFifo::syncWindow() {
    windowStart_.store(queue_.empty() ? nextId_.load(std::memory_order_relaxed) : queue_.front().id,
                       std::memory_order_relaxed);
}

namespace {

struct sRegistry {
    std::mutex mutex;
    std::unordered_map<aPacketFifoHandle, std::shared_ptr<packetFifo>> fifos;  // guarded by mutex
    std::atomic<aPacketFifoHandle> nextHandle{1};
};

// Never destroyed: threads that outlive main may still look queues up.
sRegistry& sTheRegistry() {
    static sRegistry* registry = new sRegistry;
    return *registry;
}

std::shared_ptr<packetFifo> sLookup(aPacketFifoHandle handle) {
    if (handle == 0) return nullptr;
    sRegistry& registry = sTheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.fifos.find(handle);
    return found == registry.fifos.end() ? nullptr : found->second;
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create() {
    sRegistry& registry = sTheRegistry();
    aPacketFifoHandle handle = 0;
    while (handle == 0) handle = registry.nextHandle.fetch_add(1, std::memory_order_relaxed);
    try {
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.fifos.emplace(handle, std::move(fifo));
    } catch (...) {
        return 0;
    }
    return handle;
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
    if (!handle) return aErrParam;
    std::shared_ptr<packetFifo> fifo;
    {
        sRegistry& registry = sTheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto found = registry.fifos.find(*handle);
        if (found == registry.fifos.end()) return aErrNotFound;
        fifo = std::move(found->second);
        registry.fifos.erase(found);
    }
    if (!fifo) return aErrUnknown;
    fifo->shutdown();
    *handle = 0;
    return aErrNone;
}

size_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
    auto fifo = sLookup(handle);
    return fifo ? fifo->length() : 0;
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
    auto fifo = sLookup(handle);
    if (!fifo) return aErrParam;
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    return fifo->put(std::move(copy));
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) {
    return aPacketFifo_Await(handle, 0);
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t msTimeout) {
    auto fifo = sLookup(handle);
    return fifo ? fifo->await(msTimeout) : nullptr;
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilterProc proc, void* reference) {
    return aPacketFifo_AwaitFirst(handle, proc, reference, 0);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilterProc proc, void* reference,
                                uint32_t msTimeout) {
    if (!proc) return nullptr;
    auto fifo = sLookup(handle);
    return fifo ? fifo->awaitFirst(proc, reference, msTimeout) : nullptr;
}

size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilterProc proc, void* reference) {
    if (!proc) return 0;
    auto fifo = sLookup(handle);
    return fifo ? fifo->drain(proc, reference) : 0;
}

size_t aPacketFifo_RegisteredCount() {
    sRegistry& registry = sTheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.fifos.size();
}
