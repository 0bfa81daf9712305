// The Module object against simulated modules over TCP and the in-process pipe: connecting,
// address learning, module-information requests, the echo test, and reaching a module behind a
// routing module.

#include "Module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "I2CClass.h"
#include "ObjectApiTestSupport.h"
#include "SystemClass.h"
#include "aVersion.h"

namespace {

using namespace objtest;
using Quillmet::TessaLine::I2CClass;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;
using ::testing::HasSubstr;

constexpr uint32_t kSerial = 0x0A1B2C3D;
constexpr uint8_t kModel = 0x13;

SimModuleConfig sConfig(uint8_t address = 2) {
    SimModuleConfig config;
    config.serialNumber = kSerial;
    config.model = kModel;
    config.address = address;
    config.firmwareVersion = aVersion_Pack(2, 15, 3);
    config.firmwareBuild = 4711;
    return config;
}

// A module object with direct links (networking off), as the update tool uses it.
std::unique_ptr<Module> sModule(uint8_t address, bool networkingMode = true) {
    auto module = std::make_unique<Module>(address, networkingMode, 0);
    EXPECT_EQ(module->setConfig(Direct()), aErrNone);
    return module;
}

size_t sProbes(const SimModule& module) {
    size_t probes = 0;
    for (const SimPacket& packet : module.Received()) probes += packet.address == kIdentifyProbe;
    return probes;
}

// --- Connecting -----------------------------------------------------------------------------

TEST(ModuleConnect, WithoutSerialNumberFailsWithoutSearching) {
    RegistriesEmptyAtEnd clean;
    Module module(2, 0);  // networking on: a search would fall back to the network
    const auto start = Clock::now();
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    EXPECT_LT(ElapsedMs(start), 100);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 8u);
}

TEST(ModuleConnect, FromTcpSpecifierLearnsTheAddressAndReadsTheIdentity) {
    RegistriesEmptyAtEnd clean;
    SimTcpDevice sim(sConfig(6));
    auto module = sModule(2);
    ASSERT_EQ(module->connectFromSpec(sim.Spec()), aErrNone);
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(module->getModuleAddress(), 6);

    SystemClass system;
    system.init(module.get(), 0);
    uint32_t serial = 0, version = 0, build = 0;
    uint8_t model = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, kModel);
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(aVersion_ParseMajor(version), 2u);
    EXPECT_EQ(aVersion_ParseMinor(version), 15u);
    EXPECT_EQ(aVersion_ParsePatch(version), 3u);
    EXPECT_EQ(system.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);
    EXPECT_EQ(module->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);

    linkSpec spec;
    ASSERT_EQ(module->getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(module->disconnect(), aErrNone);
    EXPECT_FALSE(module->isConnected());
}

TEST(ModuleConnect, NetworkingModeOffKeepsTheAddressAndSendsNoQuery) {
    RegistriesEmptyAtEnd clean;
    SimTcpDevice sim(sConfig(6));
    auto module = sModule(2, false);
    ASSERT_EQ(module->connectFromSpec(sim.Spec()), aErrNone);
    EXPECT_EQ(module->getModuleAddress(), 2);
    ASSERT_TRUE(sim.device.module->WaitIdle(5s));
    EXPECT_EQ(sProbes(*sim.device.module), 0u);
}

TEST(ModuleConnect, OverUsbLearnsTheAddressAfterSynchronising) {
    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    SimDevice device = MakeSimDevice(sConfig(8));
    bus.Plug(device.module);
    auto module = sModule(2);
    ASSERT_EQ(module->connectFromSpec(UsbSpec(kSerial, kModel)), aErrNone);
    EXPECT_EQ(module->getModuleAddress(), 8);
}

TEST(ModuleConnect, SilentModuleFailsNotReadyAndLeavesTheModuleDisconnected) {
    RegistriesEmptyAtEnd clean;
    SimTcpDevice sim(sConfig());
    sim.device.module->SetSilent(true);
    auto module = sModule(2);
    std::string trace;
    {
        aTessaLineDebuggingEnable = 1;
        aTessaLineDebuggingLevel = aDEBUG_MODULE;
        ::testing::internal::CaptureStdout();
        const auto start = Clock::now();
        EXPECT_EQ(module->connectFromSpec(sim.Spec()), aErrNotReady);
        EXPECT_GE(ElapsedMs(start), 3900);
        EXPECT_FALSE(module->isConnected());
        EXPECT_EQ(aLinkRegistry_Count(), 0u);
        trace = ::testing::internal::GetCapturedStdout();
        aTessaLineDebuggingEnable = 0;
        aTessaLineDebuggingLevel = 0;
    }
    EXPECT_THAT(trace, HasSubstr("BOO! Failed to autoNetwork"));

    // Nothing is left held, so simply trying again works once the module answers.
    sim.device.module->SetSilent(false);
    EXPECT_EQ(module->reconnect(), aErrNone);
    EXPECT_TRUE(module->isConnected());
}

TEST(ModuleConnect, ConnectedModuleRefusesChangesButKeepsItsConnection) {
    RegistriesEmptyAtEnd clean;
    SimTcpDevice sim(sConfig());
    auto module = sModule(2);
    ASSERT_EQ(module->connectFromSpec(sim.Spec()), aErrNone);
    EXPECT_EQ(module->connectFromSpec(sim.Spec()), aErrBusy);
    EXPECT_EQ(module->reconnect(), aErrConnection);
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(module->setConfig(Direct()), aErrMode);
    EXPECT_EQ(module->getConfig(nullptr), aErrParam);

    module->disconnect();
    EXPECT_EQ(module->reconnect(), aErrNone);
    EXPECT_TRUE(module->isConnected());
}

// --- Module-information requests and the echo -----------------------------------------------

class ModuleInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device = MakeSimDevice(sConfig());
        SimClassInfo analog;
        analog.count = 4;
        analog.subClassCounts = {{2, 5}};
        analog.groups = {{2, 7}};
        device.info->SetClass(0x20, analog);
        bus.Plug(device.module);
        module = sModule(2);
        ASSERT_EQ(module->connectFromSpec(UsbSpec(kSerial)), aErrNone);
    }

    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    SimDevice device;
    std::unique_ptr<Module> module;
};

TEST_F(ModuleInfoTest, AnswersOfTheModule) {
    uint32_t build = 0;
    EXPECT_EQ(module->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);
    uint8_t value = 0xFF;
    EXPECT_EQ(module->classQuantity(3, &value), aErrNone);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(module->classQuantity(0x20, &value), aErrNone);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(module->classQuantity(0x5F, &value), aErrNone);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(module->subClassQuantity(0x20, 2, &value), aErrNone);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(module->entityGroup(0x20, 2, &value), aErrNone);
    EXPECT_EQ(value, 7);
}

TEST_F(ModuleInfoTest, HasUEIReportsTheModulesStatus) {
    struct Case {
        uint8_t command, option, index, flags;
        aErr expected;
    };
    const Case cases[] = {
        {3, 9, 0, 0x40, aErrNone},
        {3, 9, 0, 0x00, aErrNone},
        {3, 9, 0, 0x80, aErrMode},
        {3, 4, 0, 0x80, aErrNone},
        {3, 5, 0, 0x00, aErrInvalidOption},
        {3, 9, 1, 0x40, aErrInvalidEntity},
        {95, 10, 0, 0x80, aErrInvalidEntity},
        {3, 9, 0, 0xC0, aErrParam},
        {3, 9, 0, 0x01, aErrParam},
        {3, 9, 0, 0x20, aErrParam},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(module->hasUEI(c.command, c.option, c.index, c.flags), c.expected)
            << int(c.command) << "/" << int(c.option) << "/" << int(c.index) << " flags "
            << int(c.flags);
    }
    // The refused flags never reached the module.
    EXPECT_EQ(device.info->Requests(), 7u);
}

TEST_F(ModuleInfoTest, MalformedRepliesAreRefused) {
    // A module whose answers are one byte short, or echo another class.
    device.module->SetRequestHandler(0x49, [](SimModule& m, const SimPacket& packet) {
        if (packet.payload[1] == 0xFF) {
            m.Send(SimPacket{packet.address, {0x49, 0xFF, 0x00, 0x00, 0x01}});
        } else {
            SimPacket reply = packet;
            reply.payload[2] ^= 1;
            reply.payload.push_back(3);
            m.Send(reply);
        }
    });
    uint32_t build = 0xFFFF;
    EXPECT_EQ(module->getBuild(&build), aErrSize);
    EXPECT_EQ(build, 0u);
    uint8_t count = 0xFF;
    EXPECT_EQ(module->classQuantity(3, &count), aErrUnknown);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), aErrUnknown);
}

TEST_F(ModuleInfoTest, Refusals) {
    EXPECT_EQ(module->getBuild(nullptr), aErrParam);
    EXPECT_EQ(module->classQuantity(3, nullptr), aErrParam);
    EXPECT_EQ(module->subClassQuantity(3, 0, nullptr), aErrParam);
    EXPECT_EQ(module->entityGroup(3, 0, nullptr), aErrParam);
    module->disconnect();
    uint32_t build = 0;
    uint8_t count = 0;
    EXPECT_EQ(module->getBuild(&build), aErrConnection);
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), aErrConnection);
    EXPECT_EQ(module->classQuantity(3, &count), aErrConnection);
    const uint8_t data[] = {1};
    EXPECT_EQ(module->debug(data, 1), aErrConnection);
}

TEST_F(ModuleInfoTest, EchoTestComparesTheAnswer) {
    uint8_t data[27];
    for (uint8_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(module->debug(data, sizeof data), aErrNone);
    EXPECT_EQ(module->debug(nullptr, 0), aErrNone);
    EXPECT_EQ(module->debug(data, 28), aErrParam);
    device.echo->SetMangled(true);
    EXPECT_EQ(module->debug(data, 3), aErrIO);
}

// --- Through a routing module ---------------------------------------------------------------

TEST(ModuleRouted, SubModuleIsReachedThroughTheRoutersConnection) {
    RegistriesEmptyAtEnd clean;
    SimModuleConfig routerConfig = sConfig();
    routerConfig.serialNumber = 0x0000A000;
    SimRoutedNetwork network(routerConfig);
    SimModuleConfig subConfig = sConfig(4);
    subConfig.serialNumber = 0x0000B004;
    subConfig.model = 0x0D;
    subConfig.firmwareBuild = 99;
    ASSERT_NE(network.AddSubModule(subConfig), nullptr);
    SimTcpServer server(network.Router().module);
    ASSERT_EQ(server.Start(0), aErrNone);

    auto router = sModule(0);
    auto sub = sModule(4, false);
    EXPECT_EQ(sub->connectThroughLinkModule(router.get()), aErrNotFound);  // no specifier yet
    ASSERT_EQ(router->connectFromSpec(TcpSpec(server.Port(), 0x0000A000)), aErrNone);
    EXPECT_EQ(router->getModuleAddress(), 2);

    SystemClass routerSystem;
    routerSystem.init(router.get(), 0);
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    I2CClass i2c;
    i2c.init(router.get(), 0);
    ASSERT_EQ(i2c.setSpeed(3), aErrNone);
    const uint8_t probe[] = {0, 0};
    EXPECT_EQ(i2c.write(6, 2, probe), aErrNotFound);
    ASSERT_EQ(i2c.write(4, 2, probe), aErrNone);

    ASSERT_EQ(sub->connectThroughLinkModule(router.get()), aErrNone);
    EXPECT_TRUE(sub->isConnected());
    EXPECT_EQ(sub->getModuleAddress(), 4);
    EXPECT_EQ(aLinkRegistry_Count(), 1u);                              // one connection, shared
    EXPECT_EQ(sub->connectThroughLinkModule(router.get()), aErrNone);  // already connected

    SystemClass subSystem;
    subSystem.init(sub.get(), 0);
    uint32_t serial = 0, build = 0;
    uint8_t model = 0, address = 0;
    EXPECT_EQ(subSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000B004u);
    EXPECT_EQ(subSystem.getModel(&model), aErrNone);
    EXPECT_EQ(model, 0x0D);
    EXPECT_EQ(subSystem.getModule(&address), aErrNone);
    EXPECT_EQ(address, 4);
    EXPECT_EQ(sub->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 99u);

    // The sub-module's connection ends without ending the router's.
    sub->disconnect();
    EXPECT_TRUE(router->isConnected());
    ASSERT_EQ(routerSystem.routeToMe(0), aErrNone);
    EXPECT_EQ(subSystem.getSerialNumber(&serial), aErrConnection);
}

TEST(ModuleRouted, NoAnswerWhileTheRouterDoesNotRoute) {
    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    SimRoutedNetwork network(sConfig());
    ASSERT_NE(network.AddSubModule(sConfig(4)), nullptr);
    bus.Plug(network.Router().module);
    auto router = sModule(0);
    ASSERT_EQ(router->connectFromSpec(UsbSpec(kSerial)), aErrNone);
    auto sub = sModule(4, false);
    ASSERT_EQ(sub->connectThroughLinkModule(router.get()), aErrNone);
    SystemClass subSystem;
    subSystem.init(sub.get(), 0);
    uint32_t serial = 0;
    EXPECT_EQ(subSystem.getSerialNumber(&serial), aErrTimeout);
    EXPECT_EQ(network.Bus().Dropped(), 1u);
}

}  // namespace
