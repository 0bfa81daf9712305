#include "KernelNode.h"

#include <unistd.h>

#include <cerrno>

namespace sim::usb {

KernelNode::KernelNode(UsbTestbed& testbed, std::string devnode, KernelNodeBackend& backend)
    : testbed_(testbed), devnode_(std::move(devnode)), backend_(backend) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&KernelNode::sOnRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&KernelNode::sOnWrite), this);
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&KernelNode::sOnIoctl), this);
    testbed_.AttachHandler(devnode_, handler_);
    attached_ = true;
}

KernelNode::~KernelNode() {
    Detach();
    g_object_unref(handler_);
}

void KernelNode::Show() {
    CreateNodeFile(testbed_.NodeFile(devnode_));
}

void KernelNode::Hide() {
    unlink(testbed_.NodeFile(devnode_).c_str());
}

void KernelNode::Detach() {
    if (!attached_) return;
    testbed_.DetachHandler(devnode_);
    attached_ = false;
}

gboolean KernelNode::sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    if (buffer->data_len < 1) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    uint8_t byte = 0;
    int error = static_cast<KernelNode*>(self)->backend_.TakeByte(byte);
    if (error != 0) {
        umockdev_ioctl_client_complete(client, -1, error);
        return TRUE;
    }
    buffer->data[0] = byte;
    umockdev_ioctl_client_complete(client, 1, 0);
    return TRUE;
}

gboolean KernelNode::sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    const size_t length = buffer->data_len > 0 ? static_cast<size_t>(buffer->data_len) : 0;
    int error = static_cast<KernelNode*>(self)->backend_.PutBlock(buffer->data, length);
    if (error != 0)
        umockdev_ioctl_client_complete(client, -1, error);
    else
        umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
    return TRUE;
}

gboolean KernelNode::sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

}  // namespace sim::usb
