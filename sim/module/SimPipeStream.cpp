#include "SimPipeStream.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

namespace sim::tessaline {

namespace {

constexpr uint16_t kPipeCheck = 0x51DE;

// The bytes on their way to the host. Shared by the stream and the module's sink, so that
// neither outlives what it writes into.
struct PipeChannel {
    std::mutex mutex;
    std::condition_variable readable;
    std::deque<uint8_t> toHost;
    bool broken = false;  // the module hung up
};

struct PipeState {
    uint16_t check = kPipeCheck;
    std::shared_ptr<SimModule> module;
    std::shared_ptr<PipeChannel> channel;
    uint64_t token = 0;
};

PipeState* sState(void* ref) {
    auto* state = static_cast<PipeState*>(ref);
    return state && state->check == kPipeCheck ? state : nullptr;
}

aErr sGet(uint8_t* byte, void* ref) {
    PipeState* state = sState(ref);
    if (!state || !byte) return aErrParam;
    PipeChannel& channel = *state->channel;
    std::lock_guard<std::mutex> lock(channel.mutex);
    if (!channel.toHost.empty()) {
        *byte = channel.toHost.front();
        channel.toHost.pop_front();
        return aErrNone;
    }
    return channel.broken ? aErrConnection : aErrNotReady;
}

aErr sWrite(const uint8_t* bytes, size_t length, void* ref) {
    PipeState* state = sState(ref);
    if (!state || (!bytes && length > 0)) return aErrParam;
    {
        std::lock_guard<std::mutex> lock(state->channel->mutex);
        if (state->channel->broken) return aErrConnection;
    }
    state->module->Receive(bytes, length);
    return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) {
    return sWrite(byte, byte ? 1 : 0, ref);
}

aErr sWait(uint32_t msTimeout, void* ref) {
    PipeState* state = sState(ref);
    if (!state) return aErrParam;
    PipeChannel& channel = *state->channel;
    std::unique_lock<std::mutex> lock(channel.mutex);
    const bool ready = channel.readable.wait_for(lock, std::chrono::milliseconds(msTimeout), [&] {
        return !channel.toHost.empty() || channel.broken;
    });
    return ready ? aErrNone : aErrTimeout;
}

aErr sDelete(void* ref) {
    PipeState* state = sState(ref);
    if (!state) return aErrParam;
    state->module->Detach(state->token);
    state->check = 0;
    delete state;
    return aErrNone;
}

}  // namespace

aErr CreatePipeStream(std::shared_ptr<SimModule> module, aStreamRef* stream) {
    if (!module || !stream) return aErrParam;
    auto* state = new (std::nothrow) PipeState;
    if (!state) return aErrMemory;
    state->module = std::move(module);
    state->channel = std::make_shared<PipeChannel>();

    aStreamRef created = aStream_Create(sGet, sPut, sWrite, sDelete, state);
    if (!created) {
        delete state;
        return aErrMemory;
    }
    aStream_SetWait(created, sWait);

    std::weak_ptr<PipeChannel> weak = state->channel;
    auto sink = [channel = state->channel](const uint8_t* bytes, size_t length) {
        {
            std::lock_guard<std::mutex> lock(channel->mutex);
            channel->toHost.insert(channel->toHost.end(), bytes, bytes + length);
        }
        channel->readable.notify_all();
    };
    auto hangUp = [weak] {
        if (auto channel = weak.lock()) {
            {
                std::lock_guard<std::mutex> lock(channel->mutex);
                channel->broken = true;
            }
            channel->readable.notify_all();
        }
    };
    state->token = state->module->Attach(std::move(sink), std::move(hangUp));
    *stream = created;
    return aErrNone;
}

}  // namespace sim::tessaline
