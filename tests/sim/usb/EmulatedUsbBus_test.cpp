// The emulated bus seen through the real libusb: enumeration, descriptors, claims, unplug and
// re-plug.

#include "EmulatedUsbBus.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <ostream>
#include <stdexcept>

#include "LibusbFixture.h"

namespace usbtest {
namespace {

using sim::usb::kBulkInEndpoint;
using sim::usb::kBulkOutEndpoint;
using sim::usb::kTessaLineVendorId;

class Bus : public LibusbFixture {};

TEST_F(Bus, ListsEveryModuleWithItsIdsAndSerialString) {
    AddEchoModule("1A2B3C4D", 4);
    AddEchoModule("0000ABCD", 13, UsbSpeed::High);

    std::vector<Listed> listed = List();

    ASSERT_EQ(listed.size(), 2u);
    std::sort(listed.begin(), listed.end(),
              [](const Listed& a, const Listed& b) { return a.product < b.product; });
    EXPECT_EQ(listed[0].vendor, kTessaLineVendorId);
    EXPECT_EQ(listed[0].product, 0x0004);
    EXPECT_EQ(listed[0].serial, "1A2B3C4D");
    EXPECT_EQ(listed[1].vendor, kTessaLineVendorId);
    EXPECT_EQ(listed[1].product, 0x000D);
    EXPECT_EQ(listed[1].serial, "0000ABCD");
    EXPECT_NE(listed[0].address, listed[1].address);
}

struct SpeedCase {
    UsbSpeed speed;
    int libusbSpeed;
    uint16_t packetSize;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << (c.speed == UsbSpeed::High ? "high" : "full");
}

class BusSpeed : public Bus, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(BusSpeed, DescribesTheLinkInterfaceWithPacketSizesOfItsSpeed) {
    const SpeedCase c = GetParam();
    AddEchoModule("00000001", 4, c.speed);
    libusb_device_handle* handle = Open("00000001");
    ASSERT_NE(handle, nullptr);
    libusb_device* device = libusb_get_device(handle);

    EXPECT_EQ(libusb_get_device_speed(device), c.libusbSpeed);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(device, 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    ASSERT_EQ(config->interface[0].num_altsetting, 1);
    const libusb_interface_descriptor& link = config->interface[0].altsetting[0];
    EXPECT_EQ(link.bInterfaceClass, 0xFF);
    EXPECT_EQ(link.bInterfaceSubClass, 0x88);
    EXPECT_EQ(link.bInterfaceProtocol, 0x10);
    ASSERT_EQ(link.bNumEndpoints, 2);
    EXPECT_EQ(link.endpoint[0].bEndpointAddress, kBulkOutEndpoint);
    EXPECT_EQ(link.endpoint[1].bEndpointAddress, kBulkInEndpoint);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(link.endpoint[i].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
        EXPECT_EQ(link.endpoint[i].wMaxPacketSize, c.packetSize);
    }
    libusb_free_config_descriptor(config);
}

INSTANTIATE_TEST_SUITE_P(UsbSpeeds, BusSpeed,
                         ::testing::Values(SpeedCase{UsbSpeed::Full, LIBUSB_SPEED_FULL, 64},
                                           SpeedCase{UsbSpeed::High, LIBUSB_SPEED_HIGH, 512}));

TEST_F(Bus, BusyModuleRefusesTheClaimAndLaterAcceptsIt) {
    EmulatedUsbDevice& device = AddEchoModule("00000002", 4);
    device.SetBusy(true);
    libusb_device_handle* handle = Open("00000002");
    ASSERT_NE(handle, nullptr);

    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
    // usbfs refuses the transfer (EBUSY), which libusb reports as an I/O error.
    std::vector<uint8_t> data(4, 0x55);
    int transferred = 0;
    EXPECT_EQ(Bulk(handle, kBulkOutEndpoint, data, transferred, 100), LIBUSB_ERROR_IO);
    EXPECT_TRUE(echo_->Received().empty());

    device.SetBusy(false);
    EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
}

TEST_F(Bus, SecondClientCannotClaimAnInterfaceTheFirstHolds) {
    AddEchoModule("00000003", 4);
    libusb_device_handle* first = OpenClaimed("00000003");
    libusb_device_handle* second = Open("00000003");
    ASSERT_NE(second, nullptr);

    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(first, 0), 0);
    EXPECT_EQ(libusb_claim_interface(second, 0), 0);
}

TEST_F(Bus, ClosingTheClaimingClientFreesTheInterface) {
    AddEchoModule("00000004", 4);
    Close(OpenClaimed("00000004"));
    libusb_device_handle* next = Open("00000004");
    ASSERT_NE(next, nullptr);

    EXPECT_TRUE(WaitFor([&] { return libusb_claim_interface(next, 0) == 0; }));
}

TEST_F(Bus, ClaimOfAnInterfaceTheDeviceLacksIsNotFound) {
    AddEchoModule("00000005", 4);
    libusb_device_handle* handle = Open("00000005");
    ASSERT_NE(handle, nullptr);

    EXPECT_EQ(libusb_claim_interface(handle, 1), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(Bus, UnplugEndsTransfersInFlightAndLaterOnesWithNoDevice) {
    EmulatedUsbDevice& device = AddEchoModule("00000006", 4);
    libusb_device_handle* handle = OpenClaimed("00000006");
    ASSERT_NE(handle, nullptr);
    std::thread unplug([&] {
        std::this_thread::sleep_for(200ms);
        device.Unplug();
    });

    std::vector<uint8_t> in(64);
    int transferred = 0;
    const int inFlight = Bulk(handle, kBulkInEndpoint, in, transferred, 3000);
    unplug.join();
    std::vector<uint8_t> out(8, 1);
    const int after = Bulk(handle, kBulkOutEndpoint, out, transferred, 100);

    EXPECT_EQ(inFlight, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(after, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(device.IsPlugged());
    EXPECT_TRUE(WaitFor([&] { return ListedAddress("00000006") == 0; }));
}

TEST_F(Bus, ReplugAppearsAtANewAddressAndWorks) {
    EmulatedUsbDevice& device = AddEchoModule("00000007", 4);
    const uint8_t before = device.Address();
    ASSERT_EQ(ListedAddress("00000007"), before);

    device.Unplug();
    ASSERT_TRUE(WaitFor([&] { return ListedAddress("00000007") == 0; }));
    device.Plug();

    EXPECT_NE(device.Address(), before);
    ASSERT_TRUE(WaitFor([&] { return ListedAddress("00000007") == device.Address(); }));
    libusb_device_handle* handle = OpenClaimed("00000007");
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> out{1, 2, 3};
    int transferred = 0;
    EXPECT_EQ(Bulk(handle, kBulkOutEndpoint, out, transferred, 500), 0);
    EXPECT_EQ(echo_->Received(), out);
}

TEST_F(Bus, RestartAskedByTheBehaviourLeavesAndReturnsAtANewAddress) {
    EmulatedUsbDevice& device = AddEchoModule("00000008", 4);
    const uint8_t before = device.Address();

    static_cast<sim::usb::UsbDevicePort&>(device).Restart(300ms);

    EXPECT_TRUE(WaitFor([&] { return !device.IsPlugged(); }));
    EXPECT_TRUE(WaitFor([&] { return device.IsPlugged(); }));
    EXPECT_NE(device.Address(), before);
    EXPECT_TRUE(WaitFor([&] { return ListedAddress("00000008") == device.Address(); }));
}

TEST_F(Bus, RefusesConfigurationsItCannotCarry) {
    UsbDeviceConfig withSpace = ModuleConfig("12 34", 4);
    UsbDeviceConfig nodeWithText = ModuleConfig("MODULE-1", 4);
    nodeWithText.kernelNode = true;

    EXPECT_THROW(bus_.AddModule(withSpace, std::make_shared<EchoBehaviour>()),
                 std::invalid_argument);
    EXPECT_THROW(bus_.AddModule(nodeWithText, std::make_shared<EchoBehaviour>()),
                 std::invalid_argument);
    EXPECT_THROW(bus_.AddModule(ModuleConfig("1", 4), nullptr), std::invalid_argument);
}

TEST(BusAddresses, AreReusedOnlyAfterRelease) {
    EmulatedUsbBus bus;
    std::vector<uint8_t> taken;
    for (int i = 0; i < 126; ++i) taken.push_back(bus.AllocateAddress(1));
    std::sort(taken.begin(), taken.end());

    EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end());
    EXPECT_EQ(taken.front(), 2);
    EXPECT_EQ(taken.back(), 127);
    EXPECT_THROW(bus.AllocateAddress(1), std::runtime_error);
    bus.ReleaseAddress(1, 40);
    EXPECT_EQ(bus.AllocateAddress(1), 40);
}

}  // namespace
}  // namespace usbtest
