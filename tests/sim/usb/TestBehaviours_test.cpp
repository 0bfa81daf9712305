// The test devices, driven through a port that records what they queue.

#include "TestBehaviours.h"

#include <gtest/gtest.h>

namespace {

using namespace sim::usb;

struct RecordingPort : UsbDevicePort, HidDevicePort {
    void QueueBulkIn(std::vector<uint8_t> bytes) override { queued.push_back(bytes); }
    void Restart(std::chrono::milliseconds) override {}
    void QueueInputReport(std::vector<uint8_t> report) override { queued.push_back(report); }
    void LeaveBus() override {}
    std::vector<std::vector<uint8_t>> queued;
};

TEST(EchoBehaviour, ReturnsEachTransferAndRecordsAllBytes) {
    RecordingPort port;
    EchoBehaviour echo;
    echo.OnAttached(port);
    const uint8_t first[] = {1, 2}, second[] = {3};

    echo.OnBulkOut(first, sizeof(first));
    echo.OnBulkOut(second, sizeof(second));

    EXPECT_EQ(port.queued, (std::vector<std::vector<uint8_t>>{{1, 2}, {3}}));
    EXPECT_EQ(echo.Received(), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(EchoBehaviour, SilentOneOnlyRecords) {
    RecordingPort port;
    EchoBehaviour silent(false);
    silent.OnAttached(port);
    const uint8_t data[] = {9};

    silent.OnBulkOut(data, sizeof(data));

    EXPECT_TRUE(port.queued.empty());
    EXPECT_EQ(silent.Received(), std::vector<uint8_t>{9});
}

TEST(HidEchoBehaviour, AnswersEveryReportWithReportsThreeAndFour) {
    RecordingPort port;
    HidEchoBehaviour rom;
    rom.OnAttached(port);
    const uint8_t command[] = {1, 0xA, 0xB, 0xC, 0xD, 0xE};

    rom.OnOutputReport(command, sizeof(command));

    ASSERT_EQ(port.queued.size(), 2u);
    EXPECT_EQ(port.queued[0], (std::vector<uint8_t>{3, 0xA, 0xB, 0xC, 0xD}));
    std::vector<uint8_t> four(65, 0);
    four[0] = 4;
    for (int i = 0; i < 5; ++i) four[1 + i] = static_cast<uint8_t>(0xA + i);
    EXPECT_EQ(port.queued[1], four);
}

}  // namespace
