#pragma once
// An emulated bus and a real libusb context in the same process, for tests that drive the
// emulation exactly as the device library does.

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedUsbBus.h"
#include "TestBehaviours.h"

namespace usbtest {

using namespace std::chrono_literals;
using sim::usb::EchoBehaviour;
using sim::usb::EmulatedUsbBus;
using sim::usb::EmulatedUsbDevice;
using sim::usb::UsbDeviceConfig;
using sim::usb::UsbSpeed;

// Waits up to `limit` for `condition`, checking every 10 ms.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// One device as libusb lists it.
struct Listed {
    uint8_t address;
    uint16_t vendor;
    uint16_t product;
    std::string serial;
};

inline UsbDeviceConfig ModuleConfig(const std::string& serial, uint8_t model,
                                    UsbSpeed speed = UsbSpeed::Full) {
    UsbDeviceConfig config;
    config.vendorId = sim::usb::kTessaLineVendorId;
    config.productId = model;
    config.serial = serial;
    config.speed = speed;
    return config;
}

class LibusbFixture : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(libusb_init(&context_), 0); }

    void TearDown() override {
        for (libusb_device_handle* handle : handles_) libusb_close(handle);
        libusb_exit(context_);
    }

    // Adds an echoing test module; `echo_` keeps its behaviour for inspection.
    EmulatedUsbDevice& AddEchoModule(const std::string& serial, uint8_t model,
                                     UsbSpeed speed = UsbSpeed::Full, bool echo = true) {
        echo_ = std::make_shared<EchoBehaviour>(echo);
        return bus_.AddModule(ModuleConfig(serial, model, speed), echo_);
    }

    // Every device libusb lists, with its serial-number string read through a control transfer.
    std::vector<Listed> List() {
        std::vector<Listed> listed;
        libusb_device** devices = nullptr;
        ssize_t count = libusb_get_device_list(context_, &devices);
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(devices[i], &d) != 0) continue;
            Listed entry{libusb_get_device_address(devices[i]), d.idVendor, d.idProduct, ""};
            libusb_device_handle* handle = nullptr;
            if (libusb_open(devices[i], &handle) == 0) {
                unsigned char text[256] = {};
                if (libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text,
                                                       sizeof(text)) > 0)
                    entry.serial = reinterpret_cast<const char*>(text);
                libusb_close(handle);
            }
            listed.push_back(entry);
        }
        if (count >= 0) libusb_free_device_list(devices, 1);
        return listed;
    }

    // The address at which libusb lists the device with this serial; 0 when it lists none.
    uint8_t ListedAddress(const std::string& serial) {
        for (const Listed& l : List())
            if (l.serial == serial) return l.address;
        return 0;
    }

    // Opens the device with this serial (closed by TearDown); null when libusb lists none.
    libusb_device_handle* Open(const std::string& serial) {
        libusb_device** devices = nullptr;
        ssize_t count = libusb_get_device_list(context_, &devices);
        libusb_device_handle* found = nullptr;
        for (ssize_t i = 0; i < count && !found; ++i) {
            libusb_device_descriptor d{};
            libusb_device_handle* handle = nullptr;
            if (libusb_get_device_descriptor(devices[i], &d) != 0 ||
                libusb_open(devices[i], &handle) != 0)
                continue;
            unsigned char text[256] = {};
            if (libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text, sizeof(text)) >
                    0 &&
                serial == reinterpret_cast<const char*>(text))
                found = handle;
            else
                libusb_close(handle);
        }
        if (count >= 0) libusb_free_device_list(devices, 1);
        if (found) handles_.push_back(found);
        return found;
    }

    // Opens and claims the link interface; fails the test otherwise.
    libusb_device_handle* OpenClaimed(const std::string& serial) {
        libusb_device_handle* handle = Open(serial);
        EXPECT_NE(handle, nullptr) << serial;
        if (handle) {
            EXPECT_EQ(libusb_claim_interface(handle, sim::usb::kLinkInterfaceNumber), 0);
        }
        return handle;
    }

    // Closes a handle opened by Open before the test ends.
    void Close(libusb_device_handle* handle) {
        std::erase(handles_, handle);
        libusb_close(handle);
    }

    // A bulk transfer; returns the libusb result and sets `transferred`.
    static int Bulk(libusb_device_handle* handle, uint8_t endpoint, std::vector<uint8_t>& data,
                    int& transferred, unsigned timeoutMs) {
        return libusb_bulk_transfer(handle, endpoint, data.data(), static_cast<int>(data.size()),
                                    &transferred, timeoutMs);
    }

    EmulatedUsbBus bus_;  // before libusb: the bus must exist before any thread starts
    libusb_context* context_ = nullptr;
    std::shared_ptr<EchoBehaviour> echo_;
    std::vector<libusb_device_handle*> handles_;
};

}  // namespace usbtest
