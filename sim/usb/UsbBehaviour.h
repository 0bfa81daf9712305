#pragma once
// What an emulated device does, apart from how the bus presents it to the host.
//
// The emulation calls a behaviour from umockdev's single worker thread, which serves every
// device of the bus, so a callback must return promptly: never wait for the host inside it.
// A behaviour answers by queueing data through its port, from the callback itself or from a
// thread of its own. It must not add, unplug or re-plug devices from inside a callback; it
// asks for that through the port or EmulatedUsbBus::Schedule.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::usb {

// The device side of one emulated module, as its behaviour sees it. Valid for the lifetime of
// the bus; every function is thread-safe and returns at once.
class UsbDevicePort {
  public:
    virtual ~UsbDevicePort() = default;

    // Queues bytes for the host, delivered in order on the bulk IN endpoint (or by the kernel
    // node, one byte per read). Bytes queued while the device is unplugged are dropped.
    virtual void QueueBulkIn(std::vector<uint8_t> bytes) = 0;

    // The module restarts: it leaves the bus now and comes back at a new device address after
    // `downtime`. Happens on the bus's control thread, after this call returns.
    virtual void Restart(std::chrono::milliseconds downtime) = 0;
};

class UsbDeviceBehaviour {
  public:
    virtual ~UsbDeviceBehaviour() = default;

    // The device is on the bus (again), just before the host can see it; `port` stays valid.
    virtual void OnAttached(UsbDevicePort& port) = 0;

    // The device has left the bus; data queued before is gone.
    virtual void OnDetached() {}

    // One transfer from the host (a bulk OUT transfer, or a write to the kernel node), in order.
    virtual void OnBulkOut(const uint8_t* data, size_t length) = 0;

    // The serial-number string the device shows at its next plug (a module restarted into code
    // with another identity); empty keeps the one it was created with.
    virtual std::string SerialAtPlug() { return {}; }
};

// The device side of one emulated HID device. Valid for the lifetime of the bus; thread-safe.
class HidDevicePort {
  public:
    virtual ~HidDevicePort() = default;

    // Queues one input report, report ID first; each read by the host takes one report.
    virtual void QueueInputReport(std::vector<uint8_t> report) = 0;

    // The device leaves the bus (as a boot ROM does once it runs the image it received).
    // Happens on the bus's control thread, after this call returns.
    virtual void LeaveBus() = 0;
};

class HidReportBehaviour {
  public:
    virtual ~HidReportBehaviour() = default;

    // The device is on the bus, just before the host can see it; `port` stays valid.
    virtual void OnAttached(HidDevicePort& port) = 0;

    // One output report written by the host, report ID first.
    virtual void OnOutputReport(const uint8_t* report, size_t length) = 0;
};

}  // namespace sim::usb
