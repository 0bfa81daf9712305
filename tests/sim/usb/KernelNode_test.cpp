// The kernel driver's device node "/dev/tessaline.%08X" of an emulated module, used through the
// plain file calls the device library makes.

#include "KernelNode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "LibusbFixture.h"

namespace usbtest {
namespace {

class KernelNodeTest : public LibusbFixture {
  protected:
    void SetUp() override {
        LibusbFixture::SetUp();
        UsbDeviceConfig config = ModuleConfig("1A2B3C4D", 4);
        config.kernelNode = true;
        echo_ = std::make_shared<EchoBehaviour>(false);
        device_ = &bus_.AddModule(config, echo_);
    }

    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        LibusbFixture::TearDown();
    }

    int OpenNode() {
        fd_ = open("/dev/tessaline.1A2B3C4D", O_RDWR);
        return fd_;
    }

    EmulatedUsbDevice* device_ = nullptr;
    int fd_ = -1;
};

TEST_F(KernelNodeTest, NodeIsNamedAfterTheSerialNumberAndIsNoFolder) {
    struct stat st {};
    ASSERT_EQ(stat("/dev/tessaline.1A2B3C4D", &st), 0);
    EXPECT_FALSE(S_ISDIR(st.st_mode));
    EXPECT_EQ(device_->KernelNodePath(), "/dev/tessaline.1A2B3C4D");
    EXPECT_NE(stat("/dev/tessaline.1A2B3C4E", &st), 0);
}

TEST_F(KernelNodeTest, WholeBlockIsWrittenInOneCall) {
    ASSERT_GE(OpenNode(), 0);
    std::vector<uint8_t> block(150);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);

    EXPECT_EQ(write(fd_, block.data(), block.size()), 150);
    EXPECT_EQ(device_->OutTransferSizes(), std::vector<size_t>{150});
    EXPECT_EQ(echo_->Received(), block);
}

TEST_F(KernelNodeTest, EachReadDeliversOneByteAndFailsWithBadAddressWhenNoneWaits) {
    ASSERT_GE(OpenNode(), 0);
    device_->QueueBulkIn({0x10, 0x20, 0x30});

    std::vector<uint8_t> got;
    unsigned char buffer[16];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(read(fd_, buffer, sizeof(buffer)), 1);
        got.push_back(buffer[0]);
    }
    errno = 0;
    EXPECT_EQ(read(fd_, buffer, sizeof(buffer)), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(got, (std::vector<uint8_t>{0x10, 0x20, 0x30}));
}

TEST_F(KernelNodeTest, ModuleIsListedByLibusbButItsInterfaceBelongsToTheDriver) {
    libusb_device_handle* handle = Open("1A2B3C4D");
    ASSERT_NE(handle, nullptr);

    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 1);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
}

TEST_F(KernelNodeTest, UnplugRemovesTheNodeAndFailsItsOpenDescriptor) {
    ASSERT_GE(OpenNode(), 0);

    device_->Unplug();

    struct stat st {};
    EXPECT_NE(stat("/dev/tessaline.1A2B3C4D", &st), 0);
    unsigned char byte = 0;
    errno = 0;
    EXPECT_EQ(read(fd_, &byte, 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(write(fd_, &byte, 1), -1);
    EXPECT_EQ(errno, ENODEV);

    device_->Plug();
    EXPECT_EQ(stat("/dev/tessaline.1A2B3C4D", &st), 0);
}

}  // namespace
}  // namespace usbtest
