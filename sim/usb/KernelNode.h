#pragma once
// The character device node a module's kernel driver offers, "/dev/tessaline.%08X": whole
// blocks are written, every read delivers at most one byte, and a read with nothing waiting
// fails with EFAULT ("bad address"), the driver's way of saying "no byte yet".

#include <cstddef>
#include <cstdint>
#include <string>

#include "UsbTestbed.h"

namespace sim::usb {

// Where the node's bytes come from and go to; called on umockdev's worker thread.
class KernelNodeBackend {
  public:
    virtual ~KernelNodeBackend() = default;
    // Takes the next byte waiting for the host: 0, EFAULT when none waits, ENODEV when the
    // module is gone.
    virtual int TakeByte(uint8_t& byte) = 0;
    // Hands over one block written by the host: 0, or ENODEV when the module is gone.
    virtual int PutBlock(const uint8_t* data, size_t length) = 0;
};

class KernelNode {
  public:
    // Answers `devnode` ("/dev/tessaline.%08X") from `backend`; the node file exists only
    // between Show and Hide. Throws std::runtime_error when umockdev refuses the handler.
    KernelNode(UsbTestbed& testbed, std::string devnode, KernelNodeBackend& backend);
    ~KernelNode();
    KernelNode(const KernelNode&) = delete;
    KernelNode& operator=(const KernelNode&) = delete;

    // Makes the node appear (the module was attached) or disappear (it left); descriptors
    // opened before keep talking to the backend.
    void Show();
    void Hide();

    // Stops answering; the bus calls it before releasing the testbed.
    void Detach();

  private:
    static gboolean sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);

    UsbTestbed& testbed_;
    const std::string devnode_;
    KernelNodeBackend& backend_;
    UMockdevIoctlBase* handler_ = nullptr;
    bool attached_ = false;
};

}  // namespace sim::usb
