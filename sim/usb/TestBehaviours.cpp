#include "TestBehaviours.h"

#include <algorithm>

namespace sim::usb {

namespace {

std::vector<uint8_t> sInputReport(uint8_t id, size_t size, const uint8_t* payload, size_t length) {
    std::vector<uint8_t> report(1 + size, 0);
    report[0] = id;
    std::copy_n(payload, std::min(size, length), report.begin() + 1);
    return report;
}

}  // namespace

void EchoBehaviour::OnBulkOut(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), data, data + length);
    }
    UsbDevicePort* port = port_.load();
    if (echo_ && port) port->QueueBulkIn(std::vector<uint8_t>(data, data + length));
}

std::vector<uint8_t> EchoBehaviour::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void HidEchoBehaviour::OnOutputReport(const uint8_t* report, size_t length) {
    HidDevicePort* port = port_.load();
    if (!port || length < 1) return;
    port->QueueInputReport(sInputReport(3, 4, report + 1, length - 1));
    port->QueueInputReport(sInputReport(4, 64, report + 1, length - 1));
}

}  // namespace sim::usb
