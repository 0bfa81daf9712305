#include "EmulatedUsbDevice.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>

#include "EmulatedUsbBus.h"
#include "KernelNode.h"
#include "UsbTestbed.h"

namespace sim::usb {

namespace {

constexpr size_t kSetupSize = 8;
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kStandardDeviceToHost = 0x80;
constexpr char kKernelDriverName[] = "tessaline";

// 0 for the bulk OUT endpoint, 1 for the bulk IN endpoint, -1 for any other.
int sEndpointIndex(unsigned endpoint) {
    if (endpoint == kBulkOutEndpoint) return 0;
    if (endpoint == kBulkInEndpoint) return 1;
    return -1;
}

std::string sDevNode(uint8_t bus, uint8_t address) {
    char path[40];
    std::snprintf(path, sizeof(path), "/dev/bus/usb/%03u/%03u", bus, address);
    return path;
}

// The answer of a standard control request with a data stage towards the host; nothing for a
// request the device does not support, which it answers with a stall.
std::optional<std::vector<uint8_t>> sControlAnswer(const UsbDeviceConfig& config,
                                                   const uint8_t* setup) {
    const uint8_t requestType = setup[0], request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    if (requestType != kStandardDeviceToHost) return std::nullopt;
    switch (request) {
        case kGetDescriptor:
            return DescriptorFor(config, static_cast<uint8_t>(value >> 8),
                                 static_cast<uint8_t>(value & 0xFF));
        case kGetStatus:
            return std::vector<uint8_t>{0, 0};
        case kGetConfiguration:
            return std::vector<uint8_t>{kConfigurationValue};
        default:
            return std::nullopt;
    }
}

}  // namespace

// The usbfs node of one plug of the device: /dev/bus/usb/BBB/AAA and its clients. All state is
// guarded by the device's mutex; the client's URB memory is touched only on the worker thread.
class EmulatedUsbDevice::UsbfsNode {
  public:
    UsbfsNode(EmulatedUsbDevice& device, uint8_t address)
        : device_(device),
          address_(address),
          devnode_(sDevNode(device.busNumber_, address)),
          fifo_(device.testbed_.NodeFile(devnode_)) {
        fifo_.SetFilled(true);  // nothing to reap yet
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsNode::sOnIoctl), this);
        device_.testbed_.AttachHandler(devnode_, handler_);
        handlerAttached_ = true;
    }

    ~UsbfsNode() {
        DetachHandler();
        g_object_unref(handler_);
        for (auto& [key, client] : clients_) g_object_unref(key);
    }

    uint8_t Address() const { return address_; }

    void DetachHandler() {
        if (!handlerAttached_) return;
        device_.testbed_.DetachHandler(devnode_);
        handlerAttached_ = false;
    }

    // The device left the bus: transfers in flight end with "device gone". Requires the mutex.
    void Unplug() {
        plugged_ = false;
        claimedBy_ = nullptr;
        for (auto& [key, client] : clients_)
            while (!client.pending.empty()) Complete(client, TakeFront(client.pending), -ESHUTDOWN);
        fifo_.Unlink();
        UpdateReadiness();
    }

    // Pending transfers on a stalled endpoint fail. Requires the mutex.
    void FailPendingOn(int endpointIndex, int status) {
        for (auto& [key, client] : clients_) {
            std::deque<std::unique_ptr<Urb>> keep;
            while (!client.pending.empty()) {
                std::unique_ptr<Urb> urb = TakeFront(client.pending);
                if (sEndpointIndex(urb->endpoint) == endpointIndex)
                    Complete(client, std::move(urb), status);
                else
                    keep.push_back(std::move(urb));
            }
            client.pending = std::move(keep);
        }
        UpdateReadiness();
    }

    // Pending transfers use up injected failures, oldest first. Requires the mutex.
    void FailPendingTransfers() {
        for (auto& [key, client] : clients_)
            while (device_.failuresLeft_ > 0 && !client.pending.empty()) {
                --device_.failuresLeft_;
                Complete(client, TakeFront(client.pending), -device_.failureError_);
            }
        UpdateReadiness();
    }

    // Requires the mutex.
    void UpdateReadiness() { fifo_.SetFilled(!Reapable()); }

  private:
    struct Urb {
        DataRef urb;     // the client's struct usbdevfs_urb
        DataRef buffer;  // its data buffer; null for a zero-length transfer
        unsigned long clientAddress = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        size_t bufferLength = 0;
        int status = 0;
        size_t actualLength = 0;     // bytes moved: the OUT data taken, or the reply's size
        std::vector<uint8_t> reply;  // written into the buffer at reap time
    };
    struct Client {
        std::deque<std::unique_ptr<Urb>> pending;  // bulk IN transfers waiting for data
        std::deque<std::unique_ptr<Urb>> done;     // complete, in completion order
    };
    // What to answer once the mutex is released: the result, bytes for the behaviour, and the
    // references that must live until the request is completed.
    struct Outcome {
        long result = 0;
        int error = 0;
        std::vector<uint8_t> delivered;
        std::unique_ptr<Urb> reaped;
        DataRef slot;
    };

    static Outcome Failed(int error) {
        Outcome out;
        out.result = -1;
        out.error = error;
        return out;
    }

    static std::unique_ptr<Urb> TakeFront(std::deque<std::unique_ptr<Urb>>& from) {
        std::unique_ptr<Urb> urb = std::move(from.front());
        from.pop_front();
        return urb;
    }

    static void Complete(Client& client, std::unique_ptr<Urb> urb, int status) {
        urb->status = status;
        if (status != 0) {
            urb->reply.clear();
            urb->actualLength = 0;
        }
        client.done.push_back(std::move(urb));
    }

    static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<UsbfsNode*>(self)->HandleIoctl(client);
        return TRUE;
    }

    // umockdev does not announce that a client closed its descriptor; its "connected" state
    // tells. A closed client's transfers and claim go; the node holds a reference to each
    // client so that the check never touches a freed one. Requires the mutex.
    void ForgetClosedClients() {
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (umockdev_ioctl_client_get_connected(it->first)) {
                ++it;
                continue;
            }
            if (claimedBy_ == it->first) claimedBy_ = nullptr;
            g_object_unref(it->first);
            it = clients_.erase(it);
        }
    }

    Client& ClientState(UMockdevIoctlClient* key) {
        auto it = clients_.find(key);
        if (it == clients_.end())
            it = clients_.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(key)), Client{})
                     .first;
        return it->second;
    }

    void HandleIoctl(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        Outcome out;
        {
            std::lock_guard<std::mutex> lock(device_.mutex_);
            out = Dispatch(client, request, arg);
            UpdateReadiness();
        }
        // The behaviour sees the bytes before the host learns that the transfer is done.
        if (!out.delivered.empty()) device_.DeliverOut(out.delivered.data(), out.delivered.size());
        umockdev_ioctl_client_complete(client, out.result, out.error);
    }

    Outcome Dispatch(UMockdevIoctlClient* key, unsigned long request, UMockdevIoctlData* arg) {
        ForgetClosedClients();
        Client& client = ClientState(key);
        if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB)
            return Reap(client, arg);
        if (request == USBDEVFS_DISCARDURB) return Discard(client, arg);
        if (!plugged_) return Failed(ENODEV);
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES:
                return Capabilities(arg);
            case USBDEVFS_CLAIMINTERFACE:
                return Claim(key, arg);
            case USBDEVFS_RELEASEINTERFACE:
                return Release(key, arg);
            case USBDEVFS_CLEAR_HALT:
                return ClearHalt(key, arg);
            case USBDEVFS_GETDRIVER:
                return Driver(arg);
            case USBDEVFS_SUBMITURB:
                return Submit(key, client, arg);
            default:
                return Failed(ENOTTY);
        }
    }

    static Outcome Capabilities(UMockdevIoctlData* arg) {
        DataRef caps = Resolve(arg, 0, sizeof(uint32_t));
        if (!caps) return Failed(EFAULT);
        const uint32_t value = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                               USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_ZERO_PACKET |
                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof(value));
        return {};
    }

    static bool ReadUnsigned(UMockdevIoctlData* arg, unsigned& value) {
        DataRef data = Resolve(arg, 0, sizeof(unsigned));
        if (!data) return false;
        std::memcpy(&value, data->data, sizeof(value));
        return true;
    }

    // The interface of a bulk endpoint is claimed implicitly on first use, as usbfs does; a
    // busy interface (another client, a kernel driver, or busy on purpose) refuses.
    int ClaimFor(UMockdevIoctlClient* key) {
        if (claimedBy_ == key) return 0;
        if (device_.busy_ || device_.config_.kernelNode || claimedBy_ != nullptr) return EBUSY;
        claimedBy_ = key;
        return 0;
    }

    Outcome Claim(UMockdevIoctlClient* key, UMockdevIoctlData* arg) {
        unsigned interface = 0;
        if (!ReadUnsigned(arg, interface)) return Failed(EFAULT);
        if (interface != kLinkInterfaceNumber) return Failed(ENOENT);
        if (int error = ClaimFor(key)) return Failed(error);
        return {};
    }

    Outcome Release(UMockdevIoctlClient* key, UMockdevIoctlData* arg) {
        unsigned interface = 0;
        if (!ReadUnsigned(arg, interface)) return Failed(EFAULT);
        if (interface != kLinkInterfaceNumber || claimedBy_ != key) return Failed(EINVAL);
        claimedBy_ = nullptr;
        return {};
    }

    Outcome ClearHalt(UMockdevIoctlClient* key, UMockdevIoctlData* arg) {
        unsigned endpoint = 0;
        if (!ReadUnsigned(arg, endpoint)) return Failed(EFAULT);
        const int index = sEndpointIndex(endpoint);
        if (index < 0) return (endpoint & 0x7F) == 0 ? Outcome{} : Failed(ENOENT);
        if (int error = ClaimFor(key)) return Failed(error);
        device_.halted_[index] = false;
        ++device_.stats_.clearHalts;
        return {};
    }

    Outcome Driver(UMockdevIoctlData* arg) const {
        DataRef data = Resolve(arg, 0, sizeof(usbdevfs_getdriver));
        if (!data) return Failed(EFAULT);
        auto* request = reinterpret_cast<usbdevfs_getdriver*>(data->data);
        if (!device_.config_.kernelNode || request->interface != kLinkInterfaceNumber)
            return Failed(ENODATA);
        std::snprintf(request->driver, sizeof(request->driver), "%s", kKernelDriverName);
        return {};
    }

    Outcome Submit(UMockdevIoctlClient* key, Client& client, UMockdevIoctlData* arg) {
        auto urb = std::make_unique<Urb>();
        urb->urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!urb->urb) return Failed(EFAULT);
        const auto* request = reinterpret_cast<const usbdevfs_urb*>(urb->urb->data);
        if (request->buffer_length < 0) return Failed(EINVAL);
        urb->clientAddress = urb->urb->client_addr;
        urb->type = request->type;
        urb->endpoint = request->endpoint;
        urb->bufferLength = static_cast<size_t>(request->buffer_length);
        if (urb->bufferLength > 0) {
            urb->buffer =
                Resolve(urb->urb.get(), offsetof(usbdevfs_urb, buffer), urb->bufferLength);
            if (!urb->buffer) return Failed(EFAULT);
        }
        ++device_.stats_.submits;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) return SubmitControl(client, std::move(urb));
        if (urb->type == USBDEVFS_URB_TYPE_BULK) return SubmitBulk(key, client, std::move(urb));
        return Failed(EINVAL);
    }

    Outcome SubmitControl(Client& client, std::unique_ptr<Urb> urb) {
        if ((urb->endpoint & 0x7F) != 0) return Failed(ENOENT);
        if (urb->bufferLength < kSetupSize) return Failed(EINVAL);
        const uint8_t* setup = urb->buffer->data;
        const size_t requested = static_cast<size_t>(setup[6] | setup[7] << 8);
        std::optional<std::vector<uint8_t>> answer = sControlAnswer(device_.config_, setup);
        if (!answer) {
            Complete(client, std::move(urb), -EPIPE);
            return {};
        }
        answer->resize(std::min({answer->size(), requested, urb->bufferLength - kSetupSize}));
        urb->reply = std::move(*answer);
        urb->actualLength = urb->reply.size();
        Complete(client, std::move(urb), 0);
        return {};
    }

    Outcome SubmitBulk(UMockdevIoctlClient* key, Client& client, std::unique_ptr<Urb> urb) {
        const int index = sEndpointIndex(urb->endpoint);
        if (index < 0) return Failed(ENOENT);
        if (int error = ClaimFor(key)) return Failed(error);
        if (device_.halted_[index]) {
            Complete(client, std::move(urb), -EPIPE);
            return {};
        }
        if (device_.failuresLeft_ > 0) {
            --device_.failuresLeft_;
            Complete(client, std::move(urb), -device_.failureError_);
            return {};
        }
        if (index == 1) {
            client.pending.push_back(std::move(urb));
            return {};
        }
        Outcome out;
        if (urb->buffer)
            out.delivered.assign(urb->buffer->data, urb->buffer->data + urb->bufferLength);
        device_.outSizes_.push_back(urb->bufferLength);
        urb->actualLength = urb->bufferLength;
        Complete(client, std::move(urb), 0);
        return out;
    }

    // Data the device holds goes into the oldest pending IN transfer only now, at reap time.
    void FillOldestIn(Client& client) {
        if (!plugged_ || client.pending.empty() || device_.halted_[1]) return;
        Urb& urb = *client.pending.front();
        if (!device_.TakeInBytes(urb.bufferLength, urb.reply)) return;
        urb.actualLength = urb.reply.size();
        Complete(client, TakeFront(client.pending), 0);
    }

    Outcome Reap(Client& client, UMockdevIoctlData* arg) {
        ++device_.stats_.reaps;
        FillOldestIn(client);
        if (client.done.empty()) return Failed(plugged_ ? EAGAIN : ENODEV);
        Outcome out;
        out.slot = Resolve(arg, 0, sizeof(void*));
        if (!out.slot) return Failed(EFAULT);
        out.reaped = TakeFront(client.done);
        Urb& urb = *out.reaped;
        auto* request = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
        request->status = urb.status;
        request->actual_length = static_cast<int>(urb.actualLength);
        const size_t offset = urb.type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0;
        if (!urb.reply.empty())
            std::memcpy(urb.buffer->data + offset, urb.reply.data(), urb.reply.size());
        umockdev_ioctl_data_set_ptr(out.slot.get(), 0, urb.urb.get());
        return out;
    }

    Outcome Discard(Client& client, UMockdevIoctlData* arg) {
        unsigned long address = 0;
        std::memcpy(&address, arg->data,
                    std::min(sizeof(address), static_cast<size_t>(arg->data_len)));
        for (auto it = client.pending.begin(); it != client.pending.end(); ++it) {
            if ((*it)->clientAddress != address) continue;
            std::unique_ptr<Urb> urb = std::move(*it);
            client.pending.erase(it);
            Complete(client, std::move(urb), -ENOENT);
            ++device_.stats_.discards;
            return {};
        }
        return Failed(EINVAL);
    }

    bool Reapable() const {
        const bool inData = plugged_ && !device_.bulkIn_.empty() && !device_.halted_[1];
        for (const auto& [key, client] : clients_) {
            if (!client.done.empty()) return true;
            if (inData && !client.pending.empty()) return true;
        }
        return false;
    }

    EmulatedUsbDevice& device_;
    const uint8_t address_;
    const std::string devnode_;
    FifoNode fifo_;
    UMockdevIoctlBase* handler_ = nullptr;
    bool handlerAttached_ = false;
    bool plugged_ = true;
    std::map<UMockdevIoctlClient*, Client> clients_;
    UMockdevIoctlClient* claimedBy_ = nullptr;
};

// The data path of the kernel node, on the same queues as the USB path.
class EmulatedUsbDevice::NodeBackend final : public KernelNodeBackend {
  public:
    explicit NodeBackend(EmulatedUsbDevice& device) : device_(device) {}

    int TakeByte(uint8_t& byte) override {
        std::lock_guard<std::mutex> lock(device_.mutex_);
        if (!device_.live_) return ENODEV;
        if (device_.bulkIn_.empty()) return EFAULT;
        byte = device_.bulkIn_.front();
        device_.bulkIn_.pop_front();
        return 0;
    }

    int PutBlock(const uint8_t* data, size_t length) override {
        {
            std::lock_guard<std::mutex> lock(device_.mutex_);
            if (!device_.live_) return ENODEV;
            device_.outSizes_.push_back(length);
        }
        if (length > 0) device_.DeliverOut(data, length);
        return 0;
    }

  private:
    EmulatedUsbDevice& device_;
};

EmulatedUsbDevice::EmulatedUsbDevice(EmulatedUsbBus& bus, UsbTestbed& testbed, uint8_t busNumber,
                                     int port, UsbDeviceConfig config,
                                     std::shared_ptr<UsbDeviceBehaviour> behaviour)
    : bus_(bus),
      testbed_(testbed),
      busNumber_(busNumber),
      config_(std::move(config)),
      createdSerial_(config_.serial),
      devpath_("/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(busNumber) + "/" +
               std::to_string(busNumber) + "-" + std::to_string(port)),
      kernelNodePath_(config_.kernelNode ? sim::usb::KernelNodePath(config_.serial) : ""),
      behaviour_(std::move(behaviour)) {
    if (config_.kernelNode) {
        nodeBackend_ = std::make_unique<NodeBackend>(*this);
        kernelNode_ = std::make_unique<KernelNode>(testbed_, kernelNodePath_, *nodeBackend_);
    }
}

EmulatedUsbDevice::~EmulatedUsbDevice() {
    Shutdown();
}

uint8_t EmulatedUsbDevice::Address() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_ ? live_->Address() : 0;
}

void EmulatedUsbDevice::QueueBulkIn(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_) return;
    bulkIn_.insert(bulkIn_.end(), bytes.begin(), bytes.end());
    live_->UpdateReadiness();
}

void EmulatedUsbDevice::Restart(std::chrono::milliseconds downtime) {
    bus_.Schedule(std::chrono::milliseconds(0), [this] { Unplug(); });
    bus_.Schedule(downtime, [this] { Plug(); });
}

void EmulatedUsbDevice::Plug() {
    std::lock_guard<std::mutex> structure(structureMutex_);
    if (IsPlugged()) return;
    const uint8_t address = bus_.AllocateAddress(busNumber_);
    auto node = std::make_unique<UsbfsNode>(*this, address);
    std::string serial = behaviour_->SerialAtPlug();
    if (serial.empty() || !IsValidSerialText(serial)) serial = createdSerial_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.serial = serial;
        halted_[0] = halted_[1] = false;
        live_ = node.get();
        nodes_.push_back(std::move(node));
    }
    if (kernelNode_) kernelNode_->Show();
    behaviour_->OnAttached(*this);
    testbed_.AddDevices(SysfsDescription(address));
}

void EmulatedUsbDevice::Unplug() {
    std::lock_guard<std::mutex> structure(structureMutex_);
    uint8_t address = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!live_) return;
        address = live_->Address();
        live_->Unplug();
        live_ = nullptr;
        bulkIn_.clear();
    }
    if (kernelNode_) kernelNode_->Hide();
    testbed_.RemoveDevice(devpath_);
    bus_.ReleaseAddress(busNumber_, address);
    behaviour_->OnDetached();
}

void EmulatedUsbDevice::SetBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = busy;
}

void EmulatedUsbDevice::StallEndpoint(uint8_t endpoint) {
    const int index = sEndpointIndex(endpoint);
    if (index < 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    halted_[index] = true;
    if (live_) live_->FailPendingOn(index, -EPIPE);
}

void EmulatedUsbDevice::FailNextTransfers(unsigned count, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failuresLeft_ = count;
    failureError_ = error;
    if (live_) live_->FailPendingTransfers();
}

std::vector<size_t> EmulatedUsbDevice::OutTransferSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outSizes_;
}

UsbDeviceStats EmulatedUsbDevice::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

size_t EmulatedUsbDevice::PendingInBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bulkIn_.size();
}

void EmulatedUsbDevice::Shutdown() {
    std::lock_guard<std::mutex> structure(structureMutex_);
    for (auto& node : nodes_) node->DetachHandler();
    if (kernelNode_) kernelNode_->Detach();
}

void EmulatedUsbDevice::DeliverOut(const uint8_t* data, size_t length) {
    behaviour_->OnBulkOut(data, length);
}

bool EmulatedUsbDevice::TakeInBytes(size_t max, std::vector<uint8_t>& into) {
    const size_t count = std::min(max, bulkIn_.size());
    if (count == 0) return false;
    into.assign(bulkIn_.begin(), bulkIn_.begin() + static_cast<std::ptrdiff_t>(count));
    bulkIn_.erase(bulkIn_.begin(), bulkIn_.begin() + static_cast<std::ptrdiff_t>(count));
    return true;
}

std::string EmulatedUsbDevice::SysfsDescription(uint8_t address) const {
    char ids[160];
    std::snprintf(ids, sizeof(ids),
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nE: PRODUCT=%x/%x/100\n"
                  "A: busnum=%u\\n\nA: devnum=%u\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n",
                  busNumber_, address, config_.vendorId, config_.productId, busNumber_, address,
                  config_.vendorId, config_.productId);
    return "P: " + devpath_ + "\n" +
           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: TYPE=0/0/0\n" +
           "E: DEVNAME=" + sDevNode(busNumber_, address) + "\n" + ids +
           "A: speed=" + SysfsSpeed(config_.speed) + "\\n\n" +
           "A: bcdDevice=0100\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n" +
           "A: bNumInterfaces= 1\\n\nA: bDeviceClass=00\\n\nA: bMaxPacketSize0=64\\n\n" +
           "A: manufacturer=" + config_.manufacturer + "\\n\n" + "A: product=" + config_.product +
           "\\n\n" + "A: serial=" + config_.serial + "\\n\n" +
           "H: descriptors=" + HexString(DeviceDescriptor(config_)) +
           HexString(ConfigurationDescriptor(config_)) + "\n";
}

}  // namespace sim::usb
