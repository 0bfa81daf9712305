#include "SimFraming.h"

#include <cstdio>

namespace sim::tessaline {

bool IsModuleAddress(uint8_t address) {
    return address != 0 && address % 2 == 0;
}

bool IsHostAddressByte(uint8_t address) {
    return IsModuleAddress(address) || address == kIdentifyProbe || address == kForceRoute;
}

std::vector<uint8_t> ToWire(const SimPacket& packet) {
    const size_t length = packet.payload.size() < kMaxPayload ? packet.payload.size() : kMaxPayload;
    std::vector<uint8_t> wire;
    wire.reserve(length + 2);
    wire.push_back(packet.address);
    wire.push_back(static_cast<uint8_t>(length));
    wire.insert(wire.end(), packet.payload.begin(), packet.payload.begin() + length);
    return wire;
}

std::string ToString(const SimPacket& packet) {
    std::string text;
    char hex[4];
    for (uint8_t byte : ToWire(packet)) {
        snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", byte);
        text += hex;
    }
    return text;
}

SimFrameParser::Result SimFrameParser::Feed(uint8_t byte) {
    switch (stage_) {
        case Stage::Address:
            if (!IsHostAddressByte(byte)) return Result::FramingError;
            packet_.address = byte;
            packet_.payload.clear();
            stage_ = Stage::Length;
            return Result::NeedMore;
        case Stage::Length:
            if (byte > kMaxPayload) {
                // The address byte before it was not an address after all: drop both.
                stage_ = Stage::Address;
                return Result::FramingError;
            }
            expected_ = byte;
            stage_ = byte == 0 ? Stage::Address : Stage::Payload;
            return byte == 0 ? Result::Packet : Result::NeedMore;
        case Stage::Payload:
            packet_.payload.push_back(byte);
            if (packet_.payload.size() < expected_) return Result::NeedMore;
            stage_ = Stage::Address;
            return Result::Packet;
    }
    return Result::FramingError;
}

void SimFrameParser::Reset() {
    stage_ = Stage::Address;
    expected_ = 0;
    packet_ = SimPacket{};
}

}  // namespace sim::tessaline
