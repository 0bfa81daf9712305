// The firmware-upgrade command set against a simulated module over TCP on 127.0.0.1: loader and
// firmware transfers compared byte for byte with the simulated memory, the retry and fault
// rules, the byte-array path, pooled packets, reconnection after LOAD and the reboot wait.

#include "UpdaterEntity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <vector>

#include "../TessaLine2/common/ObjectApiTestSupport.h"
#include "CaptureDisplay.h"
#include "LogCapture.h"
#include "SimUpgrade.h"
#include "SystemClass.h"
#include "aVersion.h"

namespace {

using namespace objtest;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;
using Quillmet::TessaLine::UpdaterEntity;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::CaptureDisplay;
using testsupport::LogCapture;

constexpr uint32_t kSerial = 0x0A1B2C3D;
constexpr uint32_t kAllPackages = 0xFFFFFFFFu;

SimModuleConfig sConfig() {
    SimModuleConfig config;
    config.serialNumber = kSerial;
    config.model = 0x13;
    config.address = 2;
    config.firmwareVersion = aVersion_Pack(1, 2, 3);
    config.firmwareBuild = 100;
    return config;
}

// A block payload: the target address (big-endian) and `size` image bytes of a pattern.
std::vector<uint8_t> sBlock(uint32_t address, size_t size, uint8_t seed = 7) {
    std::vector<uint8_t> block = {uint8_t(address >> 24), uint8_t(address >> 16),
                                  uint8_t(address >> 8), uint8_t(address)};
    for (size_t i = 0; i < size; ++i) block.push_back(uint8_t(seed + i * 13 + (i >> 8)));
    return block;
}

std::vector<uint8_t> sImage(const std::vector<uint8_t>& block) {
    return std::vector<uint8_t>(block.begin() + 4, block.end());
}

std::vector<uint8_t> sLoaderBytes(const SimUpgrade& sim, uint32_t address, size_t length) {
    const auto memory = sim.LoaderMemory();
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < length; ++i) {
        auto found = memory.find(uint32_t(address + i));
        bytes.push_back(found == memory.end() ? 0 : found->second);
    }
    return bytes;
}

class UpdaterEntityTest : public ::testing::Test {
  protected:
    // A module running `config`, connected, with an entity on it.
    // Over TCP by default; over the in-process pipe as a USB link with `usb`, where the module's
    // hang-up breaks the stream at once, as unplugging does.
    void Start(SimUpgradeConfig config, bool skipRebootWait = false, bool usb = false) {
        module.reset();
        linkSpec spec{};
        if (usb) {
            if (!bus) bus = std::make_unique<SimUsbBus>();
            usbDevice = MakeSimDevice(sConfig());
            bus->Plug(usbDevice.module);
            upgrade = SimUpgrade::Install(usbDevice, config);
            spec = UsbSpec(kSerial);
        } else {
            tcp = std::make_unique<SimTcpDevice>(sConfig());
            upgrade = SimUpgrade::Install(tcp->device, config);
            spec = tcp->Spec();
        }
        module = std::make_unique<Module>(2, true, 0);
        ASSERT_EQ(module->setConfig(Direct()), aErrNone);
        ASSERT_EQ(module->connectFromSpec(spec), aErrNone);
        entity.init(module.get(), 0, true, skipRebootWait);
    }
    static SimUpgradeConfig InLoader(uint16_t blockSize = 64) {
        SimUpgradeConfig config;
        config.startInLoader = true;
        config.blockSize = blockSize;
        return config;
    }
    // PREPARE and FirmwareTransfer of one block.
    aErr SendFirmware(const std::vector<uint8_t>& block) {
        uint16_t blockSize = 0;
        aErr err = entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize);
        if (err != aErrNone) return err;
        return entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display);
    }

    RegistriesEmptyAtEnd clean;
    std::unique_ptr<SimUsbBus> bus;
    SimDevice usbDevice;
    std::unique_ptr<SimTcpDevice> tcp;
    std::shared_ptr<SimUpgrade> upgrade;
    std::unique_ptr<Module> module;
    UpdaterEntity entity;
    CaptureDisplay display;
};

// --- Loader phase -----------------------------------------------------------------------------

TEST_F(UpdaterEntityTest, LoaderInitLogsTheLoadBase) {
    SimUpgradeConfig config;
    config.loadBase = 0x10000400;
    Start(config);
    LogCapture log(kAllPackages);
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    EXPECT_THAT(log.Text(),
                HasSubstr("NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n"));
    EXPECT_THAT(log.Text(), HasSubstr("NETWORK: load base = 268436480 [10000400]\n"));
}

TEST_F(UpdaterEntityTest, LoaderBlockGoesStraightIntoMemoryIn26BytePiecesWithOneSum) {
    Start({});
    const auto block = sBlock(0x10000000, 60);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 5, blockSize), aErrNone);
    EXPECT_EQ(blockSize, 256);
    LogCapture log(kAllPackages);
    ASSERT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrNone);
    EXPECT_THAT(upgrade->DataSizes(), ElementsAre(26, 26, 8));
    EXPECT_THAT(upgrade->SubCommands(), ElementsAre(0, 3, 1, 1, 1, 4));
    EXPECT_TRUE(upgrade->WriteCounts().empty());
    EXPECT_EQ(sLoaderBytes(*upgrade, 0x10000000, 60), sImage(block));
    EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Loader Transfer (addr=10000000, len=60)\n"));
    EXPECT_THAT(log.Text(), HasSubstr("][3 blocks].\n"));
}

TEST_F(UpdaterEntityTest, PrepareAnswers) {
    struct Case {
        const char* name;
        uint8_t status;
        uint16_t size;
        aErr expected;
        uint16_t blockSize;
        const char* line;
    } cases[] = {
        {"size 256", 0, 0x0100, aErrNone, 256,
         "NETWORK: Loader validated firmware init [256 block size]\n"},
        {"refused", 3, 64, aErrInvalidOption, 17,
         "NETWORK: Invalid or error reply when initializing loader for firmware.\n"},
        {"size 0", 0, 0, aErrInvalidOption, 17,
         "NETWORK: Loader announced a block size of 0; transfer refused.\n"},
    };
    Start({});
    const auto block = sBlock(0x8000, 10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        upgrade->SetPrepareStatus(c.status);
        upgrade->SetBlockSize(c.size);
        LogCapture log(kAllPackages);
        uint16_t blockSize = 17;
        EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 2, blockSize),
                  c.expected);
        EXPECT_EQ(blockSize, c.blockSize);
        EXPECT_THAT(log.Text(), HasSubstr(c.line));
        EXPECT_THAT(log.Text(), HasSubstr("NETWORK: TransferPrepare {cmdUPGRADE, "
                                          "val_UPGRADE_PREPARE, 02, [00 00 80 00]} \n"));
        EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Address: 32768\n"));
    }
}

// --- Firmware phase ---------------------------------------------------------------------------

TEST_F(UpdaterEntityTest, FirmwareBlockIsSentInBlockSizePiecesEachWrittenToFlash) {
    Start(InLoader(64));
    const auto block = sBlock(0x4000, 100);
    ASSERT_EQ(SendFirmware(block), aErrNone);
    EXPECT_THAT(upgrade->DataSizes(), ElementsAre(26, 26, 12, 26, 10));
    EXPECT_THAT(upgrade->WriteCounts(), ElementsAre(64, 36));
    EXPECT_THAT(upgrade->SubCommands(), ElementsAre(3, 1, 1, 1, 4, 5, 1, 1, 4, 5));
    EXPECT_EQ(upgrade->FlashBytes(0x4000, 100), sImage(block));
    EXPECT_EQ(upgrade->Flash().size(), 100u);
    ASSERT_EQ(display.widgets.size(), 4u);
    EXPECT_EQ(display.widgets.front(), "progress on");
    EXPECT_EQ(display.widgets.back(), "progress off");
}

TEST_F(UpdaterEntityTest, LargeFirmwareImageMatchesFlashByteForByte) {
    Start(InLoader(512));
    const auto first = sBlock(0x0, 3000, 1);
    const auto second = sBlock(0x20000, 777, 99);
    ASSERT_EQ(SendFirmware(first), aErrNone);
    ASSERT_EQ(SendFirmware(second), aErrNone);
    EXPECT_EQ(upgrade->FlashBytes(0x0, 3000), sImage(first));
    EXPECT_EQ(upgrade->FlashBytes(0x20000, 777), sImage(second));
    EXPECT_EQ(upgrade->Flash().size(), 3777u);
}

TEST_F(UpdaterEntityTest, WithoutValidationNoSumIsSent) {
    Start(InLoader(64));
    entity.init(module.get(), 0, false, false);
    const auto block = sBlock(0x100, 30);
    ASSERT_EQ(SendFirmware(block), aErrNone);
    EXPECT_THAT(upgrade->SubCommands(), ElementsAre(3, 1, 1, 5));
    EXPECT_EQ(upgrade->FlashBytes(0x100, 30), sImage(block));
}

TEST_F(UpdaterEntityTest, Faults) {
    struct Case {
        const char* name;
        std::function<void(SimUpgrade&)> arm;
        aErr expected;
        const char* line;
    } cases[] = {
        {"count wrong twice, re-sent", [](SimUpgrade& s) { s.MiscountData(2); }, aErrNone,
         "NETWORK: Invalid upgrade transfer response [25 != 26].\n"},
        {"count always wrong, bounded", [](SimUpgrade& s) { s.MiscountData(11); }, aErrPacket,
         "NETWORK: Upgrade transfer response still wrong after 10 re-sends.\n"},
        {"checksum wrong", [](SimUpgrade& s) { s.CorruptSums(1); }, aErrInvalidOption,
         "NETWORK: Unable to validate transfer [00] ["},
        {"DATA reply lost", [](SimUpgrade& s) { s.LoseReplies(kUpgradeData, 1); }, aErrPacket,
         "NETWORK(DATA): No reply when initializing upgrade.\n"},
        {"SUM reply lost", [](SimUpgrade& s) { s.LoseReplies(kUpgradeSum, 1); }, aErrPacket,
         "NETWORK(STATUS): No reply when initializing upgrade.\n"},
        {"WRITE reply lost", [](SimUpgrade& s) { s.LoseReplies(kUpgradeWrite, 1); },
         aErrInvalidOption, "NETWORK: invalid or error reply when loader writing firmware.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start(InLoader(64));
        const auto block = sBlock(0x2000, 40);
        c.arm(*upgrade);
        {
            LogCapture log(kAllPackages);
            EXPECT_EQ(SendFirmware(block), c.expected);
            EXPECT_THAT(log.Text(), HasSubstr(c.line));
            if (c.expected != aErrNone) {
                EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Failed to transfer firmware\n"));
            }
        }
        if (c.expected == aErrNone) {
            EXPECT_EQ(upgrade->DataSizes().size(), 4u);  // 26 twice re-sent, 26, 14
        } else {
            // The flow starts the block again from PREPARE; the module has recovered by then.
            ASSERT_TRUE(tcp->device.module->WaitIdle(5s));
            EXPECT_EQ(SendFirmware(block), aErrNone);
        }
        EXPECT_EQ(upgrade->FlashBytes(0x2000, 40), sImage(block));
        entity.init(nullptr, 0, true, false);
        module.reset();
    }
}

TEST_F(UpdaterEntityTest, RepeatedWrongCountIsResentOnlyTenTimes) {
    Start(InLoader(64));
    upgrade->MiscountData(1000);
    const auto block = sBlock(0x2000, 20);
    EXPECT_EQ(SendFirmware(block), aErrPacket);
    EXPECT_EQ(upgrade->DataSizes().size(), 11u);  // the first send and 10 re-sends
    EXPECT_TRUE(upgrade->WriteCounts().empty());
}

TEST_F(UpdaterEntityTest, BlockSizeZeroIsRefusedByFirmwareTransfer) {
    Start(InLoader(64));
    const auto block = sBlock(0x2000, 20);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 0, display), aErrParam);
    EXPECT_TRUE(upgrade->SubCommands().empty());
}

// --- Byte-array path and pooled packets -------------------------------------------------------

TEST_F(UpdaterEntityTest, ByteArrayPathWhenTheModuleOffersIt) {
    SimUpgradeConfig config = InLoader(300);
    config.byteArrayData = true;
    config.pooledPackets = true;
    Start(config);
    LogCapture log(kAllPackages);
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_TRUE(entity.useUEIData);
    ASSERT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Protocol Version: -2147483648 Error: 0\n"));
    const auto block = sBlock(0x6000, 700);
    ASSERT_EQ(SendFirmware(block), aErrNone);
    EXPECT_THAT(upgrade->SubCommands(), ElementsAre(3, 10, 4, 5, 10, 4, 5, 10, 4, 5));
    EXPECT_TRUE(upgrade->DataSizes().empty());
    EXPECT_THAT(upgrade->WriteCounts(), ElementsAre(300, 300, 100));
    EXPECT_EQ(upgrade->FlashBytes(0x6000, 700), sImage(block));
    EXPECT_THAT(log.Text(),
                HasSubstr("NETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, 300} \n"));
}

TEST_F(UpdaterEntityTest, WithoutByteArrayOrPooledPacketsThePacketPathStays) {
    Start(InLoader(64));
    LogCapture log(kAllPackages);
    EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_FALSE(entity.useUEIData);
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Protocol Version: 0 Error: 0\n"));
    tcp->device.system->RemoveOption(kSysProtocolFeatures);
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrInvalidOption);
}

// --- Starting the loader ----------------------------------------------------------------------

TEST_F(UpdaterEntityTest, LoaderStartAnsweredAtOnce) {
    SimUpgradeConfig config;
    config.answerLoad = true;
    config.loadRestarts = false;
    Start(config);
    LogCapture log(kAllPackages);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Loader validated start\n"));
    EXPECT_THAT(log.Text(), Not(HasSubstr("reconnect")));
}

TEST_F(UpdaterEntityTest, LoaderStartReconnectsAfterTheRestart) {
    struct Case {
        const char* name;
        uint32_t loaderSerial;
        bool usb;
    } cases[] = {{"TCP, same serial number", 0, false},
                 {"TCP, default serial number", 0xDEADDEAD, false},
                 {"USB, same serial number", 0, true},
                 {"USB, default serial number", 0xDEADDEAD, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimUpgradeConfig config;
        config.loaderSerialNumber = c.loaderSerial;
        Start(config, false, c.usb);
        LogCapture log(kAllPackages);
        const auto start = Clock::now();
        EXPECT_EQ(entity.LoaderStart(), aErrNone);
        EXPECT_LT(ElapsedMs(start), 4000);
        EXPECT_TRUE(upgrade->InLoader());
        EXPECT_TRUE(module->isConnected());
        EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Attempting to reconnect. Attempt: 1 of 5\n"));
        EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Reconnected to device\n"));
        EXPECT_THAT(log.Text(), HasSubstr("NETWORK: Loader validated start (Reconnect)\n"));
        SystemClass system;
        system.init(module.get(), 0);
        uint32_t serial = 0;
        EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
        EXPECT_EQ(serial, c.loaderSerial ? c.loaderSerial : kSerial);
        module.reset();
    }
}

TEST_F(UpdaterEntityTest, LoaderThatNeverComesBackFailsWithTimeoutAfterBothRounds) {
    Start({});
    SimTcpServer* server = tcp->server.get();
    upgrade->SetRestartHandler([server](SimUpgradeEvent) { server->StopListening(); });
    LogCapture log(kAllPackages);
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    EXPECT_FALSE(module->isConnected());
    const std::string text = log.Text();
    EXPECT_THAT(text, HasSubstr("NETWORK: Attempting to reconnect. Attempt: 5 of 5\n"));
    EXPECT_THAT(text, HasSubstr("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 5 of 5\n"));
    EXPECT_THAT(text, HasSubstr("NETWORK: Couldn't reconnect to device delaying: 500 ms\n"));
    EXPECT_THAT(text, HasSubstr("NETWORK: Invalid or reply when starting loader. ["));
}

// --- Reboot -----------------------------------------------------------------------------------

TEST_F(UpdaterEntityTest, RebootWaitsForTheLinkToDropAndTheNewFirmwareAnswers) {
    SimUpgradeConfig config = InLoader();
    config.newFirmwareVersion = aVersion_Pack(2, 0, 1);
    config.newFirmwareBuild = 200;
    Start(config, false, true);
    LogCapture log(kAllPackages);
    const auto start = Clock::now();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_FALSE(module->isConnected());
    EXPECT_THAT(log.Text(), Not(HasSubstr("Link still up")));
    ASSERT_FALSE(display.widgets.empty());
    EXPECT_EQ(display.widgets.back(), "stop Verifying Update");
    EXPECT_FALSE(upgrade->InLoader());

    module->disconnect();
    ASSERT_EQ(module->reconnect(), aErrNone);
    SystemClass system;
    system.init(module.get(), 0);
    uint32_t version = 0, build = 0;
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, aVersion_Pack(2, 0, 1));
    EXPECT_EQ(system.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 200u);
}

TEST_F(UpdaterEntityTest, RebootWaitIsBounded) {
    struct Case {
        const char* name;
        bool skip;
        long minMs, maxMs;
        size_t spins;
    } cases[] = {{"link stays up", false, 4900, 7000, 20}, {"skip the wait", true, 200, 1000, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimUpgradeConfig config = InLoader();
        config.rebootRestarts = false;
        Start(config, c.skip);
        display.widgets.clear();
        LogCapture log(kAllPackages);
        const auto start = Clock::now();
        EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
        EXPECT_GE(ElapsedMs(start), c.minMs);
        EXPECT_LT(ElapsedMs(start), c.maxMs);
        EXPECT_TRUE(module->isConnected());
        EXPECT_EQ(display.widgets.size(), c.spins + 1);
        EXPECT_EQ(display.widgets.front(), "spin Verifying Update");
        EXPECT_THAT(log.Text(), HasSubstr("Waiting for link to drop.\nRebooting Device\n"));
        if (!c.skip) {
            EXPECT_THAT(
                log.Text(),
                HasSubstr("NETWORK: Link still up 5000 ms after REBOOT; no longer waiting.\n"));
        }
        module.reset();
    }
}

// --- The whole road ---------------------------------------------------------------------------

TEST_F(UpdaterEntityTest, LoaderThenFirmwareThenReboot) {
    SimUpgradeConfig config;
    config.blockSize = 256;
    config.newFirmwareBuild = 300;
    Start(config, false, true);
    const auto loader = sBlock(0x10000000, 90, 3);
    const auto firmware = sBlock(0x0, 1500, 5);

    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(loader.data(), uint32_t(loader.size()), 0, blockSize),
              aErrNone);
    ASSERT_EQ(entity.LoaderTransfer(loader.data(), uint32_t(loader.size())), aErrNone);
    ASSERT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_EQ(sLoaderBytes(*upgrade, 0x10000000, 90), sImage(loader));

    UpdaterEntity firmwarePhase;
    firmwarePhase.init(module.get(), 0, true, false);
    ASSERT_EQ(
        firmwarePhase.TransferPrepare(firmware.data(), uint32_t(firmware.size()), 1, blockSize),
        aErrNone);
    ASSERT_EQ(firmwarePhase.FirmwareTransfer(firmware.data(), uint32_t(firmware.size()), blockSize,
                                             display),
              aErrNone);
    EXPECT_EQ(upgrade->FlashBytes(0x0, 1500), sImage(firmware));
    EXPECT_EQ(firmwarePhase.LoaderReboot(display), aErrNone);
    EXPECT_EQ(upgrade->Restarts(), 2u);
    EXPECT_FALSE(upgrade->InLoader());
}

}  // namespace
