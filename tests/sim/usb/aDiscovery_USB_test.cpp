// USB discovery (aDiscovery with link type USB) against modules on the emulated USB bus: the real
// libusb path through the library's shared context.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LibusbFixture.h"
#include "aDiscovery.h"
#include "aUSB.h"

namespace usbtest {
namespace {

const uint32_t kLocalInterface = htonl(INADDR_LOOPBACK);

// Records every offer; accepts when told to and asks to stop after `stopAfter` offers (0: never).
struct Recorder {
    bool accept = true;
    size_t stopAfter = 0;
    std::vector<linkSpec> offers;

    static bool Callback(const linkSpec* spec, bool* success, void* ref) {
        auto* self = static_cast<Recorder*>(ref);
        self->offers.push_back(*spec);
        *success = self->accept;
        return self->stopAfter == 0 || self->offers.size() < self->stopAfter;
    }

    std::vector<uint32_t> Serials() const {
        std::vector<uint32_t> serials;
        for (const linkSpec& s : offers) serials.push_back(s.serialNumber);
        std::sort(serials.begin(), serials.end());
        return serials;
    }
};

// An emulated bus and the library's shared libusb context, ended before the bus goes.
class UsbDiscovery : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(TessaLine_libusb_exit(), aErrNone); }

    EmulatedUsbDevice& Add(const std::string& serial, uint16_t product = 4,
                           bool foreignVendor = false) {
        UsbDeviceConfig config = ModuleConfig(serial, 0);
        config.productId = product;
        if (foreignVendor) config.vendorId = static_cast<uint16_t>(tlusb_vendor_id() ^ 0x0F0F);
        return bus_.AddModule(config, std::make_shared<EchoBehaviour>(false));
    }

    uint8_t Enumerate(Recorder& recorder) {
        return aDiscovery_EnumerateModules(USB, Recorder::Callback, &recorder, kLocalInterface);
    }

    EmulatedUsbBus bus_;  // first: the bus must exist before libusb starts its threads
};

TEST_F(UsbDiscovery, OffersFamilyModulesWithAnEightDigitHexSerialOnly) {
    struct Case {
        const char* serial;
        uint16_t product;
        bool foreignVendor;
        bool offered;
    };
    const Case cases[] = {
        {"0A1B2C3D", 0x0113, false, true},    // model 0x13
        {"0000ABCD", 0x0004, false, true},    // leading zeros are part of the eight digits
        {"1a2b3c4e", 0x0004, false, true},    // lower-case hex reads the same
        {"ABCDEF1", 0x0004, false, false},    // 7 characters
        {"ABCDEF123", 0x0004, false, false},  // 9 characters
        {"ABCDEFGH", 0x0004, false, false},   // not hexadecimal
        {"0B1B2C3D", 0x8004, false, false},   // product bit 15: not a module
        {"0C1B2C3D", 0x0004, true, false},    // another vendor
    };
    for (const Case& c : cases) Add(c.serial, c.product, c.foreignVendor);
    Recorder recorder;

    EXPECT_EQ(Enumerate(recorder), 3);

    EXPECT_EQ(recorder.Serials(), (std::vector<uint32_t>{0x0000ABCD, 0x0A1B2C3D, 0x1A2B3C4E}));
    for (const linkSpec& spec : recorder.offers) {
        linkSpec want{};
        want.type = USB;
        want.serialNumber = spec.serialNumber;
        want.model = spec.serialNumber == 0x0A1B2C3D ? 0x13 : 4;
        want.t.usb.usbId = spec.serialNumber;
        EXPECT_EQ(memcmp(&spec, &want, sizeof(linkSpec)), 0) << std::hex << spec.serialNumber;
    }
}

TEST_F(UsbDiscovery, AModuleHeldByAnotherProgramIsStillOffered) {
    Add("1A2B3C4D").SetBusy(true);  // its interface can't be claimed; its strings can be read
    Recorder recorder;

    EXPECT_EQ(Enumerate(recorder), 1);
    EXPECT_EQ(recorder.Serials(), (std::vector<uint32_t>{0x1A2B3C4D}));
}

TEST_F(UsbDiscovery, CountFollowsTheCallbackAndAStopEndsTheWalk) {
    Add("11111111");
    Add("22222222");
    Add("33333333");
    struct Case {
        bool accept;
        size_t stopAfter;
        size_t offers;
        uint8_t count;
    };
    const Case cases[] = {{true, 0, 3, 3}, {false, 0, 3, 0}, {true, 1, 1, 1}, {false, 2, 2, 0}};
    for (const Case& c : cases) {
        Recorder recorder;
        recorder.accept = c.accept;
        recorder.stopAfter = c.stopAfter;
        EXPECT_EQ(Enumerate(recorder), c.count) << c.accept << " " << c.stopAfter;
        EXPECT_EQ(recorder.offers.size(), c.offers) << c.accept << " " << c.stopAfter;
    }
}

TEST_F(UsbDiscovery, SearchesFindByTheSerialNumberAndPassOverSerialZero) {
    Add("00000000", 7);
    Add("0000ABCD", 13);
    Add("1A2B3C4D", 4);

    linkSpec* found = aDiscovery_FindModule(USB, 0x1A2B3C4D, kLocalInterface);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, USB);
    EXPECT_EQ(found->serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(found->model, 4u);
    EXPECT_EQ(found->t.usb.usbId, 0x1A2B3C4Du);
    EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);

    linkSpec* first = aDiscovery_FindFirstModule(USB, kLocalInterface);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first->serialNumber, 0u);
    EXPECT_EQ(aLinkSpec_Destroy(&first), aErrNone);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x0000ABCE, kLocalInterface), nullptr);
}

TEST_F(UsbDiscovery, SerialZeroIsOfferedButNeverTheFirstModule) {
    Add("00000000");
    Recorder recorder;

    EXPECT_EQ(Enumerate(recorder), 1);
    EXPECT_EQ(recorder.Serials(), (std::vector<uint32_t>{0}));
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, kLocalInterface), nullptr);
}

TEST_F(UsbDiscovery, AnEmptyBusFindsNothing) {
    Recorder recorder;
    EXPECT_EQ(Enumerate(recorder), 0);
    EXPECT_TRUE(recorder.offers.empty());
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, kLocalInterface), nullptr);
}

}  // namespace
}  // namespace usbtest
