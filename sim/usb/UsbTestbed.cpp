#include "UsbTestbed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace sim::usb {

namespace {

constexpr int kOnePage = 4096;

std::string sErrorText(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

void sCreateParents(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
}

}  // namespace

UsbTestbed::UsbTestbed() {
    testbed_ = umockdev_testbed_new();
    if (!testbed_) throw std::runtime_error("umockdev testbed could not be created");
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
}

UsbTestbed::~UsbTestbed() {
    g_object_unref(testbed_);
}

void UsbTestbed::AddDevices(const std::string& description) {
    std::lock_guard<std::mutex> lock(mutex_);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error))
        throw std::runtime_error("umockdev refused a device: " + sErrorText(error));
}

void UsbTestbed::RemoveDevice(const std::string& devpath) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string syspath = "/sys" + devpath;
    // The uevent is built from the device's properties, so it goes out while they still exist.
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

void UsbTestbed::AttachHandler(const std::string& devnode, UMockdevIoctlBase* handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler, &error))
        throw std::runtime_error("umockdev cannot emulate " + devnode + ": " + sErrorText(error));
}

void UsbTestbed::DetachHandler(const std::string& devnode) {
    std::lock_guard<std::mutex> lock(mutex_);
    GError* error = nullptr;
    if (!umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), &error)) g_clear_error(&error);
}

FifoNode::FifoNode(const std::string& path) : path_(path) {
    sCreateParents(path);
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0)
        throw std::runtime_error("mkfifo " + path + ": " + std::strerror(errno));
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    if (fcntl(fd_, F_SETPIPE_SZ, kOnePage) < 0) {
        int error = errno;
        close(fd_);
        throw std::runtime_error("F_SETPIPE_SZ " + path + ": " + std::strerror(error));
    }
}

FifoNode::~FifoNode() {
    if (fd_ >= 0) close(fd_);
}

void FifoNode::SetFilled(bool filled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (filled == filled_) return;
    if (filled) {
        const char byte = 1;
        filled_ = write(fd_, &byte, 1) == 1;
    } else {
        char bytes[16];
        while (read(fd_, bytes, sizeof(bytes)) > 0) {
        }
        filled_ = false;
    }
}

void FifoNode::Unlink() {
    std::lock_guard<std::mutex> lock(mutex_);
    unlink(path_.c_str());
}

DataRef Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
    GError* error = nullptr;
    DataRef resolved(umockdev_ioctl_data_resolve(data, offset, length, &error));
    g_clear_error(&error);
    return resolved;
}

void CreateNodeFile(const std::string& path) {
    sCreateParents(path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("create " + path + ": " + std::strerror(errno));
    close(fd);
}

}  // namespace sim::usb
