#pragma once
// The wire format of the module side of a link: packets of an address byte, a length byte (0 to
// 28) and the payload, back to back, with no marker, checksum or escaping.
//
// Seen from the module, the host sends packets to even module addresses and two odd link
// commands (identify probe 0xAD, force route 0xAF) to whichever module is at the other end of
// the stream. Any other odd address, address 0 or a length above 28 is a framing error: the
// parser drops the offending byte(s) and looks for the next address byte, which is how a module
// falls back into step once the host's burst of identify probes reaches it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::tessaline {

inline constexpr uint8_t kMaxPayload = 28;
inline constexpr uint8_t kIdentifyProbe = 0xAD;  // link command: "who is there", length 0
inline constexpr uint8_t kForceRoute = 0xAF;     // link command: force route on/off, length 1
inline constexpr uint8_t kHeartbeatCommand = 0x00;
inline constexpr uint8_t kHeartbeatUp = 0;    // "HB UP"
inline constexpr uint8_t kHeartbeatDown = 1;  // "HB DOWN"
// The host answers heartbeat x with x + kHeartbeatAnswerOffset.
inline constexpr uint8_t kHeartbeatAnswerOffset = 2;

// One packet as it travels: the address byte, then the payload (its size is the length byte).
struct SimPacket {
    uint8_t address = 0;
    std::vector<uint8_t> payload;

    bool operator==(const SimPacket&) const = default;
};

// True for an address a module can have: non-zero and even.
bool IsModuleAddress(uint8_t address);

// True for an address byte the module side accepts from the host: a module address or one of
// the two link commands.
bool IsHostAddressByte(uint8_t address);

// The wire bytes of `packet`: address, length, payload. The payload must not exceed kMaxPayload
// (longer payloads are cut to it: the length byte can't describe them).
std::vector<uint8_t> ToWire(const SimPacket& packet);

// "AD 00" style text of the packet's wire bytes, for messages and test failures.
std::string ToString(const SimPacket& packet);

// Splits the host's byte stream into packets, one byte at a time. Not thread-safe.
class SimFrameParser {
  public:
    enum class Result {
        NeedMore,      // the byte was taken; no packet is complete yet
        Packet,        // the byte completed a packet: Packet() returns it
        FramingError,  // the byte can't start or continue a packet here; it was dropped
    };

    Result Feed(uint8_t byte);

    // The packet completed by the last Feed that returned Packet.
    const SimPacket& Packet() const { return packet_; }

    // True while no part of a packet has been taken: the next byte must be an address byte.
    bool Idle() const { return stage_ == Stage::Address; }

    // Forgets a partial packet (a new connection starts in step).
    void Reset();

  private:
    enum class Stage { Address, Length, Payload };
    Stage stage_ = Stage::Address;
    uint8_t expected_ = 0;
    SimPacket packet_;
};

}  // namespace sim::tessaline
