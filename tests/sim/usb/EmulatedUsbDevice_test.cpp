// Transfers with an emulated module through the real libusb: bulk OUT and IN, time-outs without
// spinning, stalls and injected errors.

#include "EmulatedUsbDevice.h"

#include <gtest/gtest.h>
#include <libusb.h>
#include <time.h>

#include <cerrno>
#include <numeric>
#include <ostream>
#include <thread>

#include "LibusbFixture.h"

namespace usbtest {
namespace {

using sim::usb::kBulkInEndpoint;
using sim::usb::kBulkOutEndpoint;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t{1});
    return bytes;
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

class Transfers : public LibusbFixture {
  protected:
    // A claimed module "0000C0DE" of model 4; `echo` selects whether it answers.
    libusb_device_handle* Module(bool echo, UsbSpeed speed = UsbSpeed::Full) {
        device_ = &AddEchoModule("0000C0DE", 4, speed, echo);
        return OpenClaimed("0000C0DE");
    }

    // Reads once from the IN endpoint into a 1024-byte buffer; the bytes read go to `into`.
    int Read(libusb_device_handle* handle, std::vector<uint8_t>& into, unsigned timeoutMs,
             size_t bufferSize = 1024) {
        std::vector<uint8_t> buffer(bufferSize);
        int transferred = 0;
        int result = Bulk(handle, kBulkInEndpoint, buffer, transferred, timeoutMs);
        into.assign(buffer.begin(), buffer.begin() + transferred);
        return result;
    }

    int Write(libusb_device_handle* handle, std::vector<uint8_t> bytes, unsigned timeoutMs = 500) {
        int transferred = 0;
        return Bulk(handle, kBulkOutEndpoint, bytes, transferred, timeoutMs);
    }

    EmulatedUsbDevice* device_ = nullptr;
};

struct ChunkCase {
    UsbSpeed speed;
    size_t total;
    std::vector<size_t> expected;
};

void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.total << " bytes";
}

class OutChunks : public Transfers, public ::testing::WithParamInterface<ChunkCase> {};

// The device records each transfer as the host submitted it, so a writer that cuts its data into
// packet-sized chunks (a 512-byte chunk shortened to 511) can be checked.
TEST_P(OutChunks, EachTransferArrivesWithItsSizeAndTheBytesInOrder) {
    const ChunkCase c = GetParam();
    libusb_device_handle* handle = Module(false, c.speed);
    ASSERT_NE(handle, nullptr);
    const int packet = libusb_get_max_packet_size(libusb_get_device(handle), kBulkOutEndpoint);
    const size_t chunk = packet == 512 ? 511 : static_cast<size_t>(packet);
    const std::vector<uint8_t> data = Pattern(c.total);

    for (size_t at = 0; at < data.size(); at += chunk) {
        std::vector<uint8_t> piece(
            data.begin() + static_cast<std::ptrdiff_t>(at),
            data.begin() + static_cast<std::ptrdiff_t>(std::min(at + chunk, data.size())));
        int transferred = 0;
        ASSERT_EQ(Bulk(handle, kBulkOutEndpoint, piece, transferred, 50), 0);
        EXPECT_EQ(static_cast<size_t>(transferred), piece.size());
    }

    EXPECT_EQ(device_->OutTransferSizes(), c.expected);
    EXPECT_EQ(echo_->Received(), data);
}

INSTANTIATE_TEST_SUITE_P(UsbSpeeds, OutChunks,
                         ::testing::Values(ChunkCase{UsbSpeed::Full, 150, {64, 64, 22}},
                                           ChunkCase{UsbSpeed::High, 1000, {511, 489}}));

TEST_F(Transfers, EchoedBytesComeBackOnTheInEndpoint) {
    libusb_device_handle* handle = Module(true);
    ASSERT_NE(handle, nullptr);
    const std::vector<uint8_t> sent = Pattern(40);

    ASSERT_EQ(Write(handle, sent), 0);
    std::vector<uint8_t> got;
    EXPECT_EQ(Read(handle, got, 1000), 0);
    EXPECT_EQ(got, sent);
}

TEST_F(Transfers, DataQueuedWhileAReadWaitsEndsTheReadAtOnce) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    std::thread device([&] {
        std::this_thread::sleep_for(100ms);
        device_->QueueBulkIn({0xA1, 0xA2, 0xA3});
    });

    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> got;
    const int result = Read(handle, got, 3000);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    device.join();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(got, (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
    EXPECT_LT(elapsed, 1000ms);
}

TEST_F(Transfers, MoreDataThanTheBufferIsDeliveredOverSeveralReadsInOrder) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    const std::vector<uint8_t> queued = Pattern(100);
    device_->QueueBulkIn(queued);

    std::vector<uint8_t> first, second;
    ASSERT_EQ(Read(handle, first, 500, 64), 0);
    ASSERT_EQ(Read(handle, second, 500, 64), 0);

    EXPECT_EQ(first.size(), 64u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, queued);
    EXPECT_EQ(device_->PendingInBytes(), 0u);
}

TEST_F(Transfers, ReadWithNothingToReadTimesOutOnTimeWithoutSpinning) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    const unsigned reapsBefore = device_->Stats().reaps;
    const double cpuBefore = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();

    std::vector<uint8_t> got;
    const int result = Read(handle, got, 1000);

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(got.empty());
    EXPECT_GE(elapsed, 950ms);
    EXPECT_LT(elapsed, 1500ms);
    // A spinning host reaps thousands of times and burns most of a core in that second.
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 150.0);
    EXPECT_LT(device_->Stats().reaps - reapsBefore, 100u);
    EXPECT_EQ(device_->Stats().discards, 1u);
}

TEST_F(Transfers, DataArrivingAfterATimeOutWaitsForTheNextRead) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> got;
    ASSERT_EQ(Read(handle, got, 100), LIBUSB_ERROR_TIMEOUT);

    device_->QueueBulkIn({7, 8, 9});

    EXPECT_EQ(Read(handle, got, 500), 0);
    EXPECT_EQ(got, (std::vector<uint8_t>{7, 8, 9}));
}

struct StallCase {
    const char* name;
    uint8_t endpoint;
};

void PrintTo(const StallCase& c, std::ostream* os) {
    *os << c.name;
}

class Stall : public Transfers, public ::testing::WithParamInterface<StallCase> {
  protected:
    int Transfer(libusb_device_handle* handle) {
        std::vector<uint8_t> got;
        return GetParam().endpoint == kBulkInEndpoint ? Read(handle, got, 300)
                                                      : Write(handle, {1, 2});
    }
};

TEST_P(Stall, EndpointFailsWithPipeUntilTheHaltIsCleared) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    device_->StallEndpoint(GetParam().endpoint);

    EXPECT_EQ(Transfer(handle), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(Transfer(handle), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(handle, GetParam().endpoint), 0);
    device_->QueueBulkIn({5});

    EXPECT_EQ(Transfer(handle), 0);
    EXPECT_EQ(device_->Stats().clearHalts, 1u);
}

INSTANTIATE_TEST_SUITE_P(UsbEndpoints, Stall,
                         ::testing::Values(StallCase{"In", kBulkInEndpoint},
                                           StallCase{"Out", kBulkOutEndpoint}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transfers, StallEndsAWaitingReadAtOnce) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    std::thread device([&] {
        std::this_thread::sleep_for(100ms);
        device_->StallEndpoint(kBulkInEndpoint);
    });

    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> got;
    const int result = Read(handle, got, 3000);
    device.join();

    EXPECT_EQ(result, LIBUSB_ERROR_PIPE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

TEST_F(Transfers, InjectedErrorsFailTheNextTransfersOnlyAndLoseTheirData) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    device_->QueueBulkIn({1, 2, 3});
    device_->FailNextTransfers(2, EPROTO);

    std::vector<uint8_t> got;
    EXPECT_EQ(Write(handle, {0xEE}), LIBUSB_ERROR_IO);
    EXPECT_EQ(Read(handle, got, 300), LIBUSB_ERROR_IO);
    EXPECT_EQ(Write(handle, {0x11}), 0);
    EXPECT_EQ(Read(handle, got, 300), 0);

    EXPECT_EQ(echo_->Received(), (std::vector<uint8_t>{0x11}));
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(Transfers, InjectedErrorEndsAWaitingReadAtOnce) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    std::thread device([&] {
        std::this_thread::sleep_for(100ms);
        device_->FailNextTransfers(1, EPROTO);
    });

    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> got;
    const int result = Read(handle, got, 3000);
    device.join();

    EXPECT_EQ(result, LIBUSB_ERROR_IO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(Write(handle, {1}), 0);
}

TEST_F(Transfers, UnsupportedControlRequestStalls) {
    libusb_device_handle* handle = Module(false);
    ASSERT_NE(handle, nullptr);
    unsigned char buffer[16];

    // A vendor request the module does not know.
    EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 0x42, 0, 0, buffer, sizeof(buffer), 200),
              LIBUSB_ERROR_PIPE);
    // A string index the device has no string for.
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 9, buffer, sizeof(buffer)),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 3, buffer, sizeof(buffer)), 8);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer), "0000C0DE");
}

}  // namespace
}  // namespace usbtest
