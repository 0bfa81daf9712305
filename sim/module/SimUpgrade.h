#pragma once
// The firmware-upgrade command set of a simulated module (command 95): the module's side of the
// loader and firmware transfers, with a recorded loader memory and a simulated flash.
//
// Wire behaviour (payload bytes, multi-byte numbers big-endian):
//   5F 00                 INIT     -> 5F 00 load-base(4)
//   5F 03 flags addr(4)   PREPARE  -> 5F 07 status block-size(2); a new block starts at addr
//   5F 01 bytes(1..26)    DATA     -> 5F 01 count; the bytes join the current piece
//   5F 8A 20|i bytes trl  option-10 byte-array set (24 bytes per packet, trailer bit 7 = more,
//                         bits 0-6 sequence); the bytes join the piece, answered once after the
//                         last packet with 5F CA i (out of sequence: 5F CA i|80 aErrPacket)
//   5F 04                 SUM      -> 5F 07 0 sum(4) of the piece's bytes
//   5F 05 count(2)        WRITE    -> 5F 07 status; in the loader, commits the piece to flash
//                                     (status aErrSize when count differs from the piece)
//   5F 02                 LOAD     -> (5F 02 when answerLoad) then the module restarts into
//                                     its loader: the transport drops
//   5F 06                 REBOOT   -> no reply; the module restarts into the new firmware
// While the running firmware takes a block (before LOAD), data go straight into the loader
// memory at the block's address; inside the loader, pieces are committed to flash by WRITE.
// After a restart the module's configuration follows the new state (loader serial number, new
// firmware version and build), so the system entity answers accordingly.
//
// Restart: `restartDelay` after LOAD or REBOOT the leaving handler runs, the module closes its
// transport, then the restart handler runs (the owner decides whether and how the module comes
// back: keep listening, unplug, re-plug under another serial number, put it back on a bus).
// The loader then announces itself with the LOAD reply (unless `answerLoad` sent it already):
// once the host has probed it again after reconnecting, or, with `announceWhenAttached` (a
// module behind a router, whose host link never dropped), as soon as a transport is attached.
//
// Threads: requests are served on the module's input thread, restarts on its timer thread;
// every member is thread-safe.

#include <array>
#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimDevice.h"
#include "SimModule.h"

namespace sim::tessaline {

inline constexpr uint8_t kUpgradeCommand = 95;
inline constexpr uint8_t kUpgradeInit = 0;
inline constexpr uint8_t kUpgradeData = 1;
inline constexpr uint8_t kUpgradeLoad = 2;
inline constexpr uint8_t kUpgradePrepare = 3;
inline constexpr uint8_t kUpgradeSum = 4;
inline constexpr uint8_t kUpgradeWrite = 5;
inline constexpr uint8_t kUpgradeReboot = 6;
inline constexpr uint8_t kUpgradeStatus = 7;
inline constexpr uint8_t kUpgradeDataOption = 10;
inline constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
inline constexpr uint32_t kLoaderDefaultSerial = 0xDEADDEAD;

// Sparse byte-addressed memory kept in pages, so that committing a large piece costs a copy
// rather than one tree node per byte. Bytes never written read as erased flash (0xFF).
class SimMemory {
  public:
    void Write(uint32_t address, const uint8_t* bytes, size_t length);
    bool Empty() const { return pages_.empty(); }
    // Every written byte by address.
    std::map<uint32_t, uint8_t> Bytes() const;
    // `length` bytes from `address`.
    std::vector<uint8_t> Read(uint32_t address, size_t length) const;
    // The bytes from the lowest written address through the highest; empty when none.
    std::vector<uint8_t> Image() const;

  private:
    static constexpr uint32_t kPageSize = 4096;
    struct Page {
        std::array<uint8_t, kPageSize> bytes;
        std::bitset<kPageSize> written;
    };
    std::map<uint32_t, Page> pages_;  // by page number
};

struct SimUpgradeConfig {
    uint32_t loadBase = 0x10000000;
    uint16_t blockSize = 256;
    uint8_t prepareStatus = 0;
    bool byteArrayData = false;  // option 10 settable, reported by module information
    bool pooledPackets = false;  // bit 31 of the system entity's protocol features
    bool answerLoad = false;     // LOAD answered before the restart
    bool loadRestarts = true;
    bool rebootRestarts = true;       // false: REBOOT is ignored and the link stays up
    uint32_t loaderSerialNumber = 0;  // serial number in the loader; 0 keeps the module's (the
                                      // firmware answers with the module's own after REBOOT)
    uint32_t newFirmwareVersion = 0;  // configuration after REBOOT; 0 keeps the old value
    uint32_t newFirmwareBuild = 0;
    std::chrono::milliseconds restartDelay{20};
    // The loader, once a host has connected and probed it after LOAD, announces itself with
    // the LOAD reply after this delay (0: it stays silent).
    std::chrono::milliseconds loaderAnnounceDelay{20};
    bool announceWhenAttached = false;  // announce without waiting for the host's probes
    bool startInLoader = false;         // the module runs its loader from the start
};

enum class SimUpgradeEvent { LoaderStarted, Rebooted };

class SimUpgrade : public std::enable_shared_from_this<SimUpgrade> {
  public:
    // Runs after the module dropped its transport on a restart (timer thread).
    using RestartHandler = std::function<void(SimUpgradeEvent event)>;
    // Runs on a restart just before the module drops its transport (timer thread), so that a
    // front end can go away in its own manner first (stop listening, leave a bus for good).
    using LeavingHandler = std::function<void(SimUpgradeEvent event)>;

    // Installs the handler of command 95 on `module`. The handler keeps the object alive.
    static std::shared_ptr<SimUpgrade> Install(SimModule& module, SimUpgradeConfig config = {});
    // The same on a complete device, which also advertises the byte-array path in its
    // module-information catalogue and pooled packets in its protocol features, as configured.
    static std::shared_ptr<SimUpgrade> Install(SimDevice& device, SimUpgradeConfig config = {});

    void SetRestartHandler(RestartHandler handler);
    void SetLeavingHandler(LeavingHandler handler);
    void SetPrepareStatus(uint8_t status);
    void SetBlockSize(uint16_t size);

    // --- Faults ----------------------------------------------------------------------------
    // The next `times` DATA replies report one byte fewer than sent; the bytes are not taken.
    void MiscountData(uint32_t times);
    // The next `times` SUM replies carry the sum plus one.
    void CorruptSums(uint32_t times);
    // The same for the SUM replies of the loader only (the firmware pieces): those before LOAD
    // stay right.
    void CorruptLoaderSums(uint32_t times);
    // The next `times` replies to `subCommand` (the request's sub-command) are not sent.
    void LoseReplies(uint8_t subCommand, uint32_t times);

    // --- Observations ----------------------------------------------------------------------
    bool InLoader() const;
    // Bytes committed to flash, and bytes written into the loader memory, by address.
    std::map<uint32_t, uint8_t> Flash() const;
    std::map<uint32_t, uint8_t> LoaderMemory() const;
    // `length` bytes from `address` of the flash; absent bytes read 0xFF (erased).
    std::vector<uint8_t> FlashBytes(uint32_t address, size_t length) const;
    // The flash and the loader memory as images: the bytes from the lowest address written
    // through the highest, gaps read 0xFF; empty when nothing was written.
    std::vector<uint8_t> FlashImage() const;
    std::vector<uint8_t> LoaderImage() const;
    // Writes FlashImage() to `path` and LoaderImage() to `path` + ".loader", replacing both.
    // False when either can't be written.
    bool WriteImages(const std::string& path) const;
    // Sub-commands received, in order (the byte-array set is recorded as 10, once per array).
    std::vector<uint8_t> SubCommands() const;
    // Sizes of the DATA packets received, and of the WRITE counts, in order.
    std::vector<size_t> DataSizes() const;
    std::vector<uint16_t> WriteCounts() const;
    uint32_t Restarts() const;

  private:
    explicit SimUpgrade(SimUpgradeConfig config)
        : config_(config), inLoader_(config.startInLoader) {}
    void Handle(SimModule& module, const SimPacket& packet);
    void HandleBytes(SimModule& module, const SimPacket& packet);
    void Restart(SimModule& module, SimUpgradeEvent event);
    // Polls (every 10 ms, at most `pollsLeft` times) until a host is attached and has finished
    // probing the module, then sends the LOAD reply after the announce delay.
    void AnnounceLoader(SimModule& module, int pollsLeft, uint64_t probesSeen, int quietPolls);
    bool TakeLostReply(uint8_t subCommand);            // mutex_ held
    void Accept(const uint8_t* bytes, size_t length);  // mutex_ held

    mutable std::mutex mutex_;  // guards everything below
    SimUpgradeConfig config_;
    bool inLoader_;
    uint32_t blockAddress_ = 0;  // where the current block's next committed byte goes
    std::vector<uint8_t> piece_;
    uint8_t nextSequence_ = 0;
    uint32_t miscount_ = 0;
    uint32_t corruptSums_ = 0;
    uint32_t corruptLoaderSums_ = 0;
    std::map<uint8_t, uint32_t> lostReplies_;
    SimMemory flash_;
    SimMemory loaderMemory_;
    std::vector<uint8_t> subCommands_;
    std::vector<size_t> dataSizes_;
    std::vector<uint16_t> writeCounts_;
    uint32_t restarts_ = 0;
    uint32_t firmwareSerial_ = 0;  // the module's own serial number while its loader has another
    std::atomic<uint64_t> announceBaseline_{0};  // probes answered before the last restart
    RestartHandler onRestart_;
    LeavingHandler onLeaving_;
};

// Restarts of sub-modules on a router's I2C network: a restarting sub-module leaves the bus (a
// transfer to its address is not acknowledged, packets for it are dropped) and is put back at
// the same address after `downtime`, so that the host, which keeps its link to the router, finds
// the loader and then the new firmware where the module was. The router's own link is never
// touched.
//
// Lifetime: Close() (or the destructor) must run before the bus goes; restarts after it leave
// the sub-modules where they are. Thread-safe.
class SimSubModuleRestarts {
  public:
    static constexpr std::chrono::milliseconds kDowntime{50};

    explicit SimSubModuleRestarts(SimI2CRouter& bus,
                                  std::chrono::milliseconds downtime = kDowntime);
    ~SimSubModuleRestarts();  // Close()
    SimSubModuleRestarts(const SimSubModuleRestarts&) = delete;
    SimSubModuleRestarts& operator=(const SimSubModuleRestarts&) = delete;

    // Makes `upgrade`, installed on the sub-module `module` (on the bus at its configured
    // address), take it off the bus and back on at every restart; with `noReturn` it stays off
    // after LOAD. Replaces the upgrade's leaving handler.
    void Watch(SimUpgrade& upgrade, const std::shared_ptr<SimModule>& module, bool noReturn);

    void Close();

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// The configuration of a sub-module's upgrade far end derived from `config`: the LOAD reply is
// held back until the loader is back on the bus (the host awaits it over its unbroken link to
// the router, and a request sent while the module is off the bus would be lost).
SimUpgradeConfig SubModuleUpgradeConfig(SimUpgradeConfig config);

}  // namespace sim::tessaline
