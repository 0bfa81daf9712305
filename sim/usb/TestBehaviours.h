#pragma once
// Test devices: behaviours that exercise the emulation without any protocol of their own.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "UsbBehaviour.h"

namespace sim::usb {

// A test module that returns every transfer it receives on its bulk IN endpoint (when `echo`)
// and records all bytes received.
class EchoBehaviour final : public UsbDeviceBehaviour {
  public:
    explicit EchoBehaviour(bool echo = true) : echo_(echo) {}

    void OnAttached(UsbDevicePort& port) override { port_ = &port; }
    void OnBulkOut(const uint8_t* data, size_t length) override;

    // Every byte received so far, in order.
    std::vector<uint8_t> Received() const;

  private:
    const bool echo_;
    std::atomic<UsbDevicePort*> port_{nullptr};
    mutable std::mutex mutex_;
    std::vector<uint8_t> received_;
};

// A test HID device shaped like a boot ROM's answers: every output report (report ID, then
// payload) is answered by input report 3 carrying the first 4 payload bytes and input report 4
// carrying the first 64 payload bytes, zero-padded.
class HidEchoBehaviour final : public HidReportBehaviour {
  public:
    void OnAttached(HidDevicePort& port) override { port_ = &port; }
    void OnOutputReport(const uint8_t* report, size_t length) override;

  private:
    std::atomic<HidDevicePort*> port_{nullptr};
};

}  // namespace sim::usb
