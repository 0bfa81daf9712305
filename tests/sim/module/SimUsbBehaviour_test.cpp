// The module as an emulated USB device's behaviour, driven through a recording port.

#include "SimUsbBehaviour.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

struct RecordingPort : sim::usb::UsbDevicePort {
    void QueueBulkIn(std::vector<uint8_t> bytes) override {
        std::lock_guard<std::mutex> lock(mutex);
        queued.push_back(std::move(bytes));
    }
    void Restart(std::chrono::milliseconds downtime) override {
        std::lock_guard<std::mutex> lock(mutex);
        restarts.push_back(downtime);
    }
    std::vector<std::string> Queued() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> texts;
        for (const auto& transfer : queued) texts.push_back(Hex(transfer));
        return texts;
    }

    std::mutex mutex;
    std::vector<std::vector<uint8_t>> queued;
    std::vector<std::chrono::milliseconds> restarts;
};

class SimUsbBehaviourTest : public ::testing::Test {
  protected:
    void BulkOut(const std::string& hex) {
        std::vector<uint8_t> bytes = Bytes(hex);
        behaviour->OnBulkOut(bytes.data(), bytes.size());
    }

    RecordingPort port;  // outlives the behaviour, as the bus's device does
    std::shared_ptr<SimModule> module = std::make_shared<SimModule>();
    std::shared_ptr<SimUsbBehaviour> behaviour = std::make_shared<SimUsbBehaviour>(module, 250ms);
};

TEST_F(SimUsbBehaviourTest, BulkOutIsAnsweredOnBulkIn) {
    behaviour->OnAttached(port);
    BulkOut("AF 01 01 AD 00");
    ASSERT_TRUE(module->WaitIdle(10s));
    EXPECT_EQ(port.Queued(), std::vector<std::string>{"02 00"});
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
}

TEST_F(SimUsbBehaviourTest, AModuleDisconnectRestartsTheDevice) {
    behaviour->OnAttached(port);
    module->Disconnect();
    ASSERT_EQ(port.restarts.size(), 1u);
    EXPECT_EQ(port.restarts[0], 250ms);

    // The bus reports the device gone and back again.
    behaviour->OnDetached();
    behaviour->OnAttached(port);
    BulkOut("AD 00");
    ASSERT_TRUE(module->WaitIdle(10s));
    EXPECT_EQ(port.Queued(), std::vector<std::string>{"02 00"});
}

TEST_F(SimUsbBehaviourTest, NothingIsQueuedOnceDetachedOrReleased) {
    behaviour->OnAttached(port);
    behaviour->OnDetached();
    EXPECT_FALSE(module->IsAttached());
    BulkOut("AD 00");
    ASSERT_TRUE(module->WaitIdle(10s));
    EXPECT_TRUE(port.Queued().empty());

    behaviour->OnAttached(port);
    behaviour->Release();
    behaviour->Release();
    EXPECT_FALSE(module->IsAttached());
}

}  // namespace
