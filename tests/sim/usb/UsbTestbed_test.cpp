// The testbed wrapper and the FIFO nodes whose readiness tells a host when to act.

#include "UsbTestbed.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

using sim::usb::FifoNode;
using sim::usb::UsbTestbed;

// The events a client that opened the node read-write would see right now.
short Ready(int fd) {
    pollfd p{fd, POLLIN | POLLOUT, 0};
    return poll(&p, 1, 0) == 1 ? p.revents : 0;
}

class Fifo : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("fifo-node-" + std::to_string(getpid()));
        node_ = std::make_unique<FifoNode>((dir_ / "dev/bus/usb/001/002").string());
        client_ = open((dir_ / "dev/bus/usb/001/002").c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(client_, 0);
    }

    void TearDown() override {
        close(client_);
        node_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path dir_;
    std::unique_ptr<FifoNode> node_;
    int client_ = -1;
};

TEST_F(Fifo, FilledMeansReadableAndNotWritableEmptyTheOpposite) {
    EXPECT_EQ(Ready(client_), POLLOUT);

    node_->SetFilled(true);
    EXPECT_EQ(Ready(client_), POLLIN);
    node_->SetFilled(true);  // idempotent: still one byte
    EXPECT_EQ(Ready(client_), POLLIN);

    node_->SetFilled(false);
    EXPECT_EQ(Ready(client_), POLLOUT);
}

TEST_F(Fifo, UnlinkedNodeKeepsWorkingForDescriptorsOpenedBefore) {
    node_->Unlink();

    EXPECT_FALSE(std::filesystem::exists(dir_ / "dev/bus/usb/001/002"));
    node_->SetFilled(true);
    EXPECT_EQ(Ready(client_), POLLIN);
}

TEST(Testbed, PointsUmockdevAtItsFolderAndRemovesItAtTheEnd) {
    std::string root;
    {
        UsbTestbed testbed;
        root = testbed.RootDir();
        ASSERT_NE(std::getenv("UMOCKDEV_DIR"), nullptr);
        EXPECT_EQ(root, std::getenv("UMOCKDEV_DIR"));
        EXPECT_EQ(testbed.NodeFile("/dev/hidraw0"), root + "/dev/hidraw0");
        testbed.AddDevices("P: /devices/test/thing\nE: SUBSYSTEM=test\nA: value=42\\n\n");
        EXPECT_TRUE(std::filesystem::exists(root + "/sys/devices/test/thing/value"));
        EXPECT_THROW(testbed.AddDevices("nonsense"), std::runtime_error);
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
