// Firmware transfer time of one 256 KiB image through the upgrade command set, from PREPARE to
// the last WRITE, into a simulated module that runs its loader, reached as a USB module over the
// in-process pipe through the real link engine. Three data paths:
//   - DATA packets of 26 bytes, each answered before the next goes,
//   - the byte-array path (option 10 set, 24 bytes per packet, one reply per piece),
//   - the byte-array path with the link writing queued packets in pooled blocks.
// Every run starts on a fresh module and is checked against its flash byte for byte; a wrong
// transfer ends the benchmark with an error. Only PREPARE and the transfer are timed (not the
// connection or the path checks). Prints per path the median and fastest run, bytes per second
// of the median, its ratio to the packet path, and, to show what the engine did, the packets the
// module received during one transfer, the stream writes that carried them and their mean size.
//
//   bench_firmware_transfer [runs]      (default 3)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimPipeStream.h"
#include "SimUpgrade.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"
#include "aLinkRegistry.h"
#include "aLinkSpec.h"
#include "aStream.h"

namespace {

using namespace sim::tessaline;
using Quillmet::TessaLine::aWeaveConfig;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::UpdaterEntity;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerialNumber = 0x0F1A5400;
constexpr uint8_t kModuleAddress = 2;
constexpr uint32_t kImageBytes = 256 * 1024;
constexpr uint32_t kTargetAddress = 0x00020000;
// The block size travels as 16 bits in the PREPARE reply and the WRITE count, so a piece can
// be at most 65535 bytes; 4096 is a flash-sector-sized piece well inside that, and its 171
// byte-array packets exercise the wrap of the 7-bit sequence number.
constexpr uint16_t kBlockSize = 4096;
constexpr int kDefaultRuns = 3;

// The module the engine's USB stream factory reaches; one at a time.
std::shared_ptr<SimModule> gModule;

// Stream writes the engine made to the module's pipe and the bytes they carried: shows whether
// pooled packets really leave in larger blocks. Written by the engine's output thread only.
std::atomic<uint64_t> gWrites{0};
std::atomic<uint64_t> gBytesWritten{0};

// A stream that passes everything to the pipe stream beneath it, counting the writes.
aErr sCountingGet(uint8_t* byte, void* inner) {
    return aStream_Read(static_cast<aStreamRef>(inner), byte, 1);
}
aErr sCountingWrite(const uint8_t* bytes, size_t length, void* inner) {
    gWrites.fetch_add(1, std::memory_order_relaxed);
    gBytesWritten.fetch_add(length, std::memory_order_relaxed);
    return aStream_Write(static_cast<aStreamRef>(inner), bytes, length);
}
aErr sCountingPut(const uint8_t* byte, void* inner) {
    return sCountingWrite(byte, 1, inner);
}
aErr sCountingWait(uint32_t msTimeout, void* inner) {
    return aStream_WaitReadable(static_cast<aStreamRef>(inner), msTimeout);
}
aErr sCountingDelete(void* inner) {
    auto stream = static_cast<aStreamRef>(inner);
    return aStream_Destroy(&stream);
}

aErr sPipeAsUsb(uint32_t serialNumber, aStreamRef* stream) {
    if (serialNumber != kSerialNumber || !gModule || !stream) return aErrNotFound;
    aStreamRef pipe = nullptr;
    const aErr err = CreatePipeStream(gModule, &pipe);
    if (err != aErrNone) return err;
    aStreamRef counting =
        aStream_Create(sCountingGet, sCountingPut, sCountingWrite, sCountingDelete, pipe);
    if (!counting) {
        aStream_Destroy(&pipe);
        return aErrMemory;
    }
    aStream_SetWait(counting, sCountingWait);
    *stream = counting;
    return aErrNone;
}

class SilentDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

struct Path {
    const char* name;
    bool byteArray;
    bool pooled;
};

const Path kPaths[] = {
    {"DATA packets (26 B)", false, false},
    {"byte array (24 B/pkt)", true, false},
    {"byte array, pooled", true, true},
};

struct RunResult {
    double seconds = 0;
    uint64_t packetsToModule = 0;  // every packet the module received during the transfer
    uint64_t writes = 0;           // stream writes carrying them
    uint64_t bytesWritten = 0;
    std::string error;  // empty on success
};

// A firmware block payload: the target address, big-endian, then the image. The image is a
// pseudo-random byte sequence, so a misplaced or repeated piece cannot match by accident.
std::vector<uint8_t> sFirmwareBlock() {
    std::vector<uint8_t> block = {uint8_t(kTargetAddress >> 24), uint8_t(kTargetAddress >> 16),
                                  uint8_t(kTargetAddress >> 8), uint8_t(kTargetAddress)};
    block.reserve(4 + kImageBytes);
    uint32_t state = 0x2545F491u;
    for (uint32_t i = 0; i < kImageBytes; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        block.push_back(uint8_t(state >> 11));
    }
    return block;
}

std::string sFailure(const char* step, aErr err) {
    return std::string(step) + " failed: " + aError_GetErrorText(err) + " (" +
           std::to_string(int(err)) + ")";
}

// Checks what the simulated loader committed: exactly the image, at its address, in pieces of
// the block size, through the data path under test.
std::string sCheckFlash(const SimUpgrade& upgrade, const std::vector<uint8_t>& block,
                        const Path& path) {
    const std::vector<uint8_t> image(block.begin() + 4, block.end());
    const size_t committed = upgrade.Flash().size();
    if (committed != image.size())
        return "flash holds " + std::to_string(committed) + " bytes, not " +
               std::to_string(image.size());
    const std::vector<uint8_t> flash = upgrade.FlashBytes(kTargetAddress, image.size());
    const auto mismatch = std::mismatch(flash.begin(), flash.end(), image.begin());
    if (mismatch.first != flash.end())
        return "flash differs from the image at offset " +
               std::to_string(mismatch.first - flash.begin());
    const std::vector<uint16_t> writes = upgrade.WriteCounts();
    size_t left = image.size();
    for (uint16_t count : writes) {
        if (count != std::min<size_t>(left, kBlockSize))
            return "a WRITE of " + std::to_string(count) + " bytes with " + std::to_string(left) +
                   " left";
        left -= count;
    }
    const bool sawDataPackets = !upgrade.DataSizes().empty();
    if (sawDataPackets == path.byteArray) return "the transfer did not take the path under test";
    return {};
}

// One transfer on a fresh module: connect, choose the path, then time PREPARE and the transfer.
RunResult sTransferOnce(const Path& path, const std::vector<uint8_t>& block) {
    RunResult result;
    SimModuleConfig moduleConfig;
    moduleConfig.serialNumber = kSerialNumber;
    moduleConfig.address = kModuleAddress;
    SimDevice device = MakeSimDevice(moduleConfig);
    SimUpgradeConfig upgradeConfig;
    upgradeConfig.startInLoader = true;
    upgradeConfig.blockSize = kBlockSize;
    upgradeConfig.byteArrayData = path.byteArray;
    upgradeConfig.pooledPackets = path.pooled;
    std::shared_ptr<SimUpgrade> upgrade = SimUpgrade::Install(device, upgradeConfig);
    gModule = device.module;

    {
        Module module(kModuleAddress, true, 0);
        aWeaveConfig direct;
        direct.enabled = false;
        direct.fallback = false;
        linkSpec spec{};
        spec.type = USB;
        spec.serialNumber = kSerialNumber;
        spec.t.usb.usbId = kSerialNumber;
        aErr err = module.setConfig(direct);
        if (err == aErrNone) err = module.connectFromSpec(spec);
        if (err != aErrNone) {
            result.error = sFailure("connect", err);
            gModule.reset();
            return result;
        }
        UpdaterEntity entity;
        entity.init(&module, 0, true, false);
        if (path.byteArray && (err = entity.CheckUEIDataSupport()) != aErrNone) {
            result.error = sFailure("CheckUEIDataSupport", err);
        } else if (path.pooled && (err = entity.CheckPooledPacketsSupport()) != aErrNone) {
            result.error = sFailure("CheckPooledPacketsSupport", err);
        }
        if (result.error.empty()) {
            SilentDisplay display;
            const uint64_t packetsBefore = device.module->Stats().packetsReceived;
            const uint64_t writesBefore = gWrites, bytesBefore = gBytesWritten;
            const auto start = Clock::now();
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize);
            if (err != aErrNone) {
                result.error = sFailure("TransferPrepare", err);
            } else if ((err = entity.FirmwareTransfer(block.data(), uint32_t(block.size()),
                                                      blockSize, display)) != aErrNone) {
                result.error = sFailure("FirmwareTransfer", err);
            }
            result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            result.writes = gWrites - writesBefore;
            result.bytesWritten = gBytesWritten - bytesBefore;
            // Every request was answered before the transfer returned, so the module has
            // received all of them by now.
            result.packetsToModule = device.module->Stats().packetsReceived - packetsBefore;
        }
    }
    if (result.error.empty()) result.error = sCheckFlash(*upgrade, block, path);
    gModule.reset();
    return result;
}

struct PathSummary {
    double medianSeconds = 0;
    double fastestSeconds = 0;
    uint64_t packetsToModule = 0;
    uint64_t writes = 0;
    uint64_t bytesWritten = 0;
};

bool sMeasure(const Path& path, int runs, const std::vector<uint8_t>& block, PathSummary* summary) {
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const RunResult result = sTransferOnce(path, block);
        if (!result.error.empty()) {
            fprintf(stderr, "%s, run %d: %s\n", path.name, run + 1, result.error.c_str());
            return false;
        }
        times.push_back(result.seconds);
        summary->packetsToModule = result.packetsToModule;
        summary->writes = result.writes;
        summary->bytesWritten = result.bytesWritten;
    }
    std::sort(times.begin(), times.end());
    summary->medianSeconds = times[times.size() / 2];
    summary->fastestSeconds = times.front();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::clamp(atoi(argv[1]), 1, 15) : kDefaultRuns;
    const std::vector<uint8_t> block = sFirmwareBlock();
    const aLinkUSBStreamFactory previous = aLinkRegistry_SetUSBStreamFactory(sPipeAsUsb);

    PathSummary summaries[std::size(kPaths)];
    bool ok = true;
    for (size_t i = 0; ok && i < std::size(kPaths); ++i)
        ok = sMeasure(kPaths[i], runs, block, &summaries[i]);
    aLinkRegistry_SetUSBStreamFactory(previous);
    if (!ok) return 1;

    printf(
        "%u-byte image (one block of 4 + %u bytes), block size %u (%u pieces), median of %d "
        "runs per path, simulated loader over the in-process pipe\n",
        kImageBytes, kImageBytes, kBlockSize, (kImageBytes + kBlockSize - 1) / kBlockSize, runs);
    printf("  %-22s %10s %10s %12s %11s %8s %8s %10s\n", "path", "median ms", "fastest ms",
           "bytes/s", "vs packets", "packets", "writes", "B/write");
    const double packetPath = summaries[0].medianSeconds;
    for (size_t i = 0; i < std::size(kPaths); ++i) {
        const PathSummary& s = summaries[i];
        printf("  %-22s %10.1f %10.1f %12.0f %10.2fx %8llu %8llu %10.1f\n", kPaths[i].name,
               s.medianSeconds * 1e3, s.fastestSeconds * 1e3, kImageBytes / s.medianSeconds,
               packetPath / s.medianSeconds, static_cast<unsigned long long>(s.packetsToModule),
               static_cast<unsigned long long>(s.writes),
               double(s.bytesWritten) / double(std::max<uint64_t>(1, s.writes)));
    }
    return 0;
}
