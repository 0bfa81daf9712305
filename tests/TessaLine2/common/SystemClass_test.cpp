// Every option of the system entity, round trip against the simulated module over TCP.

#include "SystemClass.h"

#include <gtest/gtest.h>

#include <memory>

#include "Module.h"
#include "ObjectApiTestSupport.h"

namespace {

using namespace objtest;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;

constexpr uint32_t kSerial = 0x5EC0A002;

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimModuleConfig config;
        config.serialNumber = kSerial;
        config.model = 0x16;
        config.address = 2;
        config.firmwareVersion = 0x2F020F00;
        config.firmwareBuild = 321;
        sim = std::make_unique<SimTcpDevice>(config);
        module = std::make_unique<Module>(2, 0);
        ASSERT_EQ(module->setConfig(Direct()), aErrNone);
        ASSERT_EQ(module->connectFromSpec(sim->Spec()), aErrNone);
        system.init(module.get(), 0);
    }
    SimSystemEntity& Sim() { return *sim->device.system; }

    RegistriesEmptyAtEnd clean;
    std::unique_ptr<SimTcpDevice> sim;
    std::unique_ptr<Module> module;
    SystemClass system;
};

struct Get8Case {
    const char* name;
    aErr (SystemClass::*get)(uint8_t*);
    uint8_t expected;
};

class SystemGet8 : public SystemTest, public ::testing::WithParamInterface<Get8Case> {};

TEST_P(SystemGet8, ReadsTheModulesValue) {
    uint8_t value = 0xEE;
    ASSERT_EQ((system.*GetParam().get)(&value), aErrNone);
    EXPECT_EQ(value, GetParam().expected);
    EXPECT_EQ((system.*GetParam().get)(nullptr), aErrParam);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SystemGet8,
    ::testing::Values(Get8Case{"Module", &SystemClass::getModule, 2},
                      Get8Case{"Router", &SystemClass::getRouter, 2},
                      Get8Case{"HBInterval", &SystemClass::getHBInterval, 10},
                      Get8Case{"LED", &SystemClass::getLED, 0},
                      Get8Case{"BootSlot", &SystemClass::getBootSlot, 0},
                      Get8Case{"Model", &SystemClass::getModel, 0x16},
                      Get8Case{"HardwareOffset", &SystemClass::getModuleHardwareOffset, 0},
                      Get8Case{"BaseAddress", &SystemClass::getModuleBaseAddress, 2},
                      Get8Case{"SoftwareOffset", &SystemClass::getModuleSoftwareOffset, 0},
                      Get8Case{"RouterAddressSetting", &SystemClass::getRouterAddressSetting, 2},
                      Get8Case{"InputPowerSource", &SystemClass::getInputPowerSource, 1},
                      Get8Case{"InputPowerBehavior", &SystemClass::getInputPowerBehavior, 0},
                      Get8Case{"LinkInterface", &SystemClass::getLinkInterface, 0},
                      Get8Case{"LEDMaxBrightness", &SystemClass::getLEDMaxBrightness, 255}),
    [](const auto& info) { return std::string(info.param.name); });

struct Get32Case {
    const char* name;
    aErr (SystemClass::*get)(uint32_t*);
    uint32_t expected;
};

class SystemGet32 : public SystemTest, public ::testing::WithParamInterface<Get32Case> {};

TEST_P(SystemGet32, ReadsTheModulesValue) {
    uint32_t value = 0xEEEEEEEE;
    ASSERT_EQ((system.*GetParam().get)(&value), aErrNone);
    EXPECT_EQ(value, GetParam().expected);
    EXPECT_EQ((system.*GetParam().get)(nullptr), aErrParam);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SystemGet32,
    ::testing::Values(Get32Case{"Version", &SystemClass::getVersion, 0x2F020F00},
                      Get32Case{"SerialNumber", &SystemClass::getSerialNumber, kSerial},
                      Get32Case{"InputVoltage", &SystemClass::getInputVoltage, 5000000},
                      Get32Case{"InputCurrent", &SystemClass::getInputCurrent, 120000},
                      Get32Case{"PowerLimit", &SystemClass::getPowerLimit, 2500},
                      Get32Case{"PowerLimitMax", &SystemClass::getPowerLimitMax, 5000},
                      Get32Case{"PowerLimitState", &SystemClass::getPowerLimitState, 0},
                      Get32Case{"HardwareVersion", &SystemClass::getHardwareVersion, 0x00010000},
                      Get32Case{"Errors", &SystemClass::getErrors, 0},
                      Get32Case{"Build", &SystemClass::getBuild, 321},
                      Get32Case{"ProtocolFeatures", &SystemClass::getProtocolFeatures, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct SignedCase {
    const char* name;
    aErr (SystemClass::*get)(int32_t*);
    int32_t expected;
};

class SystemGetSigned : public SystemTest, public ::testing::WithParamInterface<SignedCase> {};

TEST_P(SystemGetSigned, ReadsTwosComplement) {
    int32_t value = 0;
    ASSERT_EQ((system.*GetParam().get)(&value), aErrNone);
    EXPECT_EQ(value, GetParam().expected);
    EXPECT_EQ((system.*GetParam().get)(nullptr), aErrParam);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SystemGetSigned,
    ::testing::Values(SignedCase{"MaximumTemperature", &SystemClass::getMaximumTemperature, 41000},
                      SignedCase{"UnregulatedVoltage", &SystemClass::getUnregulatedVoltage,
                                 5100000},
                      SignedCase{"UnregulatedCurrent", &SystemClass::getUnregulatedCurrent, -1500},
                      SignedCase{"Temperature", &SystemClass::getTemperature, 36500},
                      SignedCase{"MinimumTemperature", &SystemClass::getMinimumTemperature, -5000}),
    [](const auto& info) { return std::string(info.param.name); });

struct Set8Case {
    const char* name;
    aErr (SystemClass::*set)(uint8_t);
    uint8_t option;
    uint8_t argument;
    uint8_t stored;  // the value the module ends up with
};

class SystemSet8 : public SystemTest, public ::testing::WithParamInterface<Set8Case> {};

TEST_P(SystemSet8, StoresTheValueInTheModule) {
    ASSERT_EQ((system.*GetParam().set)(GetParam().argument), aErrNone);
    EXPECT_EQ(Sim().Value(GetParam().option), GetParam().stored);
    EXPECT_EQ(Sim().SetCount(GetParam().option), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SystemSet8,
    ::testing::Values(
        Set8Case{"Router", &SystemClass::setRouter, kSysRouter, 8, 8},
        Set8Case{"HBInterval", &SystemClass::setHBInterval, kSysHBInterval, 50, 50},
        Set8Case{"LEDOn", &SystemClass::setLED, kSysLED, 1, 1},
        Set8Case{"LEDAnyNonZeroIsOne", &SystemClass::setLED, kSysLED, 0x80, 1},
        Set8Case{"BootSlot", &SystemClass::setBootSlot, kSysBootSlot, 1, 1},
        Set8Case{"SoftwareOffset", &SystemClass::setModuleSoftwareOffset, kSysSoftwareOffset, 4, 4},
        Set8Case{"InputPowerBehavior", &SystemClass::setInputPowerBehavior, kSysInputPowerBehavior,
                 2, 2},
        Set8Case{"LinkInterface", &SystemClass::setLinkInterface, kSysLinkInterface, 1, 1},
        Set8Case{"LEDMaxBrightness", &SystemClass::setLEDMaxBrightness, kSysLEDMaxBrightness, 128,
                 128},
        Set8Case{"RouteToMe", &SystemClass::routeToMe, kSysRouteToMe, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct CallCase {
    const char* name;
    aErr (SystemClass::*call)();
    uint8_t option;
};

class SystemCall : public SystemTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(SystemCall, ReachesTheModuleOnce) {
    ASSERT_EQ((system.*GetParam().call)(), aErrNone);
    EXPECT_EQ(Sim().SetCount(GetParam().option), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SystemCall,
    ::testing::Values(CallCase{"Save", &SystemClass::save, kSysSave},
                      CallCase{"Reset", &SystemClass::reset, kSysReset},
                      CallCase{"LogEvents", &SystemClass::logEvents, kSysLogEvents},
                      CallCase{"ResetEntity", &SystemClass::resetEntityToFactoryDefaults,
                               kSysResetEntityToFactoryDefaults},
                      CallCase{"ResetDevice", &SystemClass::resetDeviceToFactoryDefaults,
                               kSysResetDeviceToFactoryDefaults}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SystemTest, SetValuesAreReadBack) {
    ASSERT_EQ(system.setPowerLimitMax(0x00012345), aErrNone);
    uint32_t limit = 0;
    ASSERT_EQ(system.getPowerLimitMax(&limit), aErrNone);
    EXPECT_EQ(limit, 0x00012345u);
    ASSERT_EQ(system.setLED(7), aErrNone);
    uint8_t led = 0;
    ASSERT_EQ(system.getLED(&led), aErrNone);
    EXPECT_EQ(led, 1);
    ASSERT_EQ(system.resetDeviceToFactoryDefaults(), aErrNone);
    ASSERT_EQ(system.getLED(&led), aErrNone);
    EXPECT_EQ(led, 0);
}

TEST_F(SystemTest, UptimeIsReadable) {
    uint32_t first = 0, second = 0;
    ASSERT_EQ(system.getUptime(&first), aErrNone);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(system.getUptime(&second), aErrNone);
    EXPECT_GE(second, first + 20);
}

TEST_F(SystemTest, NameRoundTrip) {
    uint8_t buffer[64];
    size_t count = 0;
    ASSERT_EQ(system.getName(buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "TessaLine");
    const std::string name = "Bench module number seven, left rack";  // two packets
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
    ASSERT_EQ(system.getName(buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);
    EXPECT_EQ(system.setName(nullptr, 3), aErrParam);
}

TEST_F(SystemTest, PowerBehaviorConfigTravelsAsBigEndianWords) {
    uint32_t words[4] = {};
    size_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 2u);

    const uint32_t written[3] = {0x01020304, 0xA0B0C0D0, 7};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(written, 3), aErrNone);
    EXPECT_EQ(Sim().BytesValue(kSysInputPowerBehaviorConfig),
              Bytes("01 02 03 04 A0 B0 C0 D0 00 00 00 07"));
    EXPECT_EQ(written[0], 0x01020304u);  // the caller's words are left as they were
    ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(words[1], 0xA0B0C0D0u);

    EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 2, &count), aErrMemory);
    Sim().SetBytesValue(kSysInputPowerBehaviorConfig, Bytes("00 00 00 01 02"));
    EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrMemory);
    EXPECT_EQ(system.setInputPowerBehaviorConfig(nullptr, 1), aErrParam);
}

TEST_F(SystemTest, ModuleRefusalsBecomeTheResults) {
    Sim().RemoveOption(kSysProtocolFeatures);
    uint32_t features = 0x55;
    EXPECT_EQ(system.getProtocolFeatures(&features), aErrInvalidOption);
    EXPECT_EQ(features, 0x55u);

    Sim().RemoveOption(kSysBootSlot);
    EXPECT_EQ(system.setBootSlot(1), aErrInvalidOption);

    Sim().SetError(kSysReset, aErrUnimplemented);
    EXPECT_EQ(system.reset(), aErrUnimplemented);

    Sim().SetBusy(true);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrBusy);
    Sim().SetBusy(false);
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
}

TEST_F(SystemTest, AnotherIndexIsRefusedByTheModule) {
    SystemClass second;
    second.init(module.get(), 1);
    uint8_t model = 0;
    EXPECT_EQ(second.getModel(&model), aErrInvalidEntity);
}

TEST(SystemWithoutModule, EveryOperationNeedsTheModule) {
    SystemClass system;
    uint32_t value = 0;
    EXPECT_EQ(system.getSerialNumber(&value), aErrResource);
    EXPECT_EQ(system.reset(), aErrResource);
    EXPECT_EQ(system.setLED(1), aErrResource);
}

}  // namespace
