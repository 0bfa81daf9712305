#pragma once
// What an emulated USB device says about itself: its identity, the descriptors a host reads
// (from sysfs or through control transfers) and the report layout of the emulated HID device.
// Pure data, no emulation machinery, so every byte can be checked on its own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::usb {

// Vendor identifier of TessaLine modules, fixed by the build.
extern const uint16_t kTessaLineVendorId;

// The link interface every module offers: one vendor-specific interface with a bulk endpoint
// pair.
constexpr uint8_t kLinkInterfaceClass = 0xFF;
constexpr uint8_t kLinkInterfaceSubclass = 0x88;
constexpr uint8_t kLinkInterfaceProtocol = 0x10;
constexpr uint8_t kLinkInterfaceNumber = 0;
constexpr uint8_t kBulkOutEndpoint = 0x01;
constexpr uint8_t kBulkInEndpoint = 0x81;
constexpr uint8_t kConfigurationValue = 1;

// The i.MX boot ROM in serial-download mode, seen as a USB HID device.
constexpr uint16_t kImxVendorId = 0x1FC9;
constexpr uint16_t kImxProductId = 0x0130;

enum class UsbSpeed { Full, High };

// Maximum packet size of the bulk endpoints: 64 bytes at full speed, 512 at high speed.
uint16_t BulkPacketSize(UsbSpeed speed);

// The value of the sysfs "speed" attribute in Mbit/s: "12" or "480".
const char* SysfsSpeed(UsbSpeed speed);

// Identity of one emulated module.
struct UsbDeviceConfig {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // The serial-number string exactly as the device reports it (printable ASCII without
    // backslash, at most 126 characters).
    std::string serial;
    UsbSpeed speed = UsbSpeed::Full;
    // A kernel driver is bound to the link interface: the interface cannot be claimed and the
    // module is reached through "/dev/tessaline.%08X" (serial must then be 1 to 8 hex digits).
    bool kernelNode = false;
    std::string manufacturer = "Quillmet";
    std::string product = "TessaLine module";
};

// Index of the string descriptors the device offers.
enum StringIndex : uint8_t { kLanguages = 0, kManufacturer = 1, kProduct = 2, kSerialNumber = 3 };

// The 18-byte device descriptor.
std::vector<uint8_t> DeviceDescriptor(const UsbDeviceConfig& config);

// The whole configuration descriptor: configuration, the link interface, bulk OUT and bulk IN
// endpoints, with the total length filled in.
std::vector<uint8_t> ConfigurationDescriptor(const UsbDeviceConfig& config);

// A string descriptor holding `text` (ASCII) as UTF-16LE; longer texts are cut to 126 characters.
std::vector<uint8_t> StringDescriptor(const std::string& text);

// The answer to GET_DESCRIPTOR for (type, index), whole (the caller truncates it to the request's
// length); nothing when the device has no such descriptor, which a real device answers with a
// stall.
std::optional<std::vector<uint8_t>> DescriptorFor(const UsbDeviceConfig& config, uint8_t type,
                                                  uint8_t index);

// Whether `serial` can be carried by the emulation (see UsbDeviceConfig::serial).
bool IsValidSerialText(const std::string& serial);

// The kernel node name for a serial text of 1 to 8 hex digits: "/dev/tessaline.%08X"; empty when
// the text is not such a number.
std::string KernelNodePath(const std::string& serial);

// One report of an HID device; `size` counts the data bytes, without the report ID.
struct HidReport {
    uint8_t id;
    bool input;  // device to host; otherwise an output report (host to device)
    uint16_t size;
};

// Reports of the boot ROM: output 1 (16-byte command), output 2 (up to 1024 data bytes), input 3
// (4-byte security configuration), input 4 (64 bytes carrying the status word).
const std::vector<HidReport>& ImxHidReports();

// A vendor-defined report descriptor declaring `reports`, 8-bit fields.
std::vector<uint8_t> HidReportDescriptor(const std::vector<HidReport>& reports);

// Bytes as lower-case hex digits without separators, as umockdev's "H:" lines take them.
std::string HexString(const std::vector<uint8_t>& bytes);

}  // namespace sim::usb
