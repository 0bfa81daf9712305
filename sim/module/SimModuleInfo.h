#pragma once
// Module-information requests of a simulated module (command 0x49): what entities the module
// has, and its firmware build number. Answers from a catalogue of entity classes that the test
// (or the assembly in SimDevice) fills in.
//
// Wire behaviour (payload bytes):
//   0x49, 0xFF                                      -> 0x49, 0xFF, build (32-bit, big-endian)
//   0x49, 1, command, option, index, flags          -> 0x49, 1, command, option, index, status
//        status 0 when the entity has the option with the access asked for (flags 0x40 get,
//        0x80 set, 0 any); aErrInvalidEntity for an unknown class or index, aErrInvalidOption
//        for an unknown option, aErrMode when the option lacks the access asked for
//   0x49, 4, command                                -> 0x49, 4, command, number of entities
//   0x49, 5, command, subClass                      -> 0x49, 5, command, subClass, count
//   0x49, 6, command, subClass                      -> 0x49, 6, command, subClass, group
//   anything else (unknown sub-code, wrong length)  -> 0x49, sub-code | 0x80, aErr code
//        (aErrUnimplemented, aErrSize)
// The build is read from the module's configuration at the time of the request.
//
// Threads: requests are served on the module's input thread; every member is thread-safe.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "SimModule.h"

namespace sim::tessaline {

inline constexpr uint8_t kModuleInfoCommand = 0x49;
inline constexpr uint8_t kInfoHasUEI = 1;
inline constexpr uint8_t kInfoClassQuantity = 4;
inline constexpr uint8_t kInfoSubClassQuantity = 5;
inline constexpr uint8_t kInfoEntityGroup = 6;
inline constexpr uint8_t kInfoBuild = 0xFF;

// One entity class of the catalogue.
struct SimClassInfo {
    uint8_t count = 1;                          // entities of the class (indices 0 to count - 1)
    std::map<uint8_t, uint8_t> options;         // option -> access (kSimAccessGet/Set flags)
    std::map<uint8_t, uint8_t> subClassCounts;  // subClass -> count
    std::map<uint8_t, uint8_t> groups;          // subClass -> group
};

class SimModuleInfo {
  public:
    // Makes a class's description at request time (so it follows a changing option table).
    using Describe = std::function<SimClassInfo()>;

    // Installs the handler of command 0x49 on `module`, with an empty catalogue. The handler
    // keeps the object alive.
    static std::shared_ptr<SimModuleInfo> Install(SimModule& module);

    // Adds or replaces a class of the catalogue.
    void SetClass(uint8_t command, SimClassInfo info);
    void SetClass(uint8_t command, Describe describe);
    void RemoveClass(uint8_t command);

    // Requests served, of any sub-code.
    uint64_t Requests() const;

  private:
    void Handle(SimModule& module, const SimPacket& packet);
    bool Lookup(uint8_t command, SimClassInfo* info) const;
    static uint8_t HasUEIStatus(const SimClassInfo* info, uint8_t option, uint8_t index,
                                uint8_t flags);

    mutable std::mutex mutex_;  // guards everything below
    std::map<uint8_t, Describe> classes_;
    uint64_t requests_ = 0;
};

}  // namespace sim::tessaline
