#pragma once
// One device packet: a module address, a payload length and up to 28 payload bytes, assembled
// byte by byte from a stream or built whole.
//
// Packets live on the heap and are made and released only through these functions. A packet is
// not locked: one thread at a time.

#include <cstdint>

#include "aError.h"

inline constexpr uint8_t aPACKET_MAX_DATA = 28;
// Address byte + length byte + payload.
inline constexpr uint8_t aPACKET_MAX_WIRE = aPACKET_MAX_DATA + 2;

struct aPacket {
    uint16_t checkValue;  // set while the packet is valid
    uint8_t fillCount;    // bytes accepted by aPacket_AddByte, address and length included
    uint8_t address;      // module address: non-zero and even
    uint8_t dataSize;     // payload bytes, 0 to aPACKET_MAX_DATA
    uint8_t data[aPACKET_MAX_DATA];
};

// A filter over packets: true for a match. `reference` is the caller's own pointer.
typedef bool (*aPacketFilterProc)(const aPacket* packet, void* reference);

// A new empty packet, or null when memory is exhausted. Released with aPacket_Destroy.
aPacket* aPacket_Create();

// A complete packet for `address` with `length` payload bytes copied from `bytes`. Null when
// `bytes` is null, `length` exceeds aPACKET_MAX_DATA or memory is exhausted. The address is
// taken as given.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes);

// A new packet equal to `packet` (address, size, payload and assembly progress); null for an
// invalid packet or when memory is exhausted.
aPacket* aPacket_Copy(const aPacket* packet);

// Payload byte 0, the entity-interface command. aErrParam for a null output; aErrPacket for an
// invalid packet or an empty payload.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);

// Low 6 bits of payload byte 1. aErrParam for a null output; aErrPacket for an invalid packet or
// fewer than 2 payload bytes.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);

// Low 5 bits of payload byte 2. aErrParam for a null output; aErrPacket for an invalid packet or
// fewer than 3 payload bytes.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Empties the packet for a new assembly. aErrParam for an invalid packet.
aErr aPacket_Reset(aPacket* packet);

// Feeds one received byte to the packet: first the address (non-zero, even), then the payload
// length (at most aPACKET_MAX_DATA), then the payload. aErrPacket for a bad address (neither
// taken nor counted: the packet stays fresh), a length above the limit, or any byte after the
// packet was complete; aErrOverrun once more than aPACKET_MAX_WIRE bytes were fed; aErrParam
// for an invalid packet. Callers test aPacket_IsComplete after each byte and reset the packet
// after any error.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when the packet is valid and holds its address, length and whole payload. A length byte
// of 0 completes a packet at once.
bool aPacket_IsComplete(const aPacket* packet);

// Frees the packet and clears `*packet`. aErrParam when the pointer or the packet is null or
// the packet is not valid (nothing is freed then).
aErr aPacket_Destroy(aPacket** packet);
