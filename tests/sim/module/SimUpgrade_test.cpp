// The simulated module's firmware-upgrade command set, on the wire: replies, the loader memory and
// the flash, the faults, the byte-array path and the restarts.

#include "SimUpgrade.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

class SimUpgradeTest : public ::testing::Test {
  protected:
    void Install(SimUpgradeConfig config) {
        SimModuleConfig moduleConfig;
        moduleConfig.serialNumber = 0x11223344;
        moduleConfig.firmwareBuild = 5;
        device = MakeSimDevice(moduleConfig);
        device.module->Attach(host.Sink());
        upgrade = SimUpgrade::Install(device, config);
    }
    // Sends the wire bytes `hex` and returns what the module answered.
    std::string Exchange(const std::string& hex) {
        host.Clear();
        std::vector<uint8_t> bytes = Bytes(hex);
        device.module->Receive(bytes.data(), bytes.size());
        EXPECT_TRUE(device.module->WaitIdle(10s));
        return Hex(host.Bytes());
    }

    simtest::ByteRecorder host;
    SimDevice device;
    std::shared_ptr<SimUpgrade> upgrade;
};

TEST_F(SimUpgradeTest, RunningFirmwareTakesALoaderBlockIntoMemory) {
    SimUpgradeConfig config;
    config.loadBase = 0x10000400;
    config.blockSize = 0x0120;
    Install(config);
    EXPECT_EQ(Exchange("02 02 5F 00"), "02 06 5F 00 10 00 04 00");
    EXPECT_EQ(Exchange("02 07 5F 03 01 10 00 00 00"), "02 05 5F 07 00 01 20");
    EXPECT_EQ(Exchange("02 05 5F 01 FF 01 02"), "02 03 5F 01 03");
    EXPECT_EQ(Exchange("02 02 5F 04"), "02 07 5F 07 00 00 00 01 02");
    // WRITE is for the loader only.
    EXPECT_EQ(Exchange("02 04 5F 05 00 03"), "02 03 5F 07 07");
    const auto memory = upgrade->LoaderMemory();
    ASSERT_EQ(memory.size(), 3u);
    EXPECT_EQ(memory.at(0x10000000), 0xFF);
    EXPECT_EQ(memory.at(0x10000002), 0x02);
    EXPECT_TRUE(upgrade->Flash().empty());
}

TEST_F(SimUpgradeTest, LoaderCommitsPiecesToFlashWithWrite) {
    SimUpgradeConfig config;
    config.startInLoader = true;
    Install(config);
    EXPECT_EQ(Exchange("02 07 5F 03 00 00 00 40 00"), "02 05 5F 07 00 01 00");
    EXPECT_EQ(Exchange("02 04 5F 01 AA BB"), "02 03 5F 01 02");
    EXPECT_EQ(Exchange("02 04 5F 05 00 03"), "02 03 5F 07 0E");  // wrong count: aErrSize
    EXPECT_EQ(Exchange("02 04 5F 05 00 02"), "02 03 5F 07 00");
    EXPECT_EQ(Exchange("02 03 5F 01 CC"), "02 03 5F 01 01");
    EXPECT_EQ(Exchange("02 02 5F 04"), "02 07 5F 07 00 00 00 00 CC");  // the sum restarts per piece
    EXPECT_EQ(Exchange("02 04 5F 05 00 01"), "02 03 5F 07 00");
    EXPECT_EQ(upgrade->FlashBytes(0x4000, 4), Bytes("AA BB CC FF"));
    EXPECT_TRUE(upgrade->LoaderMemory().empty());
}

TEST_F(SimUpgradeTest, Faults) {
    SimUpgradeConfig config;
    config.startInLoader = true;
    Install(config);
    upgrade->SetPrepareStatus(3);
    upgrade->SetBlockSize(0);
    EXPECT_EQ(Exchange("02 07 5F 03 00 00 00 00 00"), "02 05 5F 07 03 00 00");
    upgrade->SetPrepareStatus(0);
    upgrade->MiscountData(1);
    EXPECT_EQ(Exchange("02 04 5F 01 01 02"), "02 03 5F 01 01");  // not taken
    EXPECT_EQ(Exchange("02 04 5F 01 01 02"), "02 03 5F 01 02");
    upgrade->CorruptSums(1);
    EXPECT_EQ(Exchange("02 02 5F 04"), "02 07 5F 07 00 00 00 00 04");
    EXPECT_EQ(Exchange("02 02 5F 04"), "02 07 5F 07 00 00 00 00 03");
    upgrade->LoseReplies(kUpgradeWrite, 1);
    EXPECT_EQ(Exchange("02 04 5F 05 00 02"), "");
    EXPECT_EQ(Exchange("02 02 5F 00"), "02 06 5F 00 10 00 00 00");  // other replies still come
    EXPECT_EQ(Hex(upgrade->FlashBytes(0, 2)), "01 02");
}

TEST_F(SimUpgradeTest, ByteArrayPathAndFeaturesAreAdvertised) {
    SimUpgradeConfig config;
    config.startInLoader = true;
    config.byteArrayData = true;
    config.pooledPackets = true;
    Install(config);
    // module information: option 10 of command 95 can be set
    EXPECT_EQ(Exchange("02 06 49 01 5F 0A 00 80"), "02 06 49 01 5F 0A 00 00");
    EXPECT_EQ(device.system->Value(kSysProtocolFeatures) & kPooledPacketsFeature,
              kPooledPacketsFeature);
    EXPECT_EQ(Exchange("02 07 5F 03 00 00 00 00 10"), "02 05 5F 07 00 01 00");
    EXPECT_EQ(Exchange("02 06 5F 8A 20 01 02 80"), "");             // sequence 0, more follow
    EXPECT_EQ(Exchange("02 05 5F 8A 20 03 01"), "02 03 5F CA 00");  // sequence 1, last
    EXPECT_EQ(Exchange("02 02 5F 04"), "02 07 5F 07 00 00 00 00 06");
    EXPECT_EQ(Exchange("02 04 5F 05 00 03"), "02 03 5F 07 00");
    EXPECT_EQ(Hex(upgrade->FlashBytes(0x10, 3)), "01 02 03");
    // out of sequence
    EXPECT_EQ(Exchange("02 05 5F 8A 20 09 05"), "02 04 5F CA 80 18");
}

TEST_F(SimUpgradeTest, LoadAndRebootRestartTheModule) {
    SimUpgradeConfig config;
    config.answerLoad = true;
    config.loaderSerialNumber = kLoaderDefaultSerial;
    config.newFirmwareBuild = 77;
    Install(config);
    std::atomic<int> loaderStarts{0}, reboots{0};
    upgrade->SetRestartHandler([&](SimUpgradeEvent event) {
        (event == SimUpgradeEvent::LoaderStarted ? loaderStarts : reboots)++;
    });
    EXPECT_EQ(Exchange("02 02 5F 02"), "02 02 5F 02");
    for (int i = 0; i < 200 && loaderStarts == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(loaderStarts, 1);
    EXPECT_FALSE(device.module->IsAttached());
    EXPECT_TRUE(upgrade->InLoader());
    EXPECT_EQ(device.module->Config().serialNumber, kLoaderDefaultSerial);

    device.module->Attach(host.Sink());
    EXPECT_EQ(Exchange("02 02 5F 06"), "");  // REBOOT has no reply
    for (int i = 0; i < 200 && reboots == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(reboots, 1);
    EXPECT_FALSE(upgrade->InLoader());
    EXPECT_EQ(device.module->Config().firmwareBuild, 77u);
    EXPECT_EQ(upgrade->Restarts(), 2u);
}

TEST_F(SimUpgradeTest, RebootCanBeIgnored) {
    SimUpgradeConfig config;
    config.startInLoader = true;
    config.rebootRestarts = false;
    Install(config);
    EXPECT_EQ(Exchange("02 02 5F 06"), "");
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(device.module->IsAttached());
    EXPECT_EQ(upgrade->Restarts(), 0u);
}

}  // namespace
