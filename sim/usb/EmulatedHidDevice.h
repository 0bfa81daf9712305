#pragma once
// One emulated USB HID device as hidapi's hidraw backend sees it: a "hid" device in sysfs with
// its report descriptor and a hidraw child whose node /dev/hidrawN answers reads (one queued
// input report per read, EAGAIN when none), writes (one output report, report ID first) and the
// report-descriptor requests. The node is a FIFO holding one byte while input reports are
// queued, so hid_read_timeout sleeps in poll() for its whole time-out when nothing comes.
// Once the device has left the bus, reads and writes fail with ENODEV (and a waiting reader
// wakes up to see it).

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "UsbBehaviour.h"
#include "UsbDescriptors.h"

namespace sim::usb {

class EmulatedUsbBus;
class FifoNode;
class UsbTestbed;

struct HidDeviceConfig {
    uint16_t vendorId = kImxVendorId;
    uint16_t productId = kImxProductId;
    std::string name = "i.MX RT serial download";
    std::string uniq;
    std::vector<HidReport> reports = ImxHidReports();
};

class EmulatedHidDevice final : public HidDevicePort {
  public:
    // Created by EmulatedUsbBus::AddHid with hidraw number `index`; Plug puts it on the bus.
    EmulatedHidDevice(EmulatedUsbBus& bus, UsbTestbed& testbed, int index, HidDeviceConfig config,
                      std::shared_ptr<HidReportBehaviour> behaviour);
    ~EmulatedHidDevice() override;
    EmulatedHidDevice(const EmulatedHidDevice&) = delete;
    EmulatedHidDevice& operator=(const EmulatedHidDevice&) = delete;

    const HidDeviceConfig& Config() const { return config_; }
    // "/dev/hidrawN".
    const std::string& DevNode() const { return devnode_; }
    bool IsPlugged() const;

    // HidDevicePort.
    void QueueInputReport(std::vector<uint8_t> report) override;
    void LeaveBus() override;

    // Structural changes; not from inside a behaviour callback. A device is plugged in once:
    // Plug after Unplug does nothing (a device that comes back is a new one, see AddHid).
    void Plug();
    void Unplug();

    // Every output report the host wrote and the device accepted, report ID first, in order.
    std::vector<std::vector<uint8_t>> OutputReports() const;

    // Stops answering; the bus calls it before releasing the testbed.
    void Shutdown();

  private:
    static gboolean sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    void HandleRead(UMockdevIoctlClient* client);
    void HandleWrite(UMockdevIoctlClient* client);
    void HandleIoctl(UMockdevIoctlClient* client);
    bool IsAcceptedOutputReport(const uint8_t* report, size_t length) const;
    std::string SysfsDescription() const;

    EmulatedUsbBus& bus_;
    UsbTestbed& testbed_;
    const HidDeviceConfig config_;
    const std::vector<uint8_t> reportDescriptor_;
    const std::string hidDevpath_;
    const std::string devnode_;
    const std::shared_ptr<HidReportBehaviour> behaviour_;
    std::unique_ptr<FifoNode> fifo_;
    UMockdevIoctlBase* handler_ = nullptr;
    bool handlerAttached_ = false;

    mutable std::mutex mutex_;  // guards the three below
    bool plugged_ = false;
    bool pluggedBefore_ = false;
    std::deque<std::vector<uint8_t>> inputReports_;
    std::vector<std::vector<uint8_t>> outputReports_;
};

}  // namespace sim::usb
