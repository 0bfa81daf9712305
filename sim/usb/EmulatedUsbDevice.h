#pragma once
// One emulated USB module on the emulated bus, as the real libusb sees it through usbfs:
// descriptors in sysfs, string descriptors through control transfers, the link interface with a
// bulk OUT and a bulk IN endpoint, and optionally the kernel device node "/dev/tessaline.%08X".
//
// Host requests are answered on umockdev's worker thread, never waiting there:
//  - a bulk OUT transfer hands its bytes to the behaviour and completes at once;
//  - a bulk IN transfer stays pending; queued IN data is moved into the oldest pending IN
//    transfer only when the host reaps, so a time-out racing with data loses nothing;
//  - a cancelled transfer completes with "cancelled", one that already completed cannot be
//    cancelled;
//  - each opened descriptor is a client of its own with its own transfers and claim.
// The node is a FIFO whose POLLOUT tells the host that something can be reaped, so an idle
// host sleeps in poll() instead of spinning.
//
// Faults on demand: a busy interface (claim refused), a stalled endpoint (until the host clears
// the halt), failing transfers, and unplug / re-plug at a new device address. Once unplugged,
// transfers in flight complete with "device gone" and every later request fails with ENODEV.

#include <chrono>
#include <cstddef>
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
class KernelNode;
class UsbTestbed;

// Counts of host requests, for tests that check how the host drives the device.
struct UsbDeviceStats {
    unsigned submits = 0;     // transfers submitted (control and bulk)
    unsigned reaps = 0;       // reap requests, successful or not
    unsigned discards = 0;    // cancellations of a pending transfer
    unsigned clearHalts = 0;  // halts cleared
};

class EmulatedUsbDevice final : public UsbDevicePort {
  public:
    // Created by EmulatedUsbBus::AddModule, unplugged; Plug puts it on the bus.
    EmulatedUsbDevice(EmulatedUsbBus& bus, UsbTestbed& testbed, uint8_t busNumber, int port,
                      UsbDeviceConfig config, std::shared_ptr<UsbDeviceBehaviour> behaviour);
    ~EmulatedUsbDevice() override;
    EmulatedUsbDevice(const EmulatedUsbDevice&) = delete;
    EmulatedUsbDevice& operator=(const EmulatedUsbDevice&) = delete;

    // The configuration; its serial string is the one of the current plug (see
    // UsbDeviceBehaviour::SerialAtPlug), read it while the device stays plugged.
    const UsbDeviceConfig& Config() const { return config_; }
    uint8_t BusNumber() const { return busNumber_; }
    // The current device address; 0 while unplugged.
    uint8_t Address() const;
    bool IsPlugged() const { return Address() != 0; }
    // "/devices/..." of the device in sysfs (the same across re-plugs: the same port).
    const std::string& DevPath() const { return devpath_; }
    // The kernel node "/dev/tessaline.%08X", or empty when the module has none.
    const std::string& KernelNodePath() const { return kernelNodePath_; }

    // UsbDevicePort.
    void QueueBulkIn(std::vector<uint8_t> bytes) override;
    void Restart(std::chrono::milliseconds downtime) override;

    // Structural changes; not from inside a behaviour callback (see UsbBehaviour.h).
    // Plug attaches at a new address; Unplug detaches (no-op when already unplugged).
    void Plug();
    void Unplug();

    // Faults.
    // While busy, claiming the link interface is refused with EBUSY.
    void SetBusy(bool busy);
    // The endpoint (kBulkOutEndpoint or kBulkInEndpoint) stalls: pending and new transfers on it
    // fail with EPIPE until the host clears the halt.
    void StallEndpoint(uint8_t endpoint);
    // The next `count` bulk transfers (pending IN transfers first) fail with -`error`; EPROTO
    // is what a real bus error gives (libusb: LIBUSB_ERROR_IO).
    void FailNextTransfers(unsigned count, int error);

    // Observations.
    // The size of every transfer the host sent (bulk OUT or kernel-node write), in order.
    std::vector<size_t> OutTransferSizes() const;
    UsbDeviceStats Stats() const;
    // IN bytes queued and not yet delivered.
    size_t PendingInBytes() const;

    // Stops answering: detaches every node from the testbed. Called by the bus before it
    // releases the testbed.
    void Shutdown();

  private:
    class UsbfsNode;
    class NodeBackend;
    friend class UsbfsNode;
    friend class NodeBackend;

    std::string SysfsDescription(uint8_t address) const;
    void DeliverOut(const uint8_t* data, size_t length);
    bool TakeInBytes(size_t max, std::vector<uint8_t>& into);  // requires mutex_

    EmulatedUsbBus& bus_;
    UsbTestbed& testbed_;
    const uint8_t busNumber_;
    UsbDeviceConfig config_;  // serial changed only by Plug, under both mutexes
    const std::string createdSerial_;
    const std::string devpath_;
    const std::string kernelNodePath_;
    const std::shared_ptr<UsbDeviceBehaviour> behaviour_;
    std::mutex structureMutex_;  // serialises Plug, Unplug and Shutdown

    mutable std::mutex mutex_;  // guards everything below and the state of every node
    std::deque<uint8_t> bulkIn_;
    bool halted_[2] = {false, false};  // [0] bulk OUT, [1] bulk IN
    bool busy_ = false;
    unsigned failuresLeft_ = 0;
    int failureError_ = 0;
    std::vector<size_t> outSizes_;
    UsbDeviceStats stats_;
    // Every node the device had, one per plug: an unplugged node keeps answering (ENODEV) the
    // clients that still hold it open, until the bus shuts down.
    std::vector<std::unique_ptr<UsbfsNode>> nodes_;
    UsbfsNode* live_ = nullptr;
    std::unique_ptr<NodeBackend> nodeBackend_;
    std::unique_ptr<KernelNode> kernelNode_;
};

}  // namespace sim::usb
