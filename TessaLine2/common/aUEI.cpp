#include "aUEI.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr uint8_t kSystemCommands[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

// The last payload byte, or 0 when there is none. A packet being assembled may hold a length
// above the limit for a moment; its "last byte" lies outside the payload and is not read.
uint8_t sTrailer(const aPacket* packet) {
    if (!packet || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) return 0;
    return packet->data[packet->dataSize - 1];
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; ++i)
        words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return sTrailer(packet) & ueiTRAILER_SEQUENCE_MASK;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return sTrailer(packet) >> 7;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return packet &&
           (packet->dataSize == aPACKET_MAX_DATA - 1 || packet->dataSize == aPACKET_MAX_DATA);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!packet) return false;
    if (packet->dataSize == 0) return true;
    return std::find(std::begin(kSystemCommands), std::end(kSystemCommands), packet->data[0]) !=
           std::end(kSystemCommands);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return packet && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
           packet->data[1] < ueiOPTION_GET && (packet->data[2] & ueiSPECIFIER_STREAM);
}
