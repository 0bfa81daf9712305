#pragma once
// The umockdev testbed of this process, and the FIFO device nodes that carry poll() readiness.
//
// umockdev fakes /sys and /dev for every process running under its preload library
// (umockdev-wrapper) that sees UMOCKDEV_DIR; an ioctl handler attached to a node answers that
// node's ioctl, read and write calls live, on umockdev's single worker thread.

#include <umockdev.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace sim::usb {

class UsbTestbed {
  public:
    // Creates the testbed and points UMOCKDEV_DIR at it. Calls setenv, so it must be created
    // before the process starts threads; one testbed per process at a time.
    // Throws std::runtime_error when umockdev cannot build it.
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // The folder holding the fake /sys and /dev.
    const std::string& RootDir() const { return root_; }

    // The file inside the testbed that stands for the device node `devnode` ("/dev/...").
    std::string NodeFile(const std::string& devnode) const { return root_ + devnode; }

    // Adds devices described in umockdev's text format ("P:", "E:", "A:", "H:", "L:" lines);
    // sends their "add" uevents. Throws std::runtime_error when the text is refused.
    void AddDevices(const std::string& description);

    // Sends the "remove" uevent of `devpath` ("/devices/...") and then removes the device.
    void RemoveDevice(const std::string& devpath);

    // Routes ioctl, read and write calls on `devnode` to `handler` (which the testbed refs).
    // Throws std::runtime_error on failure.
    void AttachHandler(const std::string& devnode, UMockdevIoctlBase* handler);
    void DetachHandler(const std::string& devnode);

  private:
    std::mutex mutex_;  // serialises changes of the sysfs tree made from several threads
    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
};

// A FIFO used as a device node. Clients open it read-write, so it never reports an error or a
// hang-up; its readiness follows one byte that the emulation puts in or takes out:
//  - filled: POLLIN, and no POLLOUT, because the pipe is shrunk to one page and one byte then
//    occupies its only slot;
//  - empty: POLLOUT, no POLLIN.
// usbfs clients wait for POLLOUT (something to reap), hidraw clients for POLLIN (a report).
// Thread-safe.
class FifoNode {
  public:
    // Creates the FIFO at `path` (with its parent folders), empty. Throws std::runtime_error.
    explicit FifoNode(const std::string& path);
    ~FifoNode();
    FifoNode(const FifoNode&) = delete;
    FifoNode& operator=(const FifoNode&) = delete;

    void SetFilled(bool filled);

    // Removes the name; descriptors opened before stay usable.
    void Unlink();

  private:
    std::mutex mutex_;
    std::string path_;
    int fd_ = -1;
    bool filled_ = false;
};

// Owns one reference to a GObject.
struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
using DataRef = std::unique_ptr<UMockdevIoctlData, GObjectUnref>;

// Fetches `length` bytes of client memory that the pointer at `offset` inside `data` points to;
// changes made to the copy go back to the client when the request completes. Null on failure.
DataRef Resolve(UMockdevIoctlData* data, size_t offset, size_t length);

// Creates an empty regular file at `path` with its parent folders. Throws std::runtime_error.
void CreateNodeFile(const std::string& path);

}  // namespace sim::usb
