// Module-information requests of the simulated module, checked byte for byte.

#include "SimModuleInfo.h"

#include <gtest/gtest.h>

#include <memory>

#include "SimSystemEntity.h"
#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

struct InfoCase {
    const char* name;
    const char* request;
    const char* reply;
};

class SimModuleInfoTest : public ::testing::TestWithParam<InfoCase> {
  protected:
    void SetUp() override {
        SimModuleConfig config;
        config.firmwareBuild = 1234;
        module = std::make_unique<SimModule>(config);
        module->Attach(host.Sink());
        info = SimModuleInfo::Install(*module);
        SimClassInfo system;
        system.options = {{8, kSimAccessGet}, {4, kSimAccessGet | kSimAccessSet}};
        info->SetClass(3, system);
        SimClassInfo analog;
        analog.count = 4;
        analog.subClassCounts = {{2, 5}};
        analog.groups = {{2, 7}};
        info->SetClass(0x20, analog);
    }

    std::string Exchange(const std::string& hex) {
        host.Clear();
        std::vector<uint8_t> bytes = Bytes(hex);
        module->Receive(bytes.data(), bytes.size());
        EXPECT_TRUE(module->WaitIdle(10s));
        return Hex(host.Bytes());
    }

    simtest::ByteRecorder host;
    std::unique_ptr<SimModule> module;
    std::shared_ptr<SimModuleInfo> info;
};

TEST_P(SimModuleInfoTest, AnswersByteForByte) {
    EXPECT_EQ(Exchange(GetParam().request), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SimModuleInfoTest,
    ::testing::Values(
        InfoCase{"Build", "02 02 49 FF", "02 06 49 FF 00 00 04 D2"},
        InfoCase{"HasGettableOption", "02 06 49 01 03 08 00 40", "02 06 49 01 03 08 00 00"},
        InfoCase{"HasOptionAnyAccess", "02 06 49 01 03 08 00 00", "02 06 49 01 03 08 00 00"},
        InfoCase{"SetOfReadOnlyOption", "02 06 49 01 03 08 00 80", "02 06 49 01 03 08 00 07"},
        InfoCase{"SettableOption", "02 06 49 01 03 04 00 80", "02 06 49 01 03 04 00 00"},
        InfoCase{"UnknownOption", "02 06 49 01 03 05 00 00", "02 06 49 01 03 05 00 1D"},
        InfoCase{"IndexBeyondCount", "02 06 49 01 03 08 01 00", "02 06 49 01 03 08 01 1C"},
        InfoCase{"UnknownClass", "02 06 49 01 5F 0A 00 80", "02 06 49 01 5F 0A 00 1C"},
        InfoCase{"ClassQuantity", "02 03 49 04 20", "02 04 49 04 20 04"},
        InfoCase{"ClassQuantityUnknown", "02 03 49 04 21", "02 04 49 04 21 00"},
        InfoCase{"SubClassQuantity", "02 04 49 05 20 02", "02 05 49 05 20 02 05"},
        InfoCase{"SubClassQuantityUnknown", "02 04 49 05 20 03", "02 05 49 05 20 03 00"},
        InfoCase{"EntityGroup", "02 04 49 06 20 02", "02 05 49 06 20 02 07"},
        InfoCase{"UnknownSubCode", "02 02 49 07", "02 03 49 87 15"},
        InfoCase{"WrongLength", "02 03 49 FF 00", "02 03 49 FF 0E"},
        InfoCase{"NoSubCodeIsIgnored", "02 01 49", ""}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(SimModuleInfoTest, DescriptionIsTakenAtRequestTime) {
    auto options = std::make_shared<std::map<uint8_t, uint8_t>>();
    info->SetClass(3, SimModuleInfo::Describe([options] {
                       SimClassInfo described;
                       described.options = *options;
                       return described;
                   }));
    EXPECT_EQ(Exchange("02 06 49 01 03 08 00 00"), "02 06 49 01 03 08 00 1D");
    (*options)[8] = kSimAccessGet;
    EXPECT_EQ(Exchange("02 06 49 01 03 08 00 00"), "02 06 49 01 03 08 00 00");
    info->RemoveClass(3);
    EXPECT_EQ(Exchange("02 03 49 04 03"), "02 04 49 04 03 00");
    EXPECT_EQ(info->Requests(), 3u);
}

}  // namespace
