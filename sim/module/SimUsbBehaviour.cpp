#include "SimUsbBehaviour.h"

#include <cstdio>
#include <vector>

namespace sim::tessaline {

SimUsbBehaviour::SimUsbBehaviour(std::shared_ptr<SimModule> module,
                                 std::chrono::milliseconds restartDowntime)
    : module_(std::move(module)),
      restartDowntime_(restartDowntime),
      createdSerialNumber_(module_->Config().serialNumber) {}

std::string SimUsbBehaviour::SerialAtPlug() {
    const uint32_t serial = module_->Config().serialNumber;
    if (serial == createdSerialNumber_) return {};
    char text[9];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

SimUsbBehaviour::~SimUsbBehaviour() {
    OnDetached();
}

void SimUsbBehaviour::OnAttached(sim::usb::UsbDevicePort& port) {
    sim::usb::UsbDevicePort* device = &port;  // valid for the lifetime of the bus
    auto sink = [device](const uint8_t* bytes, size_t length) {
        device->QueueBulkIn(std::vector<uint8_t>(bytes, bytes + length));
    };
    auto restart = [device, downtime = restartDowntime_, returns = returns_] {
        device->Restart(*returns ? downtime : std::chrono::milliseconds(kNoReturnDowntime));
    };
    uint64_t token = module_->Attach(sink, restart);
    std::lock_guard<std::mutex> lock(mutex_);
    token_ = token;
}

void SimUsbBehaviour::OnDetached() {
    uint64_t token;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = token_;
        token_ = 0;
    }
    module_->Detach(token);
}

void SimUsbBehaviour::OnBulkOut(const uint8_t* data, size_t length) {
    module_->Receive(data, length);
}

}  // namespace sim::tessaline
