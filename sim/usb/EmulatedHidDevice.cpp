#include "EmulatedHidDevice.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EmulatedUsbBus.h"
#include "UsbTestbed.h"

namespace sim::usb {

namespace {

constexpr uint32_t kBusUsb = 3;

std::string sHidDevpath(int index, const HidDeviceConfig& config) {
    // A port of a bus of its own, so that it never shares a path with an emulated module.
    char path[160];
    std::snprintf(path, sizeof(path),
                  "/devices/pci0000:00/0000:00:14.0/usb9/9-%d/9-%d:1.0/0003:%04X:%04X.%04X",
                  index + 1, index + 1, config.vendorId, config.productId, index + 1);
    return path;
}

}  // namespace

EmulatedHidDevice::EmulatedHidDevice(EmulatedUsbBus& bus, UsbTestbed& testbed, int index,
                                     HidDeviceConfig config,
                                     std::shared_ptr<HidReportBehaviour> behaviour)
    : bus_(bus),
      testbed_(testbed),
      config_(std::move(config)),
      reportDescriptor_(HidReportDescriptor(config_.reports)),
      hidDevpath_(sHidDevpath(index, config_)),
      devnode_("/dev/hidraw" + std::to_string(index)),
      behaviour_(std::move(behaviour)) {
    fifo_ = std::make_unique<FifoNode>(testbed_.NodeFile(devnode_));
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&EmulatedHidDevice::sOnRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&EmulatedHidDevice::sOnWrite), this);
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedHidDevice::sOnIoctl), this);
    testbed_.AttachHandler(devnode_, handler_);
    handlerAttached_ = true;
}

EmulatedHidDevice::~EmulatedHidDevice() {
    Shutdown();
    g_object_unref(handler_);
}

bool EmulatedHidDevice::IsPlugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

void EmulatedHidDevice::QueueInputReport(std::vector<uint8_t> report) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_ || report.empty()) return;
    inputReports_.push_back(std::move(report));
    fifo_->SetFilled(true);
}

void EmulatedHidDevice::LeaveBus() {
    bus_.Schedule(std::chrono::milliseconds(0), [this] { Unplug(); });
}

void EmulatedHidDevice::Plug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (plugged_ || pluggedBefore_) return;
        plugged_ = pluggedBefore_ = true;
    }
    behaviour_->OnAttached(*this);
    testbed_.AddDevices(SysfsDescription());
}

void EmulatedHidDevice::Unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugged_) return;
        plugged_ = false;
        inputReports_.clear();
        // A reader waiting in poll() wakes up and its read reports the device gone.
        fifo_->SetFilled(true);
        fifo_->Unlink();
    }
    testbed_.RemoveDevice(hidDevpath_ + "/hidraw/hidraw" + devnode_.substr(11));
    testbed_.RemoveDevice(hidDevpath_);
}

std::vector<std::vector<uint8_t>> EmulatedHidDevice::OutputReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputReports_;
}

void EmulatedHidDevice::Shutdown() {
    if (!handlerAttached_) return;
    testbed_.DetachHandler(devnode_);
    handlerAttached_ = false;
}

gboolean EmulatedHidDevice::sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                    gpointer self) {
    static_cast<EmulatedHidDevice*>(self)->HandleRead(client);
    return TRUE;
}

gboolean EmulatedHidDevice::sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                     gpointer self) {
    static_cast<EmulatedHidDevice*>(self)->HandleWrite(client);
    return TRUE;
}

gboolean EmulatedHidDevice::sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                     gpointer self) {
    static_cast<EmulatedHidDevice*>(self)->HandleIoctl(client);
    return TRUE;
}

void EmulatedHidDevice::HandleRead(UMockdevIoctlClient* client) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugged_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        if (inputReports_.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return;
        }
        report = std::move(inputReports_.front());
        inputReports_.pop_front();
        if (inputReports_.empty()) fifo_->SetFilled(false);
    }
    // Like hidraw: a buffer shorter than the report gets the report's first bytes.
    const size_t count =
        std::min(report.size(), static_cast<size_t>(std::max(buffer->data_len, 0)));
    std::memcpy(buffer->data, report.data(), count);
    umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
}

void EmulatedHidDevice::HandleWrite(UMockdevIoctlClient* client) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    const size_t length = static_cast<size_t>(std::max(buffer->data_len, 0));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugged_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        if (!IsAcceptedOutputReport(buffer->data, length)) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        outputReports_.emplace_back(buffer->data, buffer->data + length);
    }
    behaviour_->OnOutputReport(buffer->data, length);
    umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
}

// An output report the descriptor declares, no longer than declared; a shorter one is what a
// host sends for the last piece of a data phase.
bool EmulatedHidDevice::IsAcceptedOutputReport(const uint8_t* report, size_t length) const {
    if (length < 2) return false;
    for (const HidReport& r : config_.reports)
        if (!r.input && r.id == report[0]) return length - 1 <= r.size;
    return false;
}

void EmulatedHidDevice::HandleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (!IsPlugged()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (request == HIDIOCGRDESCSIZE) {
        DataRef size = Resolve(arg, 0, sizeof(int));
        if (!size) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        const int value = static_cast<int>(reportDescriptor_.size());
        std::memcpy(size->data, &value, sizeof(value));
        return umockdev_ioctl_client_complete(client, 0, 0);
    }
    if (request == HIDIOCGRDESC) {
        DataRef descriptor = Resolve(arg, 0, sizeof(hidraw_report_descriptor));
        if (!descriptor) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        auto* out = reinterpret_cast<hidraw_report_descriptor*>(descriptor->data);
        const size_t count = std::min<size_t>(out->size, reportDescriptor_.size());
        std::memcpy(out->value, reportDescriptor_.data(), count);
        return umockdev_ioctl_client_complete(client, 0, 0);
    }
    if (request == HIDIOCGRAWINFO) {
        DataRef info = Resolve(arg, 0, sizeof(hidraw_devinfo));
        if (!info) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        auto* out = reinterpret_cast<hidraw_devinfo*>(info->data);
        out->bustype = kBusUsb;
        out->vendor = static_cast<__s16>(config_.vendorId);
        out->product = static_cast<__s16>(config_.productId);
        return umockdev_ioctl_client_complete(client, 0, 0);
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
}

std::string EmulatedHidDevice::SysfsDescription() const {
    char id[96];
    std::snprintf(id, sizeof(id),
                  "E: HID_ID=0003:%08X:%08X\nE: MODALIAS=hid:b0003g0001v%08Xp%08X\n",
                  config_.vendorId, config_.productId, config_.vendorId, config_.productId);
    const std::string hidraw = hidDevpath_ + "/hidraw/hidraw" + devnode_.substr(11);
    return "P: " + hidDevpath_ + "\n" + "E: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n" + id +
           "E: HID_NAME=" + config_.name + "\n" + "E: HID_UNIQ=" + config_.uniq + "\n" +
           "E: HID_PHYS=usb-0000:00:14.0-1/input0\n" +
           "H: report_descriptor=" + HexString(reportDescriptor_) + "\n\n" + "P: " + hidraw + "\n" +
           "E: SUBSYSTEM=hidraw\nE: DEVNAME=" + devnode_ + "\n" + "L: device=../../../" +
           hidDevpath_.substr(hidDevpath_.rfind('/') + 1) + "\n";
}

}  // namespace sim::usb
