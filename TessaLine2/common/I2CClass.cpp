#include "I2CClass.h"

#include <cstring>

#include "aPacket.h"

namespace Quillmet::TessaLine {

namespace {

constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupSelector = 1;
constexpr uint8_t kRefused = 0x80;
constexpr uint8_t kCodeMask = 0x7F;
constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kReadData = 5;

}  // namespace

void I2CClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, kI2CCommand, index);
    speed = 0;
}

aErr I2CClass::awaitReply(const uint8_t* match, uint8_t matchLength, uint8_t* reply,
                          uint8_t* length) {
    *length = matchLength;
    aErr err = receivePacket(match, length, reply);
    if (err != aErrNone) return err;
    if (*length <= kStatusByte) return aErrPacket;
    if (reply[kStatusByte] & kRefused) return static_cast<aErr>(reply[kStatusByte] & kCodeMask);
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
    if (length > kI2CMaxTransfer) return aErrSize;
    if (length > 0 && !data) return aErrParam;
    if (checkModule() != aErrNone) return aErrResource;
    const uint8_t request[] = {getIndex(), static_cast<uint8_t>(address | kReadBit), length, speed};
    aErr err = sendPacket(kI2CCommand, sizeof request, request);
    if (err != aErrNone) return err;
    const uint8_t match[] = {kI2CCommand, request[0], request[1]};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = awaitReply(match, sizeof match, reply, &replyLength);
    if (err != aErrNone) return err;
    const uint8_t count = reply[3];
    // Never read past what the reply carries, nor write past what the caller asked for.
    if (kReadData + count > replyLength) return aErrPacket;
    if (count > 0) std::memcpy(data, &reply[kReadData], count < length ? count : length);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > kI2CMaxTransfer) return aErrSize;
    if (length > 0 && !data) return aErrParam;
    if (checkModule() != aErrNone) return aErrResource;
    uint8_t request[4 + kI2CMaxTransfer] = {getIndex(), address, length, speed};
    if (length > 0) std::memcpy(&request[4], data, length);
    aErr err = sendPacket(kI2CCommand, static_cast<uint8_t>(4 + length), request);
    if (err != aErrNone) return err;
    const uint8_t match[] = {kI2CCommand, request[0], address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return awaitReply(match, sizeof match, reply, &replyLength);
}

aErr I2CClass::setPullup(bool on) {
    if (checkModule() != aErrNone) return aErrResource;
    const uint8_t request[] = {getIndex(), kPullupSelector, static_cast<uint8_t>(on ? 1 : 0)};
    aErr err = sendPacket(kI2CCommand, sizeof request, request);
    if (err != aErrNone) return err;
    const uint8_t match[] = {kI2CCommand, request[0], kPullupSelector};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return awaitReply(match, sizeof match, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t newSpeed) {
    if (newSpeed > kI2CMaxSpeed) return aErrParam;
    speed = newSpeed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* current) const {
    if (!current) return aErrParam;
    *current = speed;
    return aErrNone;
}

}  // namespace Quillmet::TessaLine
