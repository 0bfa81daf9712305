// EntityClass against a simulated module: typed get and set exchanges with and without a
// sub-index, module refusals, byte-array gets and sets, unsolicited values and draining.

#include "EntityClass.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "Module.h"
#include "ObjectApiTestSupport.h"
#include "SystemClass.h"

namespace {

using namespace objtest;
using Quillmet::TessaLine::EntityClass;
using Quillmet::TessaLine::Module;

constexpr uint32_t kSerial = 0x00E17171;
constexpr uint8_t kCommand = 0x30;
constexpr uint8_t kIndex = 1;

// A module at address 2 with the standard handlers and an entity of command 0x30, index 1, whose
// options answer a get as follows: 1 a byte, 2 a short, 3 an int, 4 no value, 5 a refusal
// (aErrInvalidOption); a set of any option is echoed with its value, except option 5 (refused).
class EntityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimModuleConfig config;
        config.serialNumber = kSerial;
        device = MakeSimDevice(config);
        device.module->SetRequestHandler(kCommand, &EntityTest::Answer);
        bus.Plug(device.module);
        module = std::make_unique<Module>(2, false, 0);
        ASSERT_EQ(module->setConfig(Direct()), aErrNone);
        ASSERT_EQ(module->connectFromSpec(UsbSpec(kSerial)), aErrNone);
        entity.init(module.get(), kCommand, kIndex);
        device.module->ClearReceived();
    }

    static void Answer(SimModule& m, const SimPacket& request) {
        const uint8_t option = request.payload[1] & 0x3F;
        const bool set = request.payload[1] & 0x80;
        const uint8_t index = request.payload[2] & 0x1F;
        SimPacket reply{request.address,
                        {kCommand, static_cast<uint8_t>(set ? option | 0xC0 : option), index}};
        if (option == 5) {
            reply.payload[2] |= 0x80;
            reply.payload.push_back(aErrInvalidOption);
        } else if (set) {
            reply.payload.insert(reply.payload.end(), request.payload.begin() + 3,
                                 request.payload.end());
        } else if (option == 1) {
            reply.payload.push_back(0x7F);
        } else if (option == 2) {
            reply.payload.insert(reply.payload.end(), {0x12, 0x34});
        } else if (option == 3) {
            reply.payload.insert(reply.payload.end(), {0x80, 0x00, 0x00, 0x01});
        }
        m.Send(reply);
    }

    // The last request the module received, as wire text.
    std::string LastRequest() {
        EXPECT_TRUE(device.module->WaitIdle(5s));
        std::vector<SimPacket> requests = Requests(*device.module);
        return requests.empty() ? "" : ToString(requests.back());
    }

    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    SimDevice device;
    std::unique_ptr<Module> module;
    EntityClass entity;
};

TEST_F(EntityTest, TypedGetsTakeTheReplysValue) {
    uint8_t byte = 0;
    uint16_t shortValue = 0;
    uint32_t intValue = 0;
    EXPECT_EQ(entity.getUEI8(1, &byte), aErrNone);
    EXPECT_EQ(byte, 0x7F);
    EXPECT_EQ(LastRequest(), "02 03 30 41 21");
    EXPECT_EQ(entity.getUEI16(2, &shortValue), aErrNone);
    EXPECT_EQ(shortValue, 0x1234);
    EXPECT_EQ(entity.getUEI32(3, &intValue), aErrNone);
    EXPECT_EQ(intValue, 0x80000001u);
    // A byte reply widens; a wider reply is cut to what was asked for.
    EXPECT_EQ(entity.getUEI32(1, &intValue), aErrNone);
    EXPECT_EQ(intValue, 0x7Fu);
    EXPECT_EQ(entity.getUEI8(2, &byte), aErrNone);
    EXPECT_EQ(byte, 0x34);
}

TEST_F(EntityTest, GetsWithASubIndexCarryItAsTheRequestsByte) {
    uint8_t byte = 0;
    uint16_t shortValue = 0;
    uint32_t intValue = 0;
    EXPECT_EQ(entity.getUEI8(1, 7, &byte), aErrNone);
    EXPECT_EQ(LastRequest(), "02 04 30 41 21 07");
    EXPECT_EQ(byte, 0x7F);
    EXPECT_EQ(entity.getUEI16(2, 8, &shortValue), aErrNone);
    EXPECT_EQ(LastRequest(), "02 04 30 42 21 08");
    EXPECT_EQ(entity.getUEI32(3, 9, &intValue), aErrNone);
    EXPECT_EQ(LastRequest(), "02 04 30 43 21 09");
    EXPECT_EQ(intValue, 0x80000001u);
}

TEST_F(EntityTest, SetsPutTheValueOnTheWire) {
    struct Case {
        std::function<aErr(EntityClass&)> set;
        const char* request;
    };
    const Case cases[] = {
        {[](EntityClass& e) { return e.setUEI8(1, 0x7F); }, "02 04 30 81 21 7F"},
        {[](EntityClass& e) { return e.setUEI16(2, 0x1234); }, "02 05 30 82 21 12 34"},
        {[](EntityClass& e) { return e.setUEI32(3, 0x01020304); }, "02 07 30 83 21 01 02 03 04"},
        {[](EntityClass& e) { return e.setUEI8(1, 4, 0x7F); }, "02 05 30 81 21 04 7F"},
        {[](EntityClass& e) { return e.setUEI16(2, 4, 0x1234); }, "02 06 30 82 21 04 12 34"},
        {[](EntityClass& e) { return e.setUEI32(3, 4, 0x01020304); },
         "02 08 30 83 21 04 01 02 03 04"},
        {[](EntityClass& e) { return e.callUEI(6); }, "02 03 30 86 21"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.set(entity), aErrNone) << c.request;
        EXPECT_EQ(LastRequest(), c.request);
    }
}

TEST_F(EntityTest, ARefusalBecomesTheResult) {
    uint8_t byte = 0x55;
    EXPECT_EQ(entity.getUEI8(5, &byte), aErrInvalidOption);
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(entity.setUEI8(5, 1), aErrInvalidOption);
    EXPECT_EQ(entity.callUEI(5), aErrInvalidOption);
    uei message{};
    EXPECT_EQ(entity.getUEI(5, &message), aErrInvalidOption);
    EXPECT_EQ(message.specifier, 0x81);
}

TEST_F(EntityTest, AGetAnsweredWithoutAValueIsRefused) {
    uint32_t value = 0x55;
    EXPECT_EQ(entity.getUEI32(4, &value), aErrSize);
    EXPECT_EQ(value, 0x55u);
}

TEST_F(EntityTest, Refusals) {
    EXPECT_EQ(entity.getUEI8(1, nullptr), aErrParam);
    EXPECT_EQ(entity.getUEI16(1, nullptr), aErrParam);
    EXPECT_EQ(entity.getUEI32(1, 2, nullptr), aErrParam);
    EXPECT_EQ(entity.getUEI(1, nullptr), aErrParam);
    EXPECT_EQ(entity.setUEI(1, nullptr), aErrParam);

    EntityClass unbound;
    uint8_t byte = 0;
    EXPECT_EQ(unbound.getUEI8(1, &byte), aErrResource);
    EXPECT_EQ(unbound.setUEI8(1, 1), aErrResource);
    EXPECT_EQ(unbound.callUEI(1), aErrResource);
    EXPECT_EQ(unbound.sendPacket(1, 0, nullptr), aErrResource);
    EXPECT_EQ(unbound.drainUEI(1), aErrResource);

    module->disconnect();
    EXPECT_EQ(entity.getUEI8(1, &byte), aErrConnection);
    EXPECT_EQ(entity.setUEI8(1, 1), aErrConnection);
}

TEST_F(EntityTest, UnsolicitedValuesAreAwaitedAndDrained) {
    ASSERT_EQ(device.module->Send(SimPacket{2, {kCommand, 6, kIndex, 0, 0, 1, 0}}), aErrNone);
    uint32_t value = 0;
    EXPECT_EQ(entity.awaitUEI32Val(6, &value, 0), aErrNone);
    EXPECT_EQ(value, 256u);
    ASSERT_EQ(device.module->Send(SimPacket{2, {kCommand, 6, kIndex | 0x80, aErrBusy}}), aErrNone);
    EXPECT_EQ(entity.awaitUEI32Val(6, &value, 0), aErrBusy);
    EXPECT_EQ(entity.awaitUEI32Val(6, nullptr, 0), aErrParam);

    ASSERT_EQ(device.module->Send(SimPacket{2, {kCommand, 6, kIndex, 0, 0, 0, 1}}), aErrNone);
    ASSERT_EQ(device.module->Send(SimPacket{2, {kCommand, 6, kIndex, 0, 0, 0, 2}}), aErrNone);
    // Both have arrived once the echo sent after them is back.
    const uint8_t data[] = {0x11};
    ASSERT_EQ(module->debug(data, 1), aErrNone);
    EXPECT_EQ(entity.drainUEI(6), aErrNone);
    EXPECT_EQ(entity.awaitUEI32Val(6, &value, 0), aErrTimeout);
}

TEST(EntityBytesCheck, ConvertsByteCountsIntoUnits) {
    struct Case {
        size_t count, unit;
        aErr expected;
        size_t result;
    };
    EntityClass entity;
    for (const Case& c :
         {Case{8, 4, aErrNone, 2}, Case{0, 4, aErrNone, 0}, Case{9, 4, aErrMemory, 9},
          Case{5, 0, aErrNone, 0}, Case{5, 1, aErrNone, 5}}) {
        size_t count = c.count;
        EXPECT_EQ(entity.getUEIBytesCheck(&count, c.unit), c.expected) << c.count << "/" << c.unit;
        EXPECT_EQ(count, c.result) << c.count << "/" << c.unit;
    }
    EXPECT_EQ(entity.getUEIBytesCheck(nullptr, 4), aErrParam);
}

// Byte arrays through the system entity's name option (32).
class EntityBytesTest : public EntityTest {
  protected:
    void SetUp() override {
        EntityTest::SetUp();
        system.init(module.get(), 3, 0);
    }
    static std::vector<uint8_t> Pattern(size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 256);
        return bytes;
    }
    EntityClass system;
};

TEST_F(EntityBytesTest, ArraysOfEverySizeComeBackWhole) {
    // 130 packets take the sequence number from 127 back to 0 and 1.
    for (size_t size : {size_t{0}, size_t{1}, size_t{24}, size_t{25}, size_t{130 * 24}}) {
        const std::vector<uint8_t> value = Pattern(size);
        device.system->SetBytesValue(kSysName, value);
        std::vector<uint8_t> buffer(size + 1);
        size_t received = 99;
        ASSERT_EQ(system.getUEIBytes(kSysName, buffer.data(), buffer.size(), &received), aErrNone)
            << size;
        ASSERT_EQ(received, size);
        buffer.resize(received);
        EXPECT_EQ(buffer, value) << size;
    }
}

TEST_F(EntityBytesTest, SetSendsTheArrayAndTheModuleKeepsIt) {
    for (size_t size : {size_t{0}, size_t{24}, size_t{49}, size_t{1001}}) {
        const std::vector<uint8_t> value = Pattern(size);
        ASSERT_EQ(system.setUEIBytes(kSysName, value.data(), value.size()), aErrNone) << size;
        EXPECT_EQ(device.system->BytesValue(kSysName), value) << size;
    }
}

TEST_F(EntityBytesTest, TooSmallABufferKeepsWhatFitted) {
    device.system->SetBytesValue(kSysName, Pattern(24));
    uint8_t buffer[10];
    size_t received = 99;
    EXPECT_EQ(system.getUEIBytes(kSysName, buffer, sizeof buffer, &received), aErrMemory);
    EXPECT_EQ(received, 0u);

    device.system->SetBytesValue(kSysName, Pattern(30));
    uint8_t larger[26];
    EXPECT_EQ(system.getUEIBytes(kSysName, larger, sizeof larger, &received), aErrMemory);
    EXPECT_EQ(received, 24u);
}

TEST_F(EntityBytesTest, RefusalsOfTheModuleAndOfTheCaller) {
    uint8_t buffer[8];
    size_t received = 0;
    device.system->SetError(kSysName, aErrBusy);
    EXPECT_EQ(system.getUEIBytes(kSysName, buffer, sizeof buffer, &received), aErrBusy);
    EXPECT_EQ(system.setUEIBytes(kSysName, buffer, sizeof buffer), aErrBusy);
    EXPECT_EQ(system.getUEIBytes(kSysName, nullptr, 8, &received), aErrParam);
    EXPECT_EQ(system.getUEIBytes(kSysName, buffer, 8, nullptr), aErrParam);
    EXPECT_EQ(system.getUEIBytes(kSysName, buffer, 0, &received), aErrParam);
}

}  // namespace
