// The I2C entity against a simulated routing module and its bus, and against replies of the
// wrong shape.

#include "I2CClass.h"

#include <gtest/gtest.h>

#include <memory>

#include "Module.h"
#include "ObjectApiTestSupport.h"

namespace {

using namespace objtest;
using Quillmet::TessaLine::I2CClass;
using Quillmet::TessaLine::Module;

constexpr uint32_t kSerial = 0x012C0008;

// A routing module (address 2) with sub-modules at 4 and 6 on its bus, reached as a USB module.
class I2CTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimModuleConfig config;
        config.serialNumber = kSerial;
        network = std::make_unique<SimRoutedNetwork>(config);
        for (uint8_t address : {4, 6}) {
            SimModuleConfig sub;
            sub.address = address;
            ASSERT_NE(network->AddSubModule(sub), nullptr);
        }
        bus.Plug(network->Router().module);
        router = std::make_unique<Module>(2, false, 0);
        ASSERT_EQ(router->setConfig(Direct()), aErrNone);
        ASSERT_EQ(router->connectFromSpec(UsbSpec(kSerial)), aErrNone);
        i2c.init(router.get(), 0);
    }

    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    std::unique_ptr<SimRoutedNetwork> network;
    std::unique_ptr<Module> router;
    I2CClass i2c;
};

TEST_F(I2CTest, ProbesFindExactlyTheSubModules) {
    ASSERT_EQ(i2c.setSpeed(3), aErrNone);
    const uint8_t probe[] = {0, 0};
    std::vector<uint8_t> found;
    for (uint8_t address = 2; address <= 12; address += 2) {
        const aErr err = i2c.write(address, sizeof probe, probe);
        if (err == aErrNone) {
            found.push_back(address);
        } else {
            EXPECT_EQ(err, aErrNotFound) << int(address);
        }
    }
    EXPECT_EQ(found, (std::vector<uint8_t>{4, 6}));
    EXPECT_EQ(network->Bus().LastSpeed(), std::optional<uint8_t>(3));
}

TEST_F(I2CTest, WrittenBytesReadBack) {
    const uint8_t data[] = {0xDE, 0xAD, 0xBE};
    ASSERT_EQ(i2c.write(6, sizeof data, data), aErrNone);
    uint8_t read[5] = {0x55, 0x55, 0x55, 0x55, 0x55};
    ASSERT_EQ(i2c.read(6, 4, read), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(read, read + 5),
              (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0x00, 0x55}));
    EXPECT_EQ(i2c.read(8, 1, read), aErrNotFound);
}

TEST_F(I2CTest, TransfersOf23BytesAtMost) {
    uint8_t data[24] = {};
    EXPECT_EQ(i2c.write(4, 23, data), aErrNone);
    EXPECT_EQ(i2c.read(4, 23, data), aErrNone);
    EXPECT_EQ(i2c.write(4, 24, data), aErrSize);
    EXPECT_EQ(i2c.read(4, 24, data), aErrSize);
    EXPECT_EQ(i2c.write(4, 1, nullptr), aErrParam);
    EXPECT_EQ(i2c.read(4, 1, nullptr), aErrParam);
}

TEST_F(I2CTest, PullupAndSpeed) {
    ASSERT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_EQ(network->Bus().Pullup(), std::optional<bool>(true));
    ASSERT_EQ(i2c.setPullup(false), aErrNone);
    EXPECT_EQ(network->Bus().Pullup(), std::optional<bool>(false));

    uint8_t speed = 9;
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    ASSERT_EQ(i2c.setSpeed(2), aErrNone);
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 2);
    EXPECT_EQ(i2c.getSpeed(nullptr), aErrParam);
    i2c.init(router.get(), 0);
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
}

TEST_F(I2CTest, OtherIndexIsRefusedByTheModule) {
    I2CClass second;
    second.init(router.get(), 1);
    const uint8_t probe[] = {0, 0};
    EXPECT_EQ(second.write(4, 2, probe), aErrInvalidEntity);
}

TEST(I2CWithoutModule, NeedsTheModule) {
    I2CClass i2c;
    uint8_t data[1] = {};
    EXPECT_EQ(i2c.read(4, 1, data), aErrResource);
    EXPECT_EQ(i2c.write(4, 1, data), aErrResource);
    EXPECT_EQ(i2c.setPullup(true), aErrResource);
}

// Replies of the wrong shape from a module whose I2C entity is broken.
TEST(I2CMalformedReplies, AreRefusedWithoutReadingPastThem) {
    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    SimModuleConfig config;
    config.serialNumber = kSerial;
    auto module = std::make_shared<SimModule>(config);
    // Reads of address 4 announce 8 bytes but carry 2; everything else gets 4-byte replies.
    module->SetRequestHandler(8, [](SimModule& m, const SimPacket& packet) {
        SimPacket reply{packet.address, {packet.payload.begin(), packet.payload.begin() + 3}};
        if (packet.payload[2] == 5) {
            reply.payload.insert(reply.payload.end(), {8, 0, 1, 2});
        } else {
            reply.payload.push_back(0);
        }
        m.Send(reply);
    });
    bus.Plug(module);
    Module router(2, false, 0);
    router.setConfig(Direct());
    ASSERT_EQ(router.connectFromSpec(UsbSpec(kSerial)), aErrNone);
    I2CClass i2c;
    i2c.init(&router, 0);
    uint8_t data[8] = {};
    EXPECT_EQ(i2c.read(4, 8, data), aErrPacket);
    EXPECT_EQ(i2c.read(6, 1, data), aErrPacket);
    EXPECT_EQ(i2c.write(6, 1, data), aErrPacket);
    EXPECT_EQ(i2c.setPullup(true), aErrPacket);
}

}  // namespace
