#pragma once
// Test side of the link engine: a far end the test scripts byte by byte, and small helpers.
//
// ScriptedWire is the module's end of an in-test byte stream (aStream_Create): the test feeds the
// exact bytes the engine will read (and read errors), and sees every block the engine writes, one
// entry per stream write. Its wait operation blocks until a byte is fed, like a socket's, so the
// engine under test paces itself exactly as it does on a real transport.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aPacket.h"
#include "aStream.h"

namespace linktest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// "AD 00" for expectations and failure messages.
inline std::string Hex(const Bytes& bytes) {
    std::string text;
    char hex[4];
    for (uint8_t byte : bytes) {
        snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", byte);
        text += hex;
    }
    return text;
}

// Waits until `condition` holds, checking every millisecond; false after `limit`, which only a
// broken engine reaches.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The wire bytes of a packet.
inline Bytes WireOf(const aPacket* packet) {
    Bytes bytes{packet->address, packet->dataSize};
    bytes.insert(bytes.end(), packet->data, packet->data + packet->dataSize);
    return bytes;
}

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A packet for `address` with `payload` (empty: a length-0 packet).
inline PacketPtr MakePacket(uint8_t address, const Bytes& payload) {
    static const uint8_t kNone = 0;
    return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()),
                                            payload.empty() ? &kNone : payload.data()));
}

class ScriptedWire {
  public:
    // Called on the writer's thread after each write, with the block written.
    using Responder = std::function<void(ScriptedWire& wire, const Bytes& written)>;

    // A new stream whose far end is `wire` (the stream keeps the wire alive); the caller destroys
    // it with aStream_Destroy. `withWait` false leaves out the wait operation.
    static aStreamRef NewStream(const std::shared_ptr<ScriptedWire>& wire, bool withWait = true) {
        auto* state = new std::shared_ptr<ScriptedWire>(wire);
        aStreamRef stream = aStream_Create(sGet, sPut, sWrite, sDelete, state);
        if (stream && withWait) aStream_SetWait(stream, sWait);
        return stream;
    }

    // Bytes the engine will read, in order, made available all at once.
    void Feed(const Bytes& bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (uint8_t byte : bytes) input_.push_back(byte);
            emptyGetsAtFeed_ = emptyGets_;
        }
        changed_.notify_all();
    }

    // The next get after the bytes fed so far reports `err`.
    void FeedError(aErr err) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            input_.push_back(-static_cast<int>(err));
            emptyGetsAtFeed_ = emptyGets_;
        }
        changed_.notify_all();
    }

    // Waits until the engine has read everything fed and come back for more: every byte fed has
    // then been handled.
    bool WaitConsumed(std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit,
                                 [&] { return input_.empty() && emptyGets_ > emptyGetsAtFeed_; });
    }

    std::vector<Bytes> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }

    size_t WriteCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_.size();
    }

    // Waits until `condition` holds for the writes so far.
    bool WaitForWrites(const std::function<bool(const std::vector<Bytes>&)>& condition,
                       std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(writes_); });
    }

    // Waits until a write of exactly `bytes` was made.
    bool WaitForWrite(const Bytes& bytes, std::chrono::milliseconds limit = 10s) {
        return WaitForWrites(
            [&](const std::vector<Bytes>& writes) {
                for (const Bytes& w : writes)
                    if (w == bytes) return true;
                return false;
            },
            limit);
    }

    // While held, writes block (the writer waits inside the stream).
    void HoldWrites(bool hold) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hold_ = hold;
        }
        changed_.notify_all();
    }

    bool WaitWriterBlocked(std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return writerBlocked_; });
    }

    void SetResponder(Responder responder) {
        std::lock_guard<std::mutex> lock(mutex_);
        responder_ = std::move(responder);
    }

    // Gets that found nothing to read.
    uint64_t EmptyGets() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return emptyGets_;
    }

    // Waits that ran into their time limit.
    uint64_t TimedOutWaits() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return timedOutWaits_;
    }

  private:
    static ScriptedWire& Of(void* state) {
        return **static_cast<std::shared_ptr<ScriptedWire>*>(state);
    }

    static aErr sGet(uint8_t* byte, void* state) {
        ScriptedWire& wire = Of(state);
        aErr err = aErrNone;
        {
            std::lock_guard<std::mutex> lock(wire.mutex_);
            if (wire.input_.empty()) {
                ++wire.emptyGets_;
                err = aErrNotReady;
            } else {
                const int next = wire.input_.front();
                wire.input_.pop_front();
                if (next < 0) {
                    err = static_cast<aErr>(-next);
                } else {
                    *byte = static_cast<uint8_t>(next);
                }
            }
        }
        wire.changed_.notify_all();
        return err;
    }

    static aErr sWrite(const uint8_t* bytes, size_t length, void* state) {
        ScriptedWire& wire = Of(state);
        Responder responder;
        Bytes block(bytes, bytes + length);
        {
            std::unique_lock<std::mutex> lock(wire.mutex_);
            while (wire.hold_) {
                wire.writerBlocked_ = true;
                wire.changed_.notify_all();
                wire.changed_.wait(lock);
            }
            wire.writerBlocked_ = false;
            wire.writes_.push_back(block);
            responder = wire.responder_;
        }
        wire.changed_.notify_all();
        if (responder) responder(wire, block);
        return aErrNone;
    }

    static aErr sPut(const uint8_t* byte, void* state) { return sWrite(byte, 1, state); }

    static aErr sWait(uint32_t msTimeout, void* state) {
        ScriptedWire& wire = Of(state);
        std::unique_lock<std::mutex> lock(wire.mutex_);
        if (wire.changed_.wait_for(lock, std::chrono::milliseconds(msTimeout),
                                   [&] { return !wire.input_.empty(); })) {
            return aErrNone;
        }
        ++wire.timedOutWaits_;
        return aErrTimeout;
    }

    static aErr sDelete(void* state) {
        delete static_cast<std::shared_ptr<ScriptedWire>*>(state);
        return aErrNone;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> input_;  // a byte, or a negated aErr for get to report
    std::vector<Bytes> writes_;
    bool hold_ = false;
    bool writerBlocked_ = false;
    uint64_t emptyGets_ = 0;
    uint64_t emptyGetsAtFeed_ = 0;
    uint64_t timedOutWaits_ = 0;
    Responder responder_;
};

// Splits a written block into packets (address, length, payload) as a module would.
inline std::vector<Bytes> SplitPackets(const Bytes& block) {
    std::vector<Bytes> packets;
    for (size_t at = 0; at + 1 < block.size();) {
        const size_t size = 2u + block[at + 1];
        packets.emplace_back(block.begin() + at,
                             block.begin() + static_cast<long>(std::min(at + size, block.size())));
        at += size;
    }
    return packets;
}

// A responder that answers every identify probe written with an empty packet from `address`.
inline ScriptedWire::Responder AnswerProbes(uint8_t address) {
    return [address](ScriptedWire& wire, const Bytes& written) {
        for (const Bytes& packet : SplitPackets(written)) {
            if (packet == Bytes{0xAD, 0x00}) wire.Feed({address, 0x00});
        }
    };
}

// Counts the identify probes among the writes.
inline size_t CountProbes(const std::vector<Bytes>& writes) {
    size_t probes = 0;
    for (const Bytes& write : writes)
        for (const Bytes& packet : SplitPackets(write)) probes += packet == Bytes{0xAD, 0x00};
    return probes;
}

}  // namespace linktest
