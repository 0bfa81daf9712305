#pragma once
// Entity-interface ("UEI") payloads: the byte layout of the messages most packets carry, the
// big-endian byte order of their values, the trailer of multi-packet byte transfers, and the tests
// that tell entity-interface payloads and stream packets from other traffic.
//
// Payload of an entity-interface packet (the packet's address is the module):
//   byte 0  command
//   byte 1  option: code in bits 0-5, request and reply flags in bits 6 and 7
//   byte 2  specifier: index in bits 0-4, request flag bit 5, stream flag bit 6, error flag bit 7
//   byte 3… value: none (length 3), byte (4), 16-bit (5), 32-bit (7), or a chunk of a byte
//           transfer and its trailer byte. A sub-index form puts one more byte before the value.

#include <cstddef>
#include <cstdint>

#include "aPacket.h"

// Option byte.
inline constexpr uint8_t ueiOPTION_MASK = 0x3F;
inline constexpr uint8_t ueiOPTION_GET = 0x40;  // request flag of a get
inline constexpr uint8_t ueiOPTION_SET = 0x80;  // request flag of a set
// Specifier byte.
inline constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
inline constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;
inline constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
inline constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;
// Byte transfers: at most 24 data bytes per packet, then the trailer byte.
inline constexpr uint8_t ueiBYTES_CHUNK = 24;
inline constexpr uint8_t ueiTRAILER_MORE = 0x80;
inline constexpr uint8_t ueiTRAILER_SEQUENCE_MASK = 0x7F;

// Value type of a uei record.
enum ueiType : uint32_t {
    ueiTypeNone = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,  // 16-bit
    ueiTypeInt = 4,    // 32-bit
    ueiTypeBytes = 5,  // the caller's buffer `value.bytes` of `length` bytes
};

// One entity-interface message as the object API fills and reads it.
struct uei {
    uint8_t module;  // module address (even, non-zero)
    uint8_t command;
    uint8_t option;     // including flags
    uint8_t specifier;  // including flags
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes;  // not owned
    } value;
    uint64_t length;  // number of bytes for ueiTypeBytes
    ueiType type;
};

// Big-endian 16-bit value of bytes[0], bytes[1].
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
// Writes `value` big-endian into bytes[0], bytes[1].
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
// Big-endian 32-bit value of bytes[0..3].
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
// Writes `value` big-endian into bytes[0..3].
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts `count` 32-bit words in place from big-endian to host order; null does nothing.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Sequence number of a byte-transfer packet: its last payload byte & 0x7F. 0 for a null packet or
// one without a (well-formed) payload.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
// More-follows bit of a byte-transfer packet: its last payload byte >> 7. 0 for a null packet or
// one without a (well-formed) payload.
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True when the payload length is 27 or 28 (a full transfer packet); false for null.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when the packet carries no entity-interface message: its command byte is one of the
// system commands 0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175, or its payload is empty.
// False for a null packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// Negation of aUEI_isNotUEIPayload, so a null packet counts as an entity-interface payload.
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a stream packet: not null, payload longer than 4 bytes, an entity-interface payload,
// an option byte without flag bits (below 0x40) and the stream flag in the specifier byte.
bool aUEI_isStreamPacket(const aPacket* packet);
