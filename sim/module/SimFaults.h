#pragma once
// Fault injection plan of a simulated module: which byte or packet, counted in one direction,
// is dropped, delayed or corrupted, or makes the module disconnect or go silent.
//
// Counting starts when a fault is armed: `nth` 1 is the next byte (or packet) in that direction,
// and the fault covers `count` consecutive ones. A fault fires once per unit it covers and is
// forgotten afterwards. Bytes are the bytes on the wire; a packet is counted when its address
// byte is taken (host to module) or when it is handed to the transport (module to host). Raw
// bytes sent without framing count as bytes only.
//
// Not thread-safe: SimModule guards its plan with a mutex.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::tessaline {

enum class SimDirection { ToModule, FromModule };
enum class SimFaultUnit { Byte, Packet };
enum class SimFaultAction {
    Drop,        // the byte or packet is lost
    Delay,       // it (and everything behind it) is held back for `delay`
    Corrupt,     // one byte is XORed with `xorMask` (for a packet: its wire byte at `offset`)
    Disconnect,  // the module closes its transport instead; the unit is lost
    GoSilent,    // the module stops answering from here on; the unit is lost
};

struct SimFault {
    SimDirection direction = SimDirection::ToModule;
    SimFaultUnit unit = SimFaultUnit::Packet;
    uint64_t nth = 1;  // 1 = the next one after arming; 0 is taken as 1
    SimFaultAction action = SimFaultAction::Drop;
    uint64_t count = 1;  // consecutive units covered; 0 is taken as 1
    std::chrono::milliseconds delay{0};
    uint8_t offset = 0;  // packet corruption: wire byte (0 address, 1 length, 2… payload)
    uint8_t xorMask = 0xFF;
};

// What happens to one byte or packet. Several faults may hit the same unit; their effects add
// up (delays add, corruption masks combine).
struct SimFaultEffect {
    bool drop = false;
    bool disconnect = false;
    bool goSilent = false;
    std::chrono::milliseconds delay{0};
    // Byte unit: the mask for the byte (0 = untouched). Packet unit: one entry per wire offset.
    uint8_t xorMask = 0;
    struct Corruption {
        uint8_t offset;
        uint8_t xorMask;
    };
    std::vector<Corruption> corruptions;

    bool Lost() const { return drop || disconnect || goSilent; }
    bool None() const {
        return !Lost() && delay.count() == 0 && xorMask == 0 && corruptions.empty();
    }
};

// Parses a fault description "DIR:UNIT:N:ACTION[:ARG]" (DIR in|out, UNIT byte|packet, ACTION
// drop|delay|corrupt|disconnect|silent; ARG: milliseconds for delay, "OFFSET" or "OFFSET/MASK"
// (hex mask) for a corrupted packet, "MASK" (hex) for a corrupted byte). False when malformed.
bool ParseFault(const std::string& text, SimFault* fault);

class SimFaultPlan {
  public:
    void Arm(const SimFault& fault);
    void Clear();
    // Faults armed and not yet used up.
    size_t Pending() const { return faults_.size(); }

    // Counts the next unit in `direction` and returns what happens to it.
    SimFaultEffect NextByte(SimDirection direction);
    SimFaultEffect NextPacket(SimDirection direction);

  private:
    struct Armed {
        SimFault fault;
        uint64_t first;  // 1-based index of the first unit covered
        uint64_t last;   // and of the last
    };

    uint64_t& Counter(SimDirection direction, SimFaultUnit unit);
    SimFaultEffect Next(SimDirection direction, SimFaultUnit unit);

    std::vector<Armed> faults_;
    uint64_t counters_[2][2] = {};  // [direction][unit]: units counted so far
};

}  // namespace sim::tessaline
