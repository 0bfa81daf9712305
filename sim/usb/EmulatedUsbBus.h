#pragma once
// An emulated USB bus for tests: one process owns it, with any number of emulated modules
// (usbfs, optionally the kernel node) and HID devices. The code under test runs unchanged with
// the real libusb and hidapi, in this process or in a child, as long as it runs under
// umockdev's preload library (umockdev-wrapper) and sees UMOCKDEV_DIR, which the bus sets.
//
// Create the bus before the process starts any thread (umockdev calls setenv); one bus per
// process at a time. Devices live as long as the bus.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedHidDevice.h"
#include "EmulatedUsbDevice.h"
#include "UsbBehaviour.h"
#include "UsbDescriptors.h"

namespace sim::usb {

class UsbTestbed;

class EmulatedUsbBus {
  public:
    // Throws std::runtime_error when umockdev cannot build the testbed.
    EmulatedUsbBus();
    ~EmulatedUsbBus();
    EmulatedUsbBus(const EmulatedUsbBus&) = delete;
    EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

    // Adds a module on the next port of bus 1 and plugs it in; the bus owns it.
    // Throws std::invalid_argument for a configuration the emulation cannot carry (see
    // UsbDeviceConfig), std::runtime_error when umockdev fails.
    EmulatedUsbDevice& AddModule(const UsbDeviceConfig& config,
                                 std::shared_ptr<UsbDeviceBehaviour> behaviour);

    // Adds an HID device (/dev/hidraw0, 1, ...) and plugs it in; the bus owns it.
    EmulatedHidDevice& AddHid(const HidDeviceConfig& config,
                              std::shared_ptr<HidReportBehaviour> behaviour);

    // Runs `task` on the bus's control thread after `delay` (tasks due at the same time run in
    // the order scheduled). For changes of the bus asked for by a behaviour callback. Tasks not
    // yet run when the bus is destroyed are dropped.
    void Schedule(std::chrono::milliseconds delay, std::function<void()> task);

    // The folder holding the fake /sys and /dev.
    const std::string& RootDir() const;

    // A free device address on `bus` (2..127, round robin); throws std::runtime_error when all
    // are taken. ReleaseAddress gives one back.
    uint8_t AllocateAddress(uint8_t bus);
    void ReleaseAddress(uint8_t bus, uint8_t address);

  private:
    void RunControlThread();

    std::unique_ptr<UsbTestbed> testbed_;

    std::mutex devicesMutex_;  // guards the device lists and the addresses
    std::vector<std::unique_ptr<EmulatedUsbDevice>> modules_;
    std::vector<std::unique_ptr<EmulatedHidDevice>> hids_;
    std::map<uint8_t, std::set<uint8_t>> usedAddresses_;
    std::map<uint8_t, uint8_t> lastAddress_;

    std::mutex tasksMutex_;  // guards tasks_ and stopping_
    std::condition_variable tasksChanged_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread control_;
};

}  // namespace sim::usb
