#include "EmulatedUsbBus.h"

#include <cstdio>
#include <stdexcept>

#include "UsbTestbed.h"

namespace sim::usb {

namespace {

constexpr uint8_t kModuleBus = 1;
constexpr uint8_t kFirstAddress = 2;  // address 1 belongs to the root hub
constexpr uint8_t kLastAddress = 127;

bool sIsPlainText(const std::string& text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7E || c == '\\') return false;
    return true;
}

void sCheck(const UsbDeviceConfig& config) {
    if (!IsValidSerialText(config.serial))
        throw std::invalid_argument("serial-number text not usable: \"" + config.serial + "\"");
    if (config.kernelNode && KernelNodePath(config.serial).empty())
        throw std::invalid_argument("a kernel node needs a serial of 1 to 8 hex digits: \"" +
                                    config.serial + "\"");
    if (!sIsPlainText(config.manufacturer) || !sIsPlainText(config.product))
        throw std::invalid_argument("manufacturer and product must be printable ASCII");
}

}  // namespace

EmulatedUsbBus::EmulatedUsbBus() : testbed_(std::make_unique<UsbTestbed>()) {
    control_ = std::thread([this] { RunControlThread(); });
}

EmulatedUsbBus::~EmulatedUsbBus() {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        stopping_ = true;
    }
    tasksChanged_.notify_all();
    control_.join();
    // Handlers go before the testbed; the devices (and the client memory they still reference)
    // after it, when no request can arrive any more.
    for (auto& module : modules_) module->Shutdown();
    for (auto& hid : hids_) hid->Shutdown();
    testbed_.reset();
    modules_.clear();
    hids_.clear();
}

EmulatedUsbDevice& EmulatedUsbBus::AddModule(const UsbDeviceConfig& config,
                                             std::shared_ptr<UsbDeviceBehaviour> behaviour) {
    sCheck(config);
    if (!behaviour) throw std::invalid_argument("a module needs a behaviour");
    EmulatedUsbDevice* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(devicesMutex_);
        const int port = static_cast<int>(modules_.size()) + 1;
        modules_.push_back(std::make_unique<EmulatedUsbDevice>(*this, *testbed_, kModuleBus, port,
                                                               config, std::move(behaviour)));
        device = modules_.back().get();
    }
    device->Plug();
    return *device;
}

EmulatedHidDevice& EmulatedUsbBus::AddHid(const HidDeviceConfig& config,
                                          std::shared_ptr<HidReportBehaviour> behaviour) {
    if (!behaviour) throw std::invalid_argument("an HID device needs a behaviour");
    if (!sIsPlainText(config.name) || !sIsPlainText(config.uniq))
        throw std::invalid_argument("HID name and unique id must be printable ASCII");
    EmulatedHidDevice* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(devicesMutex_);
        const int index = static_cast<int>(hids_.size());
        hids_.push_back(std::make_unique<EmulatedHidDevice>(*this, *testbed_, index, config,
                                                            std::move(behaviour)));
        device = hids_.back().get();
    }
    device->Plug();
    return *device;
}

void EmulatedUsbBus::Schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    }
    tasksChanged_.notify_all();
}

const std::string& EmulatedUsbBus::RootDir() const {
    return testbed_->RootDir();
}

uint8_t EmulatedUsbBus::AllocateAddress(uint8_t bus) {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    std::set<uint8_t>& used = usedAddresses_[bus];
    uint8_t& last = lastAddress_.try_emplace(bus, kFirstAddress - 1).first->second;
    for (int tries = kFirstAddress; tries <= kLastAddress; ++tries) {
        last = last >= kLastAddress ? kFirstAddress : static_cast<uint8_t>(last + 1);
        if (used.insert(last).second) return last;
    }
    throw std::runtime_error("no free device address on the emulated bus");
}

void EmulatedUsbBus::ReleaseAddress(uint8_t bus, uint8_t address) {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    usedAddresses_[bus].erase(address);
}

void EmulatedUsbBus::RunControlThread() {
    std::unique_lock<std::mutex> lock(tasksMutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            tasksChanged_.wait(lock);
            continue;
        }
        auto next = tasks_.begin();
        if (next->first > std::chrono::steady_clock::now()) {
            tasksChanged_.wait_until(lock, next->first);
            continue;
        }
        std::function<void()> task = std::move(next->second);
        tasks_.erase(next);
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            // A failed change of the bus must not end the process that owns it.
            std::fprintf(stderr, "emulated USB bus: %s\n", e.what());
        }
        lock.lock();
    }
}

}  // namespace sim::usb
