#include "aPacket.h"

#include <cstring>
#include <new>

namespace {

constexpr uint16_t kPacketCheck = 0xBEEF;

bool sValid(const aPacket* packet) {
    return packet && packet->checkValue == kPacketCheck;
}

aErr sPayloadByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
    if (!out) return aErrParam;
    if (!sValid(packet) || packet->dataSize <= position) return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

}  // namespace

aPacket* aPacket_Create() {
    aPacket* packet = new (std::nothrow) aPacket{};
    if (packet) packet->checkValue = kPacketCheck;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes) {
    if (!bytes || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* packet = aPacket_Create();
    if (!packet) return nullptr;
    packet->address = address;
    packet->dataSize = length;
    packet->fillCount = static_cast<uint8_t>(length + 2);
    memcpy(packet->data, bytes, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!sValid(packet)) return nullptr;
    aPacket* copy = new (std::nothrow) aPacket(*packet);
    return copy;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    return sPayloadByte(packet, 0, 0xFF, cmd);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return sPayloadByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return sPayloadByte(packet, 2, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!sValid(packet)) return aErrParam;
    *packet = aPacket{};
    packet->checkValue = kPacketCheck;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!sValid(packet)) return aErrParam;
    // The count saturates so that a caller who keeps feeding never wraps it back to "fresh".
    if (packet->fillCount >= aPACKET_MAX_WIRE) {
        packet->fillCount = aPACKET_MAX_WIRE + 1;
        return aErrOverrun;
    }
    if (packet->address == 0) {
        // A refused address byte is not counted, so the packet stays fresh: a later count can
        // never make an address-less packet look complete.
        if (byte == 0 || (byte & 1) != 0) return aErrPacket;
        packet->address = byte;
        packet->fillCount = 1;
        return aErrNone;
    }
    const unsigned count = ++packet->fillCount;
    if (count == 2) {
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    // Also reached by any byte after a zero-length packet completed.
    if (count > packet->dataSize + 2u) return aErrPacket;
    packet->data[count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return sValid(packet) && packet->fillCount == packet->dataSize + 2u;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !sValid(*packet)) return aErrParam;
    (*packet)->checkValue = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}
