#pragma once
// The system entity of a simulated module (command 3, index 0): the option table every module
// has (address, router, heartbeat interval, LED, boot slot, version, model, serial number, save,
// reset, routing to the host, power and temperature readings, name, protocol features...).
//
// Wire behaviour (payload bytes; 16- and 32-bit values big-endian):
//   get   3, option | 0x40, index | 0x20 [, sub-index]  ->  3, option, index, value
//   set   3, option | 0x80, index | 0x20, value         ->  3, option | 0xC0, index, value
//   call  3, option | 0x80, index | 0x20                ->  3, option | 0xC0, index
//   bytes options answer a get with packets 3, option, index, up to 24 bytes, trailer (bit 7 =
//   more follow, bits 0-6 = sequence), and take a set as such packets, answered once after the
//   last one with 3, option | 0xC0, index.
//   error 3, option as the reply would carry it, index | 0x80, aErr code:
//     aErrInvalidEntity   an index other than the entity's
//     aErrInvalidOption   an option the module does not have (see RemoveOption)
//     aErrMode            a get of an option that can only be set or called, or a set of one
//                         that can only be read
//     aErrSize            a set whose value has the wrong width, or a bytes value too large
//     aErrPacket          a bytes transfer whose packets come out of sequence
//     aErrBusy            every request while the entity is busy (SetBusy)
//     any code            for an option given a forced error (SetError)
// Options 1 (module address), 7 (version), 8 (model), 9 (serial number) and 43 (build) are read
// from the module's configuration at the time of the request; 22 (uptime) counts milliseconds
// since the entity was installed. The factory-default calls (36, 37) restore the table the entity
// started with.
//
// Threads: requests are served on the module's input thread; every member is thread-safe.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "SimModule.h"
#include "aError.h"

namespace sim::tessaline {

inline constexpr uint8_t kSystemCommand = 3;

// System entity options.
enum SimSystemOption : uint8_t {
    kSysModule = 1,
    kSysRouter = 2,
    kSysHBInterval = 3,
    kSysLED = 4,
    kSysBootSlot = 6,
    kSysVersion = 7,
    kSysModel = 8,
    kSysSerialNumber = 9,
    kSysSave = 10,
    kSysReset = 11,
    kSysInputVoltage = 12,
    kSysHardwareOffset = 13,
    kSysBaseAddress = 14,
    kSysSoftwareOffset = 15,
    kSysRouterAddressSetting = 16,
    kSysRouteToMe = 20,
    kSysInputCurrent = 21,
    kSysUptime = 22,
    kSysMaximumTemperature = 23,
    kSysLogEvents = 24,
    kSysUnregulatedVoltage = 25,
    kSysUnregulatedCurrent = 26,
    kSysTemperature = 27,
    kSysMinimumTemperature = 28,
    kSysInputPowerSource = 29,
    kSysInputPowerBehavior = 30,
    kSysInputPowerBehaviorConfig = 31,
    kSysName = 32,
    kSysPowerLimit = 33,
    kSysPowerLimitMax = 34,
    kSysPowerLimitState = 35,
    kSysResetEntityToFactoryDefaults = 36,
    kSysResetDeviceToFactoryDefaults = 37,
    kSysLinkInterface = 38,
    kSysHardwareVersion = 40,
    kSysErrors = 41,
    kSysLEDMaxBrightness = 42,
    kSysBuild = 43,
    kSysProtocolFeatures = 45,
};

// How an option's value travels.
enum class SimOptionKind {
    Byte,   // one byte
    Int,    // 32-bit
    Call,   // no value; only set (a call)
    Bytes,  // a byte array in one or more packets
};

// Access flags of an option, as the module-information request reports them.
inline constexpr uint8_t kSimAccessGet = 0x40;
inline constexpr uint8_t kSimAccessSet = 0x80;

// Largest byte-array value the entity takes in a set.
inline constexpr size_t kSimMaxBytesValue = 65536;

struct SimOption {
    SimOptionKind kind = SimOptionKind::Byte;
    uint8_t access = kSimAccessGet;  // kSimAccessGet and/or kSimAccessSet
    uint32_t value = 0;              // Byte and Int options (signed values as their bit pattern)
    std::vector<uint8_t> bytes;      // Bytes options
};

class SimSystemEntity {
  public:
    // Told of every accepted set or call, after the value is stored and before the reply is
    // queued, on the module's input thread (a test can make a reset restart the module, say).
    using ChangeHandler = std::function<void(SimModule& module, uint8_t option)>;

    // Installs the entity on `module` (it answers command 3 from now on) with the default table
    // (Defaults()); the router and base address start at the module's own address. The handler
    // keeps the entity alive; the returned pointer lets a test inspect and change it.
    static std::shared_ptr<SimSystemEntity> Install(SimModule& module);

    // The option table a new entity starts with.
    static std::map<uint8_t, SimOption> Defaults();

    // --- Table -----------------------------------------------------------------------------
    bool HasOption(uint8_t option) const;
    // Removes the option: requests for it get an aErrInvalidOption error reply.
    void RemoveOption(uint8_t option);
    // Adds or replaces an option.
    void SetOption(uint8_t option, SimOption definition);
    // The value of a Byte or Int option (0 when absent).
    uint32_t Value(uint8_t option) const;
    void SetValue(uint8_t option, uint32_t value);
    std::vector<uint8_t> BytesValue(uint8_t option) const;
    void SetBytesValue(uint8_t option, std::vector<uint8_t> bytes);
    // Access flags (kSimAccessGet | kSimAccessSet) of each option, for the module-information
    // request.
    std::map<uint8_t, uint8_t> Access() const;

    // --- Behaviour -------------------------------------------------------------------------
    // While busy, every request is answered with an aErrBusy error reply.
    void SetBusy(bool busy);
    // Requests for `option` are answered with an error reply carrying `code` (aErrNone: normal
    // service again).
    void SetError(uint8_t option, aErr code);
    void SetChangeHandler(ChangeHandler handler);

    // --- Observations ----------------------------------------------------------------------
    // True while routing to the host is on (option 20 was last set non-zero).
    bool RouteToHost() const;
    // Number of accepted sets and calls of `option`.
    uint32_t SetCount(uint8_t option) const;
    // Number of requests of any kind received.
    uint64_t Requests() const;

  private:
    struct BytesTransfer {
        uint8_t option = 0;
        uint8_t nextSequence = 0;
        std::vector<uint8_t> bytes;
    };

    void Handle(SimModule& module, const SimPacket& packet);
    void HandleGet(SimModule& module, uint8_t address, uint8_t option);
    void HandleSet(SimModule& module, const SimPacket& packet, uint8_t option);
    void HandleBytesChunk(SimModule& module, const SimPacket& packet, uint8_t option);
    uint32_t CurrentValue(const SimModule& module, uint8_t option, const SimOption& entry) const;
    void ApplyCall(uint8_t option);  // mutex_ held

    static void Reply(SimModule& module, uint8_t address, uint8_t option,
                      const std::vector<uint8_t>& value);
    // An error reply names the index the request named, so that the host can match it.
    static void ErrorReply(SimModule& module, uint8_t address, uint8_t option, uint8_t index,
                           aErr code);

    mutable std::mutex mutex_;  // guards everything below
    std::map<uint8_t, SimOption> options_;
    std::map<uint8_t, SimOption> factory_;  // the table restored by the factory-default calls
    std::map<uint8_t, aErr> forcedErrors_;
    std::map<uint8_t, uint32_t> setCounts_;
    bool busy_ = false;
    uint64_t requests_ = 0;
    BytesTransfer transfer_;
    ChangeHandler onChange_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace sim::tessaline
