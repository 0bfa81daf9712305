// Cost of one request/reply exchange through the link engine, against the same exchange made
// directly on the byte stream with no engine, both with the simulated module over the in-process
// pipe. Prints the median and the 99th percentile of each and their ratios.
//
//   bench_link_roundtrip [exchanges]      (default 5000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "SimModule.h"
#include "SimPipeStream.h"
#include "aLink.h"
#include "aLinkRegistry.h"
#include "aPacket.h"
#include "aStream.h"

namespace {

using namespace sim::tessaline;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 0x02;
constexpr uint8_t kEcho = 0x10;
constexpr uint32_t kSerialNumber = 0x00C0FFEE;
constexpr int kWarmUp = 200;

std::shared_ptr<SimModule> gModule;

aErr sPipeAsUsb(uint32_t, aStreamRef* stream) {
    return CreatePipeStream(gModule, stream);
}

struct Tag {
    uint8_t a, b;
};

bool sIsEchoOf(const aPacket* packet, void* reference) {
    const auto* tag = static_cast<const Tag*>(reference);
    return packet->dataSize == 3 && packet->data[0] == kEcho && packet->data[1] == tag->a &&
           packet->data[2] == tag->b;
}

// One exchange through the engine; false when the reply did not come within a second.
bool EngineExchange(uint32_t id, int n) {
    Tag tag{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    const uint8_t payload[] = {kEcho, tag.a, tag.b};
    aPacket* request = aPacket_CreateWithData(kModule, sizeof payload, payload);
    aErr err = aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    if (err != aErrNone) return false;
    aPacket* reply = aLink_AwaitFirst(id, sIsEchoOf, &tag, 1000);
    if (!reply) return false;
    aPacket_Destroy(&reply);
    return true;
}

// The same exchange written and read on the stream itself.
bool DirectExchange(aStreamRef stream, int n) {
    const uint8_t request[] = {kModule, 3, kEcho, static_cast<uint8_t>(n),
                               static_cast<uint8_t>(n >> 8)};
    if (aStream_Write(stream, request, sizeof request) != aErrNone) return false;
    uint8_t reply[sizeof request];
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    for (;;) {
        aErr err = aStream_Read(stream, reply, sizeof reply);
        if (err == aErrNone) break;
        if (err != aErrNotReady || Clock::now() > deadline) return false;
        aStream_WaitReadable(stream, 50);
    }
    return std::equal(reply + 2, reply + sizeof reply, request + 2);
}

struct Summary {
    double median_us = 0;
    double p99_us = 0;
};

template <typename Exchange>
bool Measure(int count, Exchange exchange, Summary* summary) {
    std::vector<double> times;
    times.reserve(static_cast<size_t>(count));
    for (int n = 0; n < kWarmUp + count; ++n) {
        const auto start = Clock::now();
        if (!exchange(n)) {
            fprintf(stderr, "exchange %d got no reply\n", n);
            return false;
        }
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (n >= kWarmUp) times.push_back(us);
    }
    std::sort(times.begin(), times.end());
    summary->median_us = times[times.size() / 2];
    summary->p99_us = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(100, atoi(argv[1])) : 5000;
    SimModuleConfig config;
    config.serialNumber = kSerialNumber;
    config.address = kModule;
    gModule = std::make_shared<SimModule>(config);
    gModule->SetRequestHandler(kEcho, [](SimModule& m, const SimPacket& request) {
        m.Send(SimPacket{m.Config().address, request.payload});
    });

    Summary engine, direct;
    aLinkRegistry_SetUSBStreamFactory(sPipeAsUsb);
    uint32_t id = aLink_CreateUSB(kSerialNumber);
    if (!id) {
        fprintf(stderr, "no link to the simulated module\n");
        return 1;
    }
    bool ok = Measure(
        count, [id](int n) { return EngineExchange(id, n); }, &engine);
    aLink_Destroy(&id);
    aLinkRegistry_SetUSBStreamFactory(nullptr);
    if (!ok) return 1;

    aStreamRef stream = nullptr;
    if (CreatePipeStream(gModule, &stream) != aErrNone) return 1;
    ok = Measure(
        count, [stream](int n) { return DirectExchange(stream, n); }, &direct);
    aStream_Destroy(&stream);
    if (!ok) return 1;

    printf("request/reply exchange with the simulated module over the in-process pipe, %d runs\n",
           count);
    printf("  %-22s median %8.1f us   p99 %8.1f us\n", "through the link engine", engine.median_us,
           engine.p99_us);
    printf("  %-22s median %8.1f us   p99 %8.1f us\n", "directly on the pipe", direct.median_us,
           direct.p99_us);
    printf("  ratio engine/direct:  median %.2f   p99 %.2f\n", engine.median_us / direct.median_us,
           engine.p99_us / direct.p99_us);
    gModule.reset();
    return 0;
}
