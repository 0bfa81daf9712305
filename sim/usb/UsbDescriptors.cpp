#include "UsbDescriptors.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace sim::usb {

const uint16_t kTessaLineVendorId = TESSALINE_USB_VENDOR_ID;

namespace {

constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kStringType = 3;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kBulkTransfer = 2;
constexpr size_t kMaxStringCharacters = 126;  // bLength is one byte: 2 + 2 * 126 = 254

void sAppend16(std::vector<uint8_t>& to, uint16_t value) {
    to.push_back(static_cast<uint8_t>(value & 0xFF));
    to.push_back(static_cast<uint8_t>(value >> 8));
}

void sAppendEndpoint(std::vector<uint8_t>& to, uint8_t address, uint16_t packetSize) {
    to.insert(to.end(), {7, kEndpointType, address, kBulkTransfer});
    sAppend16(to, packetSize);
    to.push_back(0);  // bInterval: unused for bulk endpoints
}

}  // namespace

uint16_t BulkPacketSize(UsbSpeed speed) {
    return speed == UsbSpeed::High ? 512 : 64;
}

const char* SysfsSpeed(UsbSpeed speed) {
    return speed == UsbSpeed::High ? "480" : "12";
}

std::vector<uint8_t> DeviceDescriptor(const UsbDeviceConfig& config) {
    std::vector<uint8_t> d{18, kDeviceType};
    sAppend16(d, 0x0200);              // bcdUSB
    d.insert(d.end(), {0, 0, 0, 64});  // class from the interface; 64-byte control endpoint
    sAppend16(d, config.vendorId);
    sAppend16(d, config.productId);
    sAppend16(d, 0x0100);  // bcdDevice
    d.insert(d.end(), {kManufacturer, kProduct, kSerialNumber, 1});
    return d;
}

std::vector<uint8_t> ConfigurationDescriptor(const UsbDeviceConfig& config) {
    std::vector<uint8_t> d{9, kConfigurationType, 0, 0, 1, kConfigurationValue, 0, 0x80, 50};
    d.insert(d.end(), {9, kInterfaceType, kLinkInterfaceNumber, 0, 2, kLinkInterfaceClass,
                       kLinkInterfaceSubclass, kLinkInterfaceProtocol, 0});
    const uint16_t packet = BulkPacketSize(config.speed);
    sAppendEndpoint(d, kBulkOutEndpoint, packet);
    sAppendEndpoint(d, kBulkInEndpoint, packet);
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
    const size_t characters = std::min(text.size(), kMaxStringCharacters);
    std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * characters), kStringType};
    for (size_t i = 0; i < characters; ++i) sAppend16(d, static_cast<uint8_t>(text[i]));
    return d;
}

std::optional<std::vector<uint8_t>> DescriptorFor(const UsbDeviceConfig& config, uint8_t type,
                                                  uint8_t index) {
    switch (type) {
        case kDeviceType:
            return DeviceDescriptor(config);
        case kConfigurationType:
            if (index == 0) return ConfigurationDescriptor(config);
            return std::nullopt;
        case kStringType:
            switch (index) {
                case kLanguages:
                    return std::vector<uint8_t>{4, kStringType, 0x09, 0x04};  // US English
                case kManufacturer:
                    return StringDescriptor(config.manufacturer);
                case kProduct:
                    return StringDescriptor(config.product);
                case kSerialNumber:
                    return StringDescriptor(config.serial);
                default:
                    return std::nullopt;
            }
        default:
            return std::nullopt;
    }
}

bool IsValidSerialText(const std::string& serial) {
    if (serial.empty() || serial.size() > kMaxStringCharacters) return false;
    for (char c : serial)
        if (c < 0x21 || c > 0x7E || c == '\\') return false;
    return true;
}

std::string KernelNodePath(const std::string& serial) {
    if (serial.empty() || serial.size() > 8) return {};
    for (char c : serial)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/tessaline.%08lX",
                  std::strtoul(serial.c_str(), nullptr, 16));
    return path;
}

const std::vector<HidReport>& ImxHidReports() {
    static const std::vector<HidReport> reports{
        {1, false, 16}, {2, false, 1024}, {3, true, 4}, {4, true, 64}};
    return reports;
}

std::vector<uint8_t> HidReportDescriptor(const std::vector<HidReport>& reports) {
    std::vector<uint8_t> d{0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
                           0x09, 0x01,        // Usage (1)
                           0xA1, 0x01};       // Collection (Application)
    for (const HidReport& r : reports) {
        d.insert(d.end(), {0x85, r.id,              // Report ID
                           0x19, 0x01, 0x29, 0x01,  // Usage Minimum (1), Usage Maximum (1)
                           0x15, 0x00,              // Logical Minimum (0)
                           0x26, 0xFF, 0x00,        // Logical Maximum (255)
                           0x75, 0x08,              // Report Size (8 bits)
                           0x96});                  // Report Count (16-bit value follows)
        sAppend16(d, r.size);
        d.insert(d.end(), {static_cast<uint8_t>(r.input ? 0x81 : 0x91), 0x02});  // Input/Output
    }
    d.push_back(0xC0);  // End Collection
    return d;
}

std::string HexString(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

}  // namespace sim::usb
