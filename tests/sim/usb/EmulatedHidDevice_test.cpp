// The emulated i.MX boot ROM's HID device through the real hidapi (hidraw backend): open by
// vendor and product, output reports, input reports with time-outs, unplug.

#include "EmulatedHidDevice.h"

#include <gtest/gtest.h>
#include <hidapi.h>
#include <time.h>

#include <chrono>
#include <ostream>
#include <thread>

#include "EmulatedUsbBus.h"
#include "TestBehaviours.h"

namespace {

using namespace std::chrono_literals;
using sim::usb::EmulatedHidDevice;
using sim::usb::EmulatedUsbBus;
using sim::usb::HidDeviceConfig;
using sim::usb::HidEchoBehaviour;
using sim::usb::kImxProductId;
using sim::usb::kImxVendorId;

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The error-status command as report 1: 01 05 05 and 14 zero bytes.
std::vector<uint8_t> ErrorStatusCommand() {
    std::vector<uint8_t> report(17, 0);
    report[0] = 1;
    report[1] = report[2] = 0x05;
    return report;
}

class Hid : public ::testing::Test {
  protected:
    void SetUp() override {
        device_ = &bus_.AddHid(HidDeviceConfig{}, std::make_shared<HidEchoBehaviour>());
        ASSERT_EQ(hid_init(), 0);
        hid_ = hid_open(kImxVendorId, kImxProductId, nullptr);
        ASSERT_NE(hid_, nullptr);
    }

    void TearDown() override {
        if (hid_) hid_close(hid_);
        hid_exit();
    }

    int ReadReport(std::vector<uint8_t>& into, int timeoutMs) {
        unsigned char buffer[65] = {};
        int n = hid_read_timeout(hid_, buffer, sizeof(buffer), timeoutMs);
        into.assign(buffer, buffer + std::max(n, 0));
        return n;
    }

    EmulatedUsbBus bus_;  // before hidapi: the bus must exist before any thread starts
    EmulatedHidDevice* device_ = nullptr;
    hid_device* hid_ = nullptr;
};

TEST_F(Hid, EnumeratesAsTheBootRomOnItsHidrawNode) {
    hid_device_info* list = hid_enumerate(kImxVendorId, kImxProductId);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_STREQ(list->path, "/dev/hidraw0");
    EXPECT_EQ(list->vendor_id, kImxVendorId);
    EXPECT_EQ(list->product_id, kImxProductId);
    hid_free_enumeration(list);
    EXPECT_EQ(hid_enumerate(0x1234, 0x5678), nullptr);
}

TEST_F(Hid, CommandReportIsAnsweredWithAFiveAndASixtyFiveByteReport) {
    const std::vector<uint8_t> command = ErrorStatusCommand();

    ASSERT_EQ(hid_write(hid_, command.data(), command.size()), 17);
    std::vector<uint8_t> mode, status;
    ASSERT_EQ(ReadReport(mode, 100), 5);
    ASSERT_EQ(ReadReport(status, 100), 65);

    EXPECT_EQ(device_->OutputReports(), std::vector<std::vector<uint8_t>>{command});
    EXPECT_EQ(mode, (std::vector<uint8_t>{3, 0x05, 0x05, 0, 0}));
    EXPECT_EQ(status[0], 4);
    EXPECT_EQ(status[1], 0x05);
}

TEST_F(Hid, ReadWithNothingQueuedTimesOutOnTimeWithoutSpinning) {
    const double cpuBefore = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();

    std::vector<uint8_t> report;
    EXPECT_EQ(ReadReport(report, 1000), 0);

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 950ms);
    EXPECT_LT(elapsed, 1500ms);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 150.0);
}

TEST_F(Hid, ReportQueuedWhileAReadWaitsEndsTheReadAtOnce) {
    std::thread rom([&] {
        std::this_thread::sleep_for(100ms);
        device_->QueueInputReport({3, 0x12, 0x34, 0x56, 0x78});
    });

    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> report;
    const int n = ReadReport(report, 3000);
    rom.join();

    EXPECT_EQ(n, 5);
    EXPECT_EQ(report, (std::vector<uint8_t>{3, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

struct WriteCase {
    const char* name;
    uint8_t reportId;
    size_t length;  // with the report ID
    bool accepted;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class HidWrite : public Hid, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(HidWrite, AcceptsOnlyDeclaredOutputReportsUpToTheirSize) {
    const WriteCase c = GetParam();
    std::vector<uint8_t> report(c.length, 0xAB);
    report[0] = c.reportId;

    const int written = hid_write(hid_, report.data(), report.size());

    if (c.accepted) {
        EXPECT_EQ(written, static_cast<int>(c.length));
        EXPECT_EQ(device_->OutputReports().size(), 1u);
    } else {
        EXPECT_EQ(written, -1);
        EXPECT_TRUE(device_->OutputReports().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(HidReports, HidWrite,
                         ::testing::Values(WriteCase{"Command", 1, 17, true},
                                           WriteCase{"CommandTooLong", 1, 18, false},
                                           WriteCase{"FullData", 2, 1025, true},
                                           WriteCase{"LastDataPiece", 2, 300, true},
                                           WriteCase{"DataTooLong", 2, 1026, false},
                                           WriteCase{"InputReportId", 3, 5, false},
                                           WriteCase{"UndeclaredId", 5, 17, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hid, UnplugFailsReadsAtOnceAndWrites) {
    std::thread rom([&] {
        std::this_thread::sleep_for(100ms);
        device_->Unplug();
    });

    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> report;
    const int n = ReadReport(report, 3000);
    rom.join();

    EXPECT_EQ(n, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    const std::vector<uint8_t> command = ErrorStatusCommand();
    EXPECT_EQ(hid_write(hid_, command.data(), command.size()), -1);
    EXPECT_FALSE(device_->IsPlugged());
    EXPECT_EQ(hid_enumerate(kImxVendorId, kImxProductId), nullptr);
    device_->Plug();  // a device that leaves does not come back
    EXPECT_FALSE(device_->IsPlugged());
}

}  // namespace
