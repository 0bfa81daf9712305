// The device library's USB transport (aUSB) against modules on the emulated USB bus: the real
// libusb code path and the kernel driver's device node, through aStream_CreateUSB and the tlusb_
// device functions.

#include "aUSB.h"

#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <mutex>
#include <numeric>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "LibusbFixture.h"
#include "aLinkRegistry.h"
#include "aPacket.h"

namespace usbtest {
namespace {

using sim::usb::kBulkInEndpoint;
using sim::usb::kBulkOutEndpoint;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t{1});
    return bytes;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A module at address 2 that speaks just enough of the wire format for a link: it answers each
// identify probe with an empty packet and returns every other packet as it came, except the
// force-route commands, whose payloads it records. Packets may span transfers.
class PacketEchoBehaviour final : public sim::usb::UsbDeviceBehaviour {
  public:
    static constexpr uint8_t kAddress = 2;

    void OnAttached(sim::usb::UsbDevicePort& port) override { port_ = &port; }

    void OnBulkOut(const uint8_t* data, size_t length) override {
        for (size_t i = 0; i < length; ++i) {
            packet_.push_back(data[i]);
            if (packet_.size() < 2 || packet_.size() < 2u + packet_[1]) continue;
            if (packet_[0] == aLINK_PROBE_ADDRESS) {
                Answer({kAddress, 0});
            } else if (packet_[0] == cmdFORCEROUTE) {
                std::lock_guard<std::mutex> lock(mutex_);
                forceRoutes_.push_back(packet_[2]);
            } else {
                Answer(packet_);
            }
            packet_.clear();
        }
    }

    // The payloads of the force-route commands received so far (1 = on, 0 = off).
    std::vector<uint8_t> ForceRoutes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return forceRoutes_;
    }

  private:
    void Answer(std::vector<uint8_t> bytes) {
        if (sim::usb::UsbDevicePort* port = port_.load()) port->QueueBulkIn(std::move(bytes));
    }

    std::atomic<sim::usb::UsbDevicePort*> port_{nullptr};
    std::vector<uint8_t> packet_;  // the packet being received; worker thread only
    mutable std::mutex mutex_;
    std::vector<uint8_t> forceRoutes_;  // guarded by mutex_
};

// Sends a three-byte packet over link `id` and expects the module to return it.
void ExpectEcho(uint32_t id, uint8_t marker) {
    const uint8_t payload[3] = {0x11, 0x22, marker};
    aPacket* sent = aPacket_CreateWithData(PacketEchoBehaviour::kAddress, 3, payload);
    ASSERT_EQ(aLink_PutPacket(id, sent), aErrNone);
    aPacket_Destroy(&sent);
    aPacket* echoed = aLink_AwaitPacket(id, 3000);
    ASSERT_NE(echoed, nullptr);
    EXPECT_EQ(echoed->dataSize, 3);
    EXPECT_EQ(echoed->data[2], marker);
    aPacket_Destroy(&echoed);
}

// An emulated bus with the library's shared libusb context. Streams opened through Open are
// destroyed at the end; then the context ends, before the bus goes, so that every test starts
// with a context that has seen only its own bus.
class UsbTransport : public ::testing::Test {
  protected:
    void TearDown() override {
        for (aStreamRef& stream : streams_) {
            if (stream) {
                EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
            }
        }
        EXPECT_EQ(TessaLine_libusb_exit(), aErrNone);
    }

    // A module with the serial string `serial`; `echo` makes it return what it receives.
    EmulatedUsbDevice& AddModule(const std::string& serial, UsbSpeed speed = UsbSpeed::Full,
                                 bool kernelNode = false, bool echo = false) {
        UsbDeviceConfig config = ModuleConfig(serial, 4, speed);
        config.kernelNode = kernelNode;
        behaviour_ = std::make_shared<EchoBehaviour>(echo);
        return bus_.AddModule(config, behaviour_);
    }

    // Opens the stream of `serialNumber`; null (and a failed expectation) when that fails.
    aStreamRef Open(uint32_t serialNumber) {
        aStreamRef stream = nullptr;
        EXPECT_EQ(aStream_CreateUSB(serialNumber, &stream), aErrNone);
        if (stream) streams_.push_back(stream);
        return stream;
    }

    static aErr Get(aStreamRef stream, uint8_t* byte) { return aStream_Read(stream, byte, 1); }

    static aErr Write(aStreamRef stream, const std::vector<uint8_t>& bytes) {
        return aStream_Write(stream, bytes.data(), bytes.size());
    }

    EmulatedUsbBus bus_;  // first: the bus must exist before libusb starts its threads
    std::shared_ptr<EchoBehaviour> behaviour_;
    std::vector<aStreamRef> streams_;
};

// --- Identification ---------------------------------------------------------------------------

struct IdentityCase {
    const char* serial;
    bool foreignVendor;
    uint16_t product;
    bool isModule;
};

TEST_F(UsbTransport, OnlyTheVendorsDevicesWithProductBit15ClearAreModules) {
    const IdentityCase cases[] = {
        {"00000001", false, 0x0004, true},   // model 4
        {"00000002", false, 0x0113, true},   // model 0x13, high byte free
        {"00000003", false, 0x8004, false},  // bit 15 set
        {"00000004", true, 0x0004, false},   // another vendor
    };
    for (const IdentityCase& c : cases) {
        UsbDeviceConfig config = ModuleConfig(c.serial, 0);
        config.productId = c.product;
        if (c.foreignVendor) config.vendorId = static_cast<uint16_t>(tlusb_vendor_id() ^ 0x0F0F);
        bus_.AddModule(config, std::make_shared<EchoBehaviour>(false));
    }
    EXPECT_EQ(tlusb_vendor_id(), sim::usb::kTessaLineVendorId);
    EXPECT_FALSE(is_tessaline_device(nullptr));

    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(TessaLine_libusb_context(), &devices);
    ASSERT_EQ(count, 4);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        ASSERT_EQ(libusb_get_device_descriptor(devices[i], &descriptor), 0);
        bool expected = false;
        for (const IdentityCase& c : cases)
            if (descriptor.idProduct == c.product &&
                (descriptor.idVendor != tlusb_vendor_id()) == c.foreignVendor)
                expected = c.isModule;
        EXPECT_EQ(is_tessaline_device(devices[i]), expected)
            << std::hex << descriptor.idVendor << ":" << descriptor.idProduct;
    }
    libusb_free_device_list(devices, 1);
}

TEST_F(UsbTransport, KernelDriverIsInstalledOnlyWhenItsNodeExistsAndIsNoFolder) {
    AddModule("1A2B3C4D", UsbSpeed::Full, /*kernelNode=*/true);
    AddModule("0000C0DE");
    ASSERT_EQ(mkdir((bus_.RootDir() + "/dev/tessaline.00000ABC").c_str(), 0755), 0) << errno;

    EXPECT_TRUE(tlusb_is_kernel_driver_installed(0x1A2B3C4D));
    EXPECT_FALSE(tlusb_is_kernel_driver_installed(0xC0DE));
    EXPECT_FALSE(tlusb_is_kernel_driver_installed(0xABC));
}

// --- Opening ----------------------------------------------------------------------------------

TEST_F(UsbTransport, OpensTheModuleWithTheSerialStringOverLibusb) {
    AddModule("0000BEEF");
    EmulatedUsbDevice& wanted = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);

    EXPECT_EQ(Write(stream, {0x10, 0x20, 0x30}), aErrNone);
    EXPECT_EQ(wanted.OutTransferSizes(), std::vector<size_t>{3});
    EXPECT_EQ(behaviour_->Received(), (std::vector<uint8_t>{0x10, 0x20, 0x30}));
}

TEST_F(UsbTransport, OpensTheKernelNodeWithoutEnumeratingUsbDevices) {
    EmulatedUsbDevice& device = AddModule("1A2B3C4D", UsbSpeed::Full, /*kernelNode=*/true);
    aStreamRef stream = Open(0x1A2B3C4D);
    ASSERT_NE(stream, nullptr);

    EXPECT_EQ(Write(stream, Pattern(150)), aErrNone);
    EXPECT_EQ(device.OutTransferSizes(), std::vector<size_t>{150});  // one whole block
    EXPECT_EQ(behaviour_->Received(), Pattern(150));
    EXPECT_EQ(device.Stats().submits, 0u);  // no serial string was read over USB
}

struct OpenFailureCase {
    const char* name;
    uint32_t serialNumber;
    void (*prepare)(EmulatedUsbDevice& device);
    aErr expected;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class OpenFailures : public UsbTransport, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailures, ReturnNoStream) {
    const OpenFailureCase c = GetParam();
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    AddModule("ABC");  // serial strings are matched whole: never "00000ABC"
    c.prepare(device);

    aStreamRef stream = reinterpret_cast<aStreamRef>(&device);  // must be cleared
    EXPECT_EQ(aStream_CreateUSB(c.serialNumber, &stream), c.expected);
    EXPECT_EQ(stream, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    UsbTransport, OpenFailures,
    ::testing::Values(
        OpenFailureCase{"serial number 0", 0, [](EmulatedUsbDevice&) {}, aErrParam},
        OpenFailureCase{"no such module", 0xC0DF, [](EmulatedUsbDevice&) {}, aErrNotFound},
        OpenFailureCase{"short serial string", 0xABC, [](EmulatedUsbDevice&) {}, aErrNotFound},
        OpenFailureCase{"interface busy", 0xC0DE, [](EmulatedUsbDevice& d) { d.SetBusy(true); },
                        aErrBusy},
        OpenFailureCase{"unplugged", 0xC0DE, [](EmulatedUsbDevice& d) { d.Unplug(); },
                        aErrNotFound}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST_F(UsbTransport, NullOutputIsRefused) {
    AddModule("0000C0DE");
    EXPECT_EQ(aStream_CreateUSB(0xC0DE, nullptr), aErrParam);
}

TEST_F(UsbTransport, ContextCannotEndWhileARecordIsOpen) {
    AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(TessaLine_libusb_exit(), aErrBusy);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    streams_.clear();
    EXPECT_EQ(TessaLine_libusb_exit(), aErrNone);
}

// --- Writing ----------------------------------------------------------------------------------

struct ChunkCase {
    UsbSpeed speed;
    size_t total;
    std::vector<size_t> expected;
};

void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.total << (c.speed == UsbSpeed::High ? " bytes, high speed" : " bytes, full speed");
}

class WriteChunks : public UsbTransport, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(WriteChunks, GoOutInPacketSizedTransfersWith512ShortenedTo511) {
    const ChunkCase c = GetParam();
    EmulatedUsbDevice& device = AddModule("0000C0DE", c.speed);
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);

    EXPECT_EQ(Write(stream, Pattern(c.total)), aErrNone);
    EXPECT_EQ(device.OutTransferSizes(), c.expected);
    EXPECT_EQ(behaviour_->Received(), Pattern(c.total));
}

INSTANTIATE_TEST_SUITE_P(UsbTransport, WriteChunks,
                         ::testing::Values(ChunkCase{UsbSpeed::Full, 150, {64, 64, 22}},
                                           ChunkCase{UsbSpeed::Full, 64, {64}},
                                           ChunkCase{UsbSpeed::Full, 1, {1}},
                                           ChunkCase{UsbSpeed::High, 1000, {511, 489}},
                                           ChunkCase{UsbSpeed::High, 512, {511, 1}},
                                           ChunkCase{UsbSpeed::High, 511, {511}}));

TEST_F(UsbTransport, StalledOutEndpointIsClearedAndTheWriteGoesThrough) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.StallEndpoint(kBulkOutEndpoint);

    EXPECT_EQ(Write(stream, Pattern(10)), aErrNone);
    EXPECT_EQ(device.Stats().clearHalts, 1u);
    EXPECT_EQ(device.OutTransferSizes(), std::vector<size_t>{10});
    EXPECT_EQ(behaviour_->Received(), Pattern(10));
}

TEST_F(UsbTransport, WriteThatKeepsFailingReportsUnsentBytesAfterTenTransfers) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.FailNextTransfers(10, EPROTO);

    EXPECT_EQ(Write(stream, Pattern(100)), aErrWrite);
    EXPECT_TRUE(device.OutTransferSizes().empty());
    // The device is not failed: the next write goes through.
    EXPECT_EQ(Write(stream, Pattern(100)), aErrNone);
    EXPECT_EQ(device.OutTransferSizes(), (std::vector<size_t>{64, 36}));
}

// --- Reading ----------------------------------------------------------------------------------

TEST_F(UsbTransport, ReadWithNothingToReadIsNotReadyAfterAboutOneSecond) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);

    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);
    EXPECT_GE(MsSince(start), 950);
    EXPECT_LE(MsSince(start), 1500);
    EXPECT_EQ(device.Stats().discards, 1u);  // the timed-out transfer was cancelled

    // The get has waited already: the reader is told to ask again at once.
    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 200), aErrTimeout);
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(UsbTransport, BytesQueuedByTheModuleComeBackInOrderFromOneTransfer) {
    EmulatedUsbDevice& device = AddModule("0000C0DE", UsbSpeed::Full, false, /*echo=*/true);
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Write(stream, Pattern(300)), aErrNone);  // echoed as five transfers
    const unsigned submitsBefore = device.Stats().submits;

    std::vector<uint8_t> got(300);
    for (uint8_t& byte : got) ASSERT_EQ(Get(stream, &byte), aErrNone);

    EXPECT_EQ(got, Pattern(300));
    EXPECT_EQ(device.Stats().submits - submitsBefore, 1u);  // one IN transfer, then the buffer
}

TEST_F(UsbTransport, WaitReportsBufferedBytesAndPacesGetsThatFailAtOnce) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.QueueBulkIn({1, 2});
    uint8_t byte = 0;
    ASSERT_EQ(Get(stream, &byte), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 200), aErrNone);  // the second byte is buffered
    ASSERT_EQ(Get(stream, &byte), aErrNone);
    EXPECT_EQ(byte, 2);

    device.FailNextTransfers(1, EPROTO);
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);  // a tolerated error, answered at once
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 40), aErrTimeout);
    EXPECT_GE(MsSince(start), 35);
}

TEST_F(UsbTransport, StalledInEndpointIsClearedAndReadingGoesOn) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.StallEndpoint(kBulkInEndpoint);

    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(device.Stats().clearHalts, 1u);

    device.QueueBulkIn({0x42});
    EXPECT_EQ(Get(stream, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
}

// --- Interrupting the reading side -----------------------------------------------------------

TEST_F(UsbTransport, InterruptEndsAWaitingGetAndLaterGetsUntilCleared) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);

    // A get blocked in its IN transfer on another thread is let go promptly.
    std::promise<void> reading;
    auto blocked = std::async(std::launch::async, [&] {
        uint8_t byte = 0;
        reading.set_value();
        return Get(stream, &byte);
    });
    reading.get_future().wait();
    ASSERT_TRUE(WaitFor([&] { return device.Stats().submits > 0; }));
    std::this_thread::sleep_for(100ms);  // the transfer is pending now
    auto start = Clock::now();
    EXPECT_EQ(aStream_Interrupt(stream, true), aErrNone);
    EXPECT_EQ(blocked.get(), aErrNotReady);
    EXPECT_LT(MsSince(start), 100);
    EXPECT_EQ(device.Stats().discards, 1u);  // the pending transfer was cancelled

    // While interrupted, gets and waits answer at once and the device is not asked.
    device.QueueBulkIn({0x42});
    const unsigned submitsBefore = device.Stats().submits;
    uint8_t byte = 0;
    start = Clock::now();
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(stream, 500), aErrTimeout);
    EXPECT_LT(MsSince(start), 100);
    EXPECT_EQ(device.Stats().submits, submitsBefore);

    // Cleared: the byte that waited at the device comes.
    EXPECT_EQ(aStream_Interrupt(stream, false), aErrNone);
    EXPECT_EQ(Get(stream, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
}

// Interrupting and resuming at once lets the one waiting get go, as not ready and not as an
// error; the gets after it ask the device again.
TEST_F(UsbTransport, InterruptResumedAtOnceLetsTheWaitingGetGoOnce) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.FailNextTransfers(4, EPROTO);
    uint8_t byte = 0;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Get(stream, &byte), aErrNotReady) << i;

    auto blocked = std::async(std::launch::async, [&] {
        uint8_t got = 0;
        return Get(stream, &got);
    });
    ASSERT_TRUE(WaitFor([&] { return device.Stats().submits >= 5; }));
    std::this_thread::sleep_for(100ms);
    auto start = Clock::now();
    ASSERT_EQ(aStream_Interrupt(stream, true), aErrNone);
    ASSERT_EQ(aStream_Interrupt(stream, false), aErrNone);
    EXPECT_EQ(blocked.get(), aErrNotReady);
    EXPECT_LT(MsSince(start), 100);

    device.QueueBulkIn({0x42});
    EXPECT_EQ(Get(stream, &byte), aErrNone);  // had the cancel counted as an error, aErrIO
    EXPECT_EQ(byte, 0x42);
}

TEST_F(UsbTransport, InterruptedGetsDoNotEndARunOfIOErrors) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.FailNextTransfers(5, EPROTO);
    uint8_t byte = 0;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(stream, &byte), aErrNotReady) << i;

    ASSERT_EQ(aStream_Interrupt(stream, true), aErrNone);
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);
    ASSERT_EQ(aStream_Interrupt(stream, false), aErrNone);
    EXPECT_EQ(Get(stream, &byte), aErrIO);  // still the fifth in a row
}

// A wait that paces gets answering at once (here the kernel node's) ends when interrupted.
TEST_F(UsbTransport, InterruptEndsAPacingWait) {
    EmulatedUsbDevice& device = AddModule("1A2B3C4D", UsbSpeed::Full, /*kernelNode=*/true);
    aStreamRef stream = Open(0x1A2B3C4D);
    ASSERT_NE(stream, nullptr);

    auto start = Clock::now();
    auto waiting =
        std::async(std::launch::async, [&] { return aStream_WaitReadable(stream, 5000); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(aStream_Interrupt(stream, true), aErrNone);
    EXPECT_EQ(waiting.get(), aErrTimeout);
    EXPECT_LT(MsSince(start), 1000);
    device.QueueBulkIn({0x42});
    uint8_t byte = 0;
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);  // the node is not read while interrupted
    EXPECT_EQ(aStream_Interrupt(stream, false), aErrNone);
    EXPECT_EQ(Get(stream, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(aStream_Interrupt(nullptr, true), aErrParam);

    // A stream without the operation has nothing to interrupt: its reads end on their own.
    aStreamRef plain = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(aStream_Interrupt(plain, true), aErrNone);
    EXPECT_EQ(aStream_Destroy(&plain), aErrNone);
}

// --- Error tolerance --------------------------------------------------------------------------

TEST_F(UsbTransport, FourIOErrorsAreHiddenAndTheFifthFailsTheDeviceForGood) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.FailNextTransfers(5, EPROTO);

    uint8_t byte = 0;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(stream, &byte), aErrNotReady) << i;
    EXPECT_EQ(Get(stream, &byte), aErrIO);

    device.QueueBulkIn({0x42});
    const unsigned submitsBefore = device.Stats().submits;
    EXPECT_EQ(Get(stream, &byte), aErrIO);
    EXPECT_EQ(Write(stream, {1, 2, 3}), aErrIO);
    EXPECT_EQ(device.Stats().submits, submitsBefore);  // a failed device is not asked again

    // Reopening brings the module back.
    ASSERT_EQ(aStream_Destroy(&streams_[0]), aErrNone);
    stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Get(stream, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(UsbTransport, OnlyErrorsInARowCount) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    uint8_t byte = 0;
    for (int round = 0; round < 3; ++round) {
        device.FailNextTransfers(4, EPROTO);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(stream, &byte), aErrNotReady) << round;
        device.QueueBulkIn({static_cast<uint8_t>(round)});
        EXPECT_EQ(Get(stream, &byte), aErrNone) << round;  // ends the run of errors
        EXPECT_EQ(byte, round);
    }
}

TEST_F(UsbTransport, UnpluggedModuleFailsOnceTheToleranceIsUsedUp) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    aStreamRef stream = Open(0xC0DE);
    ASSERT_NE(stream, nullptr);
    device.Unplug();

    // A write to a module that has gone counts as an I/O error, and never passes for success.
    EXPECT_EQ(Write(stream, Pattern(100)), aErrWrite);
    uint8_t byte = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(stream, &byte), aErrNotReady) << i;
    EXPECT_EQ(Get(stream, &byte), aErrIO);
    EXPECT_EQ(Write(stream, {1}), aErrIO);
    EXPECT_EQ(Get(stream, &byte), aErrIO);
}

// --- Kernel node ------------------------------------------------------------------------------

TEST_F(UsbTransport, KernelNodeDeliversOneBytePerReadAndNothingWaitingIsNotReady) {
    EmulatedUsbDevice& device = AddModule("1A2B3C4D", UsbSpeed::Full, /*kernelNode=*/true);
    aStreamRef stream = Open(0x1A2B3C4D);
    ASSERT_NE(stream, nullptr);
    device.QueueBulkIn({0x10, 0x20, 0x30});

    uint8_t byte = 0;
    for (uint8_t expected : {0x10, 0x20, 0x30}) {
        const size_t before = device.PendingInBytes();
        ASSERT_EQ(Get(stream, &byte), aErrNone);
        EXPECT_EQ(byte, expected);
        EXPECT_EQ(device.PendingInBytes(), before - 1);  // the node gave exactly one byte
    }
    auto start = Clock::now();
    EXPECT_EQ(Get(stream, &byte), aErrNotReady);  // the driver's "bad address"
    EXPECT_LT(MsSince(start), 200);

    // A get that answers at once is paced by the wait.
    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 40), aErrTimeout);
    EXPECT_GE(MsSince(start), 35);
}

TEST_F(UsbTransport, KernelNodeOfAnUnpluggedModuleFails) {
    EmulatedUsbDevice& device = AddModule("1A2B3C4D", UsbSpeed::Full, /*kernelNode=*/true);
    aStreamRef stream = Open(0x1A2B3C4D);
    ASSERT_NE(stream, nullptr);
    device.Unplug();

    uint8_t byte = 0;
    EXPECT_EQ(Get(stream, &byte), aErrIO);
    EXPECT_EQ(Write(stream, {1, 2}), aErrIO);
}

// --- Under the link engine -------------------------------------------------------------------

TEST_F(UsbTransport, LinkEngineRunsOverTheStreamWithoutSpinning) {
    bus_.AddModule(ModuleConfig("0000C0DE", 4), std::make_shared<PacketEchoBehaviour>());
    const aLinkUSBStreamFactory before = aLinkRegistry_SetUSBStreamFactory(aStream_CreateUSB);
    uint32_t id = aLink_CreateUSB(0xC0DE);  // opens, starts and synchronises
    ASSERT_NE(id, 0u);

    ExpectEcho(id, 0x33);

    // An idle link sleeps in the blocking read: far below one busy core.
    const double cpuBefore = ProcessCpuMs();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 300.0);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);

    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    aLinkRegistry_SetUSBStreamFactory(before);
}

// A stop lets the input thread go at once instead of waiting out its USB read, at any moment of
// the read's time-out, while another link on the same libusb context goes on undisturbed; the
// force-route-off command still reaches the module.
TEST_F(UsbTransport, LinkEngineStopsPromptlyWhileTheModuleIsSilent) {
    auto stopped = std::make_shared<PacketEchoBehaviour>();
    auto other = std::make_shared<PacketEchoBehaviour>();
    bus_.AddModule(ModuleConfig("0000C0DE", 4), stopped);
    bus_.AddModule(ModuleConfig("0000BEEF", 4), other);
    const aLinkUSBStreamFactory before = aLinkRegistry_SetUSBStreamFactory(aStream_CreateUSB);
    uint32_t otherId = aLink_CreateUSB(0xBEEF);
    ASSERT_NE(otherId, 0u);

    const std::chrono::milliseconds silences[] = {0ms, 300ms, 1100ms};
    for (std::chrono::milliseconds silence : silences) {
        SCOPED_TRACE(testing::Message() << "silent for " << silence.count() << " ms");
        uint32_t id = aLink_CreateUSB(0xC0DE);
        ASSERT_NE(id, 0u);
        std::this_thread::sleep_for(silence);

        const auto start = Clock::now();
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        EXPECT_LT(MsSince(start), 250);
        ASSERT_FALSE(stopped->ForceRoutes().empty());
        EXPECT_EQ(stopped->ForceRoutes().back(), 0);

        ExpectEcho(otherId, static_cast<uint8_t>(silence.count()));
    }
    EXPECT_EQ(aLink_Destroy(&otherId), aErrNone);
    ASSERT_FALSE(other->ForceRoutes().empty());
    EXPECT_EQ(other->ForceRoutes().front(), 1);
    EXPECT_EQ(other->ForceRoutes().back(), 0);
    aLinkRegistry_SetUSBStreamFactory(before);
}

// --- Device records ---------------------------------------------------------------------------

TEST_F(UsbTransport, RecordStatesAndMisuse) {
    AddModule("0000C0DE");
    EXPECT_EQ(tlusb_create_usb(2), nullptr);
    EXPECT_EQ(tlusb_destroy(nullptr), aErrParam);
    EXPECT_EQ(tlusb_get_state(nullptr), TLUSB_STATE_INVALID);
    EXPECT_EQ(tlusb_interrupt_reads(nullptr, true), aErrParam);

    tlusbRef usb = tlusb_create_usb(TLUSB_PATH_LIBUSB);
    ASSERT_NE(usb, nullptr);
    const uint8_t data[1] = {7};
    uint8_t byte = 0;
    EXPECT_EQ(tlusb_get_state(usb), TLUSB_STATE_CREATED);
    EXPECT_EQ(tlusb_write_to_device(usb, data, 1), aErrNotReady);
    EXPECT_EQ(tlusb_close_tessaline_device(usb), aErrMode);  // nothing open
    EXPECT_EQ(tlusb_open_tessaline_device(usb, "0000C0DE0"), aErrParam);
    EXPECT_EQ(tlusb_open_tessaline_device(usb, nullptr), aErrParam);

    ASSERT_EQ(tlusb_open_tessaline_device(usb, "0000C0DE"), aErrNone);
    EXPECT_EQ(tlusb_get_state(usb), TLUSB_STATE_READY);
    EXPECT_EQ(tlusb_write_to_device(usb, nullptr, 1), aErrParam);
    EXPECT_EQ(tlusb_get_from_device(usb, nullptr), aErrParam);
    ASSERT_EQ(tlusb_close_tessaline_device(usb), aErrNone);
    EXPECT_EQ(tlusb_get_state(usb), TLUSB_STATE_CLOSED);
    EXPECT_EQ(tlusb_write_to_device(usb, data, 1), aErrConnection);
    EXPECT_EQ(tlusb_get_from_device(usb, &byte), aErrConnection);
    EXPECT_EQ(tlusb_open_tessaline_device(usb, "0000C0DF"), aErrNotFound);
    EXPECT_EQ(tlusb_get_state(usb), TLUSB_STATE_CLOSED);
    EXPECT_EQ(tlusb_destroy(&usb), aErrNone);
    EXPECT_EQ(usb, nullptr);

    tlusbRef kernel = tlusb_create_usb(TLUSB_PATH_KERNEL);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(tlusb_write_to_device(kernel, data, 1), aErrMode);  // no node open
    EXPECT_EQ(tlusb_get_from_device(kernel, &byte), aErrMode);
    EXPECT_EQ(tlusb_open_tessaline_device(kernel, "0000C0DE"), aErrIO);  // no such node
    EXPECT_EQ(tlusb_close_tessaline_device(kernel), aErrNone);
    EXPECT_EQ(tlusb_destroy(&kernel), aErrNone);
}

TEST_F(UsbTransport, RecordCanBeReopenedWhileOpen) {
    EmulatedUsbDevice& device = AddModule("0000C0DE");
    tlusbRef usb = tlusb_create_usb(TLUSB_PATH_LIBUSB);
    ASSERT_NE(usb, nullptr);
    ASSERT_EQ(tlusb_open_tessaline_device(usb, "0000C0DE"), aErrNone);
    // The first handle is closed before the second claims the interface.
    ASSERT_EQ(tlusb_open_tessaline_device(usb, "0000C0DE"), aErrNone);
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(tlusb_write_to_device(usb, data, 2), aErrNone);
    EXPECT_EQ(device.OutTransferSizes(), std::vector<size_t>{2});
    EXPECT_EQ(tlusb_destroy(&usb), aErrNone);
}

}  // namespace
}  // namespace usbtest
