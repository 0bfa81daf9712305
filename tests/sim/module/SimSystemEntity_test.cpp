// The simulated system entity, driven with raw request packets and checked byte for byte.

#include "SimSystemEntity.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

SimModuleConfig sConfig() {
    SimModuleConfig config;
    config.serialNumber = 0x00C0FFEE;
    config.model = 0x13;
    config.address = 2;
    config.firmwareVersion = 0x2B000002;
    config.firmwareBuild = 1234;
    return config;
}

class SimSystemEntityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module = std::make_unique<SimModule>(sConfig());
        module->Attach(host.Sink());
        system = SimSystemEntity::Install(*module);
    }

    // The module's answer to the packets in `hex`.
    std::string Exchange(const std::string& hex) {
        host.Clear();
        std::vector<uint8_t> bytes = Bytes(hex);
        module->Receive(bytes.data(), bytes.size());
        EXPECT_TRUE(module->WaitIdle(10s));
        return Hex(host.Bytes());
    }

    simtest::ByteRecorder host;
    std::unique_ptr<SimModule> module;
    std::shared_ptr<SimSystemEntity> system;
};

struct ExchangeCase {
    const char* name;
    const char* request;
    const char* reply;
};

class SimSystemEntityExchange : public SimSystemEntityTest,
                                public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(SimSystemEntityExchange, AnswersByteForByte) {
    EXPECT_EQ(Exchange(GetParam().request), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SimSystemEntityExchange,
    ::testing::Values(
        ExchangeCase{"GetModuleAddress", "02 03 03 41 20", "02 04 03 01 00 02"},
        ExchangeCase{"GetRouterStartsAtOwnAddress", "02 03 03 42 20", "02 04 03 02 00 02"},
        ExchangeCase{"GetModelFromConfig", "02 03 03 48 20", "02 04 03 08 00 13"},
        ExchangeCase{"GetSerialBigEndian", "02 03 03 49 20", "02 07 03 09 00 00 C0 FF EE"},
        ExchangeCase{"GetVersion", "02 03 03 47 20", "02 07 03 07 00 2B 00 00 02"},
        ExchangeCase{"GetBuild", "02 03 03 6B 20", "02 07 03 2B 00 00 00 04 D2"},
        ExchangeCase{"GetSignedTemperature", "02 03 03 5C 20", "02 07 03 1C 00 FF FF EC 78"},
        ExchangeCase{"GetWithSubIndexByte", "02 04 03 48 20 05", "02 04 03 08 00 13"},
        ExchangeCase{"SetByteEchoesValue", "02 04 03 84 20 01", "02 04 03 C4 00 01"},
        ExchangeCase{"SetIntEchoesValue", "02 07 03 A2 20 00 00 10 00",
                     "02 07 03 E2 00 00 00 10 00"},
        ExchangeCase{"CallHasNoValue", "02 03 03 8A 20", "02 03 03 CA 00"},
        ExchangeCase{"GetName", "02 03 03 60 20", "02 0D 03 20 00 54 65 73 73 61 4C 69 6E 65 00"},
        ExchangeCase{"UnknownOption", "02 03 03 45 20", "02 04 03 05 80 1D"},
        ExchangeCase{"UnknownOptionOfSet", "02 04 03 85 20 01", "02 04 03 C5 80 1D"},
        ExchangeCase{"SetOfReadOnlyOption", "02 04 03 88 20 01", "02 04 03 C8 80 07"},
        ExchangeCase{"GetOfSetOnlyOption", "02 03 03 54 20", "02 04 03 14 80 07"},
        ExchangeCase{"GetOfCall", "02 03 03 4B 20", "02 04 03 0B 80 07"},
        ExchangeCase{"OtherIndexNamedInError", "02 03 03 48 21", "02 04 03 08 81 1C"},
        ExchangeCase{"SetOfWrongWidth", "02 05 03 84 20 00 01", "02 04 03 C4 80 0E"},
        ExchangeCase{"CallWithValue", "02 04 03 8A 20 01", "02 04 03 CA 80 0E"},
        ExchangeCase{"NoRequestFlagIsIgnored", "02 03 03 08 20", ""},
        ExchangeCase{"BothFlagsAreIgnored", "02 03 03 C8 20", ""},
        ExchangeCase{"TooShortIsIgnored", "02 02 03 48", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimSystemEntityTest, SetValuesAreReadBack) {
    Exchange("02 04 03 84 20 07");  // LED
    EXPECT_EQ(Exchange("02 03 03 44 20"), "02 04 03 04 00 07");
    Exchange("02 07 03 A2 20 00 01 02 03");  // power limit max
    EXPECT_EQ(Exchange("02 03 03 62 20"), "02 07 03 22 00 00 01 02 03");
    EXPECT_EQ(system->Value(kSysPowerLimitMax), 0x00010203u);
    EXPECT_EQ(system->SetCount(kSysLED), 1u);
}

TEST_F(SimSystemEntityTest, RouteToMeSwitchesRoutingToTheHost) {
    EXPECT_FALSE(system->RouteToHost());
    EXPECT_EQ(Exchange("02 04 03 94 20 01"), "02 04 03 D4 00 01");
    EXPECT_TRUE(system->RouteToHost());
    Exchange("02 04 03 94 20 00");
    EXPECT_FALSE(system->RouteToHost());
}

TEST_F(SimSystemEntityTest, ByteArrayGetIsSplitIntoSequencedPackets) {
    std::vector<uint8_t> value(30);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i);
    system->SetBytesValue(kSysName, value);
    EXPECT_EQ(Exchange("02 03 03 60 20"),
              "02 1C 03 20 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 "
              "17 80 02 0A 03 20 00 18 19 1A 1B 1C 1D 01");
    system->SetBytesValue(kSysName, {});
    EXPECT_EQ(Exchange("02 03 03 60 20"), "02 04 03 20 00 00");
}

TEST_F(SimSystemEntityTest, ByteArraySetIsAnsweredOnceAfterTheLastPacket) {
    std::string first = "02 1C 03 A0 20";
    for (int i = 0; i < 24; ++i) first += " 41";
    first += " 80";
    EXPECT_EQ(Exchange(first), "");
    EXPECT_EQ(Exchange("02 06 03 A0 20 42 43 01"), "02 03 03 E0 00");
    std::vector<uint8_t> expected(24, 0x41);
    expected.push_back(0x42);
    expected.push_back(0x43);
    EXPECT_EQ(system->BytesValue(kSysName), expected);
    EXPECT_EQ(system->SetCount(kSysName), 1u);
}

TEST_F(SimSystemEntityTest, ByteArraySetOutOfSequenceIsRefused) {
    const std::vector<uint8_t> before = system->BytesValue(kSysName);
    Exchange("02 05 03 A0 20 41 80");
    EXPECT_EQ(Exchange("02 05 03 A0 20 42 02"), "02 04 03 E0 80 18");
    EXPECT_EQ(system->BytesValue(kSysName), before);
    // A continuation without a first packet is out of sequence too.
    EXPECT_EQ(Exchange("02 05 03 A0 20 42 01"), "02 04 03 E0 80 18");
}

TEST_F(SimSystemEntityTest, BusyEntityRefusesEveryRequest) {
    system->SetBusy(true);
    EXPECT_EQ(Exchange("02 03 03 49 20"), "02 04 03 09 80 05");
    EXPECT_EQ(Exchange("02 04 03 84 20 01"), "02 04 03 C4 80 05");
    system->SetBusy(false);
    EXPECT_EQ(Exchange("02 03 03 48 20"), "02 04 03 08 00 13");
}

TEST_F(SimSystemEntityTest, ForcedErrorAndRemovedOption) {
    system->SetError(kSysLED, aErrUnimplemented);
    EXPECT_EQ(Exchange("02 04 03 84 20 01"), "02 04 03 C4 80 15");
    system->SetError(kSysLED, aErrNone);
    EXPECT_EQ(Exchange("02 04 03 84 20 01"), "02 04 03 C4 00 01");

    system->RemoveOption(kSysProtocolFeatures);
    EXPECT_FALSE(system->HasOption(kSysProtocolFeatures));
    EXPECT_EQ(Exchange("02 03 03 6D 20"), "02 04 03 2D 80 1D");
}

TEST_F(SimSystemEntityTest, FactoryDefaultsRestoreTheStartingTable) {
    Exchange("02 04 03 84 20 01");
    Exchange("02 04 03 94 20 01");
    EXPECT_EQ(Exchange("02 03 03 A5 20"), "02 03 03 E5 00");
    EXPECT_EQ(system->Value(kSysLED), 0u);
    EXPECT_FALSE(system->RouteToHost());
}

TEST_F(SimSystemEntityTest, ChangeHandlerSeesResetBeforeTheReply) {
    std::atomic<int> resets{0};
    system->SetChangeHandler([&](SimModule&, uint8_t option) {
        if (option == kSysReset) ++resets;
    });
    EXPECT_EQ(Exchange("02 03 03 8B 20"), "02 03 03 CB 00");
    EXPECT_EQ(resets.load(), 1);
    EXPECT_EQ(system->SetCount(kSysReset), 1u);
}

TEST_F(SimSystemEntityTest, UptimeGrows) {
    auto uptime = [&] {
        const std::vector<uint8_t> reply = Bytes(Exchange("02 03 03 56 20"));
        return static_cast<uint32_t>(reply[5]) << 24 | reply[6] << 16 | reply[7] << 8 | reply[8];
    };
    const uint32_t first = uptime();
    std::this_thread::sleep_for(20ms);
    EXPECT_GE(uptime(), first + 20);
}

TEST(SimSystemEntityDefaults, EveryOptionOfTheTableIsPresent) {
    const auto defaults = SimSystemEntity::Defaults();
    for (uint8_t option :
         {1,  2,  3,  4,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 20, 21, 22, 23, 24,
          25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 40, 41, 42, 43, 45}) {
        EXPECT_EQ(defaults.count(option), 1u) << int(option);
    }
    for (uint8_t absent : {5, 17, 18, 19, 39, 44}) EXPECT_EQ(defaults.count(absent), 0u);
}

}  // namespace
