// The modules behind usb-sim: their options, and what each emulated device is answered by,
// including the firmware-upgrade far end: its options, the flash images written at the end and
// the restarts of sub-modules on their router's bus. (usb-sim itself runs a host-side upgrade
// in tessaline_sim_test.cpp, and the real Updater in the end-to-end tests.)

#include "SimUsbModules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "Process.h"
#include "SimTestSupport.h"
#include "aVersion.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using sim::usb::UsbDeviceConfig;
using sim::usb::UsbSimOptions;
using simtest::Bytes;
using simtest::Hex;

UsbDeviceConfig sModule(const std::string& serial, uint16_t product) {
    UsbDeviceConfig config;
    config.serial = serial;
    config.productId = product;
    return config;
}

UsbSimOptions sOptions(std::vector<std::pair<std::string, std::string>> extra) {
    UsbSimOptions options;
    options.modules = {sModule("1A2B3C4D", 0x0104), sModule("D272031D", 4), sModule("xyz", 7)};
    options.extra = std::move(extra);
    return options;
}

TEST(SimUsbModules, ModulesTakeSerialModelAddressAndFirmware) {
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(
                  sOptions({{"--firmware", "1A2B3C4D:1.2.3:4567"}, {"--address", "1A2B3C4D:6"}})),
              "");
    for (const UsbDeviceConfig& config : sOptions({}).modules)
        EXPECT_NE(modules.Behaviour(config), nullptr) << config.serial;
    EXPECT_EQ(modules.Behaviour(sModule("00000001", 4)), nullptr);

    const SimModuleConfig first = modules.Device("1A2B3C4D")->module->Config();
    EXPECT_EQ(first.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(first.model, 4);  // low byte of the product
    EXPECT_EQ(first.address, 6);
    EXPECT_EQ(first.firmwareVersion, aVersion_Pack(1, 2, 3));
    EXPECT_EQ(first.firmwareBuild, 4567u);
    EXPECT_EQ(modules.Device("xyz")->module->Config().serialNumber, 0u);  // not hex
    EXPECT_EQ(modules.Network("1A2B3C4D"), nullptr);
    EXPECT_EQ(modules.Finish(), "");
}

TEST(SimUsbModules, SubModulesMakeARouterAndTakeItsFirmwareUnlessTold) {
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--submodule", "D272031D:4:2181F0EE:13"},
                                          {"--submodule", "D272031D:8:B008:4"},
                                          {"--firmware", "B008:3.4.5:99"},
                                          {"--firmware", "D272031D:2.0.1:10"}})),
              "");
    ASSERT_NE(modules.Behaviour(sModule("D272031D", 4)), nullptr);

    SimRoutedNetwork* network = modules.Network("D272031D");
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(network->SubModules().size(), 2u);
    const SimDevice& first = *network->SubModules()[0];
    const SimDevice& second = *network->SubModules()[1];
    EXPECT_EQ(first.module->Config().serialNumber, 0x2181F0EEu);
    EXPECT_EQ(first.module->Config().address, 4);
    EXPECT_EQ(first.module->Config().model, 13);
    EXPECT_EQ(first.module->Config().firmwareVersion, aVersion_Pack(2, 0, 1));
    EXPECT_EQ(first.module->Config().firmwareBuild, 10u);
    EXPECT_EQ(second.module->Config().firmwareVersion, aVersion_Pack(3, 4, 5));
    EXPECT_EQ(second.module->Config().firmwareBuild, 99u);
    EXPECT_EQ(first.system->Value(kSysRouter), 2u);  // the router's address
    EXPECT_EQ(
        modules.ReportLines(),
        (std::vector<std::string>{"D272031D route-to-host off route-to-me-sets 0 i2c-writes -",
                                  "2181F0EE route-to-host off route-to-me-sets 0",
                                  "0000B008 route-to-host off route-to-me-sets 0"}));
}

TEST(SimUsbModules, FinishWritesTheReportOfTheModulesBuilt) {
    testsupport::TempDir dir;
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--report", dir.path() + "/report.txt"}})), "");
    modules.Behaviour(sModule("1A2B3C4D", 4));

    EXPECT_EQ(modules.Finish(), "");
    EXPECT_EQ(testsupport::ReadFile(dir.path() + "/report.txt"),
              "1A2B3C4D route-to-host off route-to-me-sets 0\n");
}

TEST(SimUsbModules, BadOptionsAreNamed) {
    const struct {
        std::pair<std::string, std::string> option;
        const char* error;
    } cases[] = {
        {{"--firmware", "1A2B3C4D:1.2:5"},
         "--firmware: bad version or build in \"1A2B3C4D:1.2:5\""},
        {{"--firmware", "1A2B3C4D:1.2.3"},
         "--firmware: expected SERIAL:X.Y.Z:BUILD, got \"1A2B3C4D:1.2.3\""},
        {{"--firmware", "nope:1.2.3:4"}, "--firmware: no module \"nope\""},
        {{"--address", "1A2B3C4D:3"}, "--address: address must be even, 2 to 254, got \"3\""},
        {{"--address", "0000FFFF:4"}, "--address: no module \"0000FFFF\""},
        {{"--submodule", "D272031D:2:B002:4"},
         "--submodule: address must be even, 2 to 254, and not the router's, got \"2\""},
        {{"--submodule", "D272031D:4:0:4"},
         "--submodule: serial number must be 1 to 8 hex digits, not 0"},
        {{"--submodule", "D272031D:4:B004:256"}, "--submodule: model must be 0 to 255"},
        {{"--submodule", "D272031D:4:B004"},
         "--submodule: expected SERIAL:ADDRESS:SUB:MODEL, got \"D272031D:4:B004\""},
        {{"--report", ""}, "--report: needs a file name"},
        {{"--upgrade-to", "1A2B3C4D:1.2.3"},
         "--upgrade-to: bad version or build in \"1A2B3C4D:1.2.3\""},
        {{"--upgrade-to", "1A2B3C4D"},
         "--upgrade-to: expected SERIAL:X.Y.Z:BUILD, got \"1A2B3C4D\""},
        {{"--upgrade-to", "1a2b3c4d:1.2.3:4"}, "--upgrade-to: no module \"1a2b3c4d\""},
        {{"--block-size", "1A2B3C4D:0"}, "--block-size: block size must be 1 to 65535, got \"0\""},
        {{"--block-size", "1A2B3C4D:65536"},
         "--block-size: block size must be 1 to 65535, got \"65536\""},
        {{"--block-size", "1A2B3C4D"}, "--block-size: expected SERIAL:N, got \"1A2B3C4D\""},
        {{"--byte-array", "1A2B3C4D:yes"}, "--byte-array: expected SERIAL, got \"1A2B3C4D:yes\""},
        {{"--byte-array", "B008"}, "--byte-array: no module \"B008\""},
        {{"--flash", "1A2B3C4D:"}, "--flash: needs a file name"},
        {{"--flash", "nope:f.bin"}, "--flash: no module \"nope\""},
        {{"--upgrade-fault", "1A2B3C4D:explode"},
         "--upgrade-fault: unknown fault \"explode\" (bad-sum[:N], refuse-prepare, no-return or "
         "lose-load)"},
        {{"--upgrade-fault", "1A2B3C4D:bad-sum:0"},
         "--upgrade-fault: unknown fault \"bad-sum:0\" (bad-sum[:N], refuse-prepare, no-return "
         "or lose-load)"},
        {{"--upgrade-fault", "xyz"}, "--upgrade-fault: expected SERIAL:KIND[:N], got \"xyz\""},
        {{"--loader-serial", "1A2B3C4D:0"},
         "--loader-serial: serial number must be 1 to 8 hex digits, not 0, got \"0\""},
        {{"--loader-serial", "1A2B3C4D:XYZ"},
         "--loader-serial: serial number must be 1 to 8 hex digits, not 0, got \"XYZ\""},
    };
    for (const auto& c : cases) {
        SimUsbModules modules;
        EXPECT_EQ(modules.Configure(sOptions({c.option})), c.error);
    }
    SimUsbModules twice;
    EXPECT_EQ(twice.Configure(sOptions(
                  {{"--submodule", "D272031D:4:B004:4"}, {"--submodule", "D272031D:4:B005:4"}})),
              "--submodule: two modules at address 4");
    SimUsbModules clash;
    EXPECT_EQ(clash.Configure(sOptions({{"--submodule", "D272031D:4:xyz:4"}})),
              "--submodule: a module \"xyz\" exists already");
}

// --- The firmware-upgrade far end ---------------------------------------------------------------

// Upgrade options name a module, or a sub-module by its SUB text exactly as given.
TEST(SimUsbModules, UpgradeOptionsGoToTheModuleOrSubModuleNamed) {
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--upgrade-to", "B008:3.1.4:159"},
                                          {"--submodule", "D272031D:8:B008:4"},
                                          {"--block-size", "1A2B3C4D:64"},
                                          {"--byte-array", "B008"},
                                          {"--flash", "1A2B3C4D:out/a:b.bin"},
                                          {"--upgrade-fault", "B008:bad-sum:2"},
                                          {"--upgrade-fault", "B008:no-return"},
                                          {"--upgrade-fault", "xyz:lose-load"}})),
              "");
    const SimUpgradeOptions* module = modules.UpgradeOptions("1A2B3C4D");
    const SimUpgradeOptions* sub = modules.UpgradeOptions("B008");
    const SimUpgradeOptions* other = modules.UpgradeOptions("xyz");
    ASSERT_TRUE(module && sub && other);
    EXPECT_EQ(modules.UpgradeOptions("0000B008"), nullptr);  // not the text given

    EXPECT_EQ(module->blockSize, 64);
    EXPECT_EQ(module->flashPath, "out/a:b.bin");
    EXPECT_EQ(module->newFirmwareVersion, 0u);
    EXPECT_FALSE(module->byteArray);
    EXPECT_EQ(sub->newFirmwareVersion, aVersion_Pack(3, 1, 4));
    EXPECT_EQ(sub->newFirmwareBuild, 159u);
    EXPECT_EQ(sub->blockSize, 256);
    EXPECT_TRUE(sub->byteArray);
    EXPECT_EQ(sub->badSums, 2u);
    EXPECT_TRUE(sub->noReturn);
    EXPECT_TRUE(other->loseLoad);
    EXPECT_FALSE(other->noReturn);
}

// A module built by Behaviour, driven over the wire with a recording host attached to it.
class BuiltModule {
  public:
    BuiltModule(SimUsbModules& modules, const std::string& serial) {
        modules.Behaviour(sModule(serial, 4));
        device_ = modules.Device(serial);
        if (device_) device_->module->Attach(host_.Sink());
    }
    bool Built() const { return device_ != nullptr; }
    SimModule& Module() { return *device_->module; }
    // Sends the wire bytes `hex`, waits until the module is idle and returns what it answered.
    std::string Exchange(const std::string& hex) {
        host_.Clear();
        Send(hex);
        EXPECT_TRUE(device_->module->WaitIdle(10s));
        return Hex(host_.Bytes());
    }
    void Send(const std::string& hex) {
        std::vector<uint8_t> bytes = Bytes(hex);
        device_->module->Receive(bytes.data(), bytes.size());
    }
    // Waits up to `timeout` for the answers since the last Clear to contain `hex`; all of them.
    std::string WaitForAnswer(const std::string& hex, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Hex(host_.Bytes()).find(hex) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return Hex(host_.Bytes());
    }
    // Sends `hex` and waits for `answer` (a sub-module behind a router answers on its own
    // threads, after the router is idle); what came.
    std::string Ask(const std::string& hex, const std::string& answer,
                    std::chrono::milliseconds timeout = 5s) {
        host_.Clear();
        Send(hex);
        return WaitForAnswer(answer, timeout);
    }
    void Clear() { host_.Clear(); }
    // Re-attaches the host after the module hung up on a restart.
    void Reattach() { device_->module->Attach(host_.Sink()); }

  private:
    simtest::ByteRecorder host_;
    SimDevice* device_ = nullptr;
};

// A file's bytes as hex text ("" when empty or missing).
std::string sFileHex(const std::string& path) {
    const std::string content = testsupport::ReadFile(path);
    return Hex(std::vector<uint8_t>(content.begin(), content.end()));
}

// Waits up to 5 s for `condition`.
template <typename Condition>
bool sEventually(Condition condition) {
    for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

TEST(SimUsbModules, ModulesAnswerTheUpgradeCommandSetAsConfigured) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> options;
        std::vector<std::pair<const char*, const char*>> exchanges;  // request, answer
    } cases[] = {
        {"defaults",
         {},
         {{"02 02 5F 00", "02 06 5F 00 10 00 00 00"},
          {"02 07 5F 03 00 00 00 40 00", "02 05 5F 07 00 01 00"},
          // option 10 not offered: a non-zero status
          {"02 06 49 01 5F 0A 00 80", "02 06 49 01 5F 0A 00 1C"},
          {"02 03 03 6D 20", "02 07 03 2D 00 00 00 00 00"}}},
        {"block size",
         {{"--block-size", "1A2B3C4D:64"}},
         {{"02 07 5F 03 00 00 00 40 00", "02 05 5F 07 00 00 40"}}},
        {"refused prepare",
         {{"--upgrade-fault", "1A2B3C4D:refuse-prepare"}},
         {{"02 07 5F 03 00 00 00 40 00", "02 05 5F 07 01 01 00"},
          {"02 07 5F 03 00 00 00 40 00", "02 05 5F 07 01 01 00"}}},
        // bad sums are the loader's: the running firmware's stay right
        {"bad sums",
         {{"--upgrade-fault", "1A2B3C4D:bad-sum:2"}},
         {{"02 07 5F 03 00 00 00 40 00", "02 05 5F 07 00 01 00"},
          {"02 04 5F 01 01 02", "02 03 5F 01 02"},
          {"02 02 5F 04", "02 07 5F 07 00 00 00 00 03"}}},
        {"byte array",
         {{"--byte-array", "1A2B3C4D"}},
         {{"02 06 49 01 5F 0A 00 80", "02 06 49 01 5F 0A 00 00"},
          // protocol features (option 45): bit 31 set for pooled packets
          {"02 03 03 6D 20", "02 07 03 2D 00 80 00 00 00"}}},
    };
    for (const auto& c : cases) {
        SimUsbModules modules;
        ASSERT_EQ(modules.Configure(sOptions(c.options)), "") << c.name;
        BuiltModule module(modules, "1A2B3C4D");
        ASSERT_TRUE(module.Built());
        for (const auto& [request, answer] : c.exchanges)
            EXPECT_EQ(module.Exchange(request), answer) << c.name << ": " << request;
    }
}

// The flash image spans the lowest to the highest address committed, gaps erased (0xFF); the
// loader image holds what went into memory before LOAD. A module or sub-module with nothing
// committed, or never reached, gets empty files.
TEST(SimUsbModules, FinishWritesTheFlashAndLoaderImages) {
    testsupport::TempDir dir;
    const std::string module = dir.path() + "/module.bin";
    const std::string sub = dir.path() + "/sub.bin";
    const std::string never = dir.path() + "/never.bin";
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--submodule", "D272031D:4:B004:13"},
                                          {"--flash", "1A2B3C4D:" + module},
                                          {"--flash", "B004:" + sub},
                                          {"--flash", "xyz:" + never},
                                          {"--upgrade-fault", "1A2B3C4D:bad-sum"}})),
              "");
    modules.Behaviour(sModule("D272031D", 4));
    BuiltModule host(modules, "1A2B3C4D");
    ASSERT_TRUE(host.Built());

    // The running firmware takes a loader block into memory, then LOAD restarts it.
    EXPECT_EQ(host.Exchange("02 07 5F 03 01 10 00 00 00"), "02 05 5F 07 00 01 00");
    EXPECT_EQ(host.Exchange("02 05 5F 01 11 22 33"), "02 03 5F 01 03");
    EXPECT_EQ(host.Exchange("02 02 5F 04"), "02 07 5F 07 00 00 00 00 66");
    host.Exchange("02 02 5F 02");
    SimUpgrade* upgrade = modules.Upgrade("1A2B3C4D");
    ASSERT_NE(upgrade, nullptr);
    ASSERT_TRUE(sEventually([&] { return upgrade->InLoader() && !host.Module().IsAttached(); }));
    host.Reattach();
    // The loader commits two blocks with a gap between them; its first sum is off by one.
    const char* exchanges[][2] = {
        {"02 07 5F 03 00 00 00 01 00", "02 05 5F 07 00 01 00"},
        {"02 04 5F 01 AA BB", "02 03 5F 01 02"},
        {"02 02 5F 04", "02 07 5F 07 00 00 00 01 66"},
        {"02 02 5F 04", "02 07 5F 07 00 00 00 01 65"},
        {"02 04 5F 05 00 02", "02 03 5F 07 00"},
        {"02 07 5F 03 00 00 00 01 04", "02 05 5F 07 00 01 00"},
        {"02 03 5F 01 CC", "02 03 5F 01 01"},
        {"02 04 5F 05 00 01", "02 03 5F 07 00"},
    };
    for (const auto& [request, answer] : exchanges) EXPECT_EQ(host.Exchange(request), answer);

    EXPECT_EQ(modules.Finish(), "");
    EXPECT_EQ(sFileHex(module), "AA BB FF FF CC");
    EXPECT_EQ(sFileHex(module + ".loader"), "11 22 33");
    for (const std::string& empty : {sub, sub + ".loader", never, never + ".loader"}) {
        EXPECT_EQ(access(empty.c_str(), F_OK), 0) << empty;
        EXPECT_EQ(sFileHex(empty), "") << empty;
    }
}

TEST(SimUsbModules, AnUnwritableFlashFileIsNamed) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/missing/flash.bin";
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--flash", "1A2B3C4D:" + path}})), "");
    modules.Behaviour(sModule("1A2B3C4D", 4));
    EXPECT_EQ(modules.Finish(), "cannot write " + path);
    EXPECT_EQ(modules.Finish(), "");  // only the first call does anything
}

// A sub-module restarts without touching its router's link: it leaves the I2C network and comes
// back at its address, the loader answering LOAD once it is back, the new firmware after REBOOT;
// with no-return it stays away after LOAD.
TEST(SimUsbModules, SubModulesLeaveTheBusOnRestartAndComeBackAtTheirAddress) {
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--submodule", "D272031D:4:B004:13"},
                                          {"--submodule", "D272031D:6:B006:13"},
                                          {"--upgrade-to", "B004:3.1.4:159"},
                                          {"--upgrade-fault", "B006:no-return"}})),
              "");
    BuiltModule router(modules, "D272031D");
    ASSERT_TRUE(router.Built());
    SimUpgrade* sub = modules.Upgrade("B004");
    SimUpgrade* gone = modules.Upgrade("B006");
    ASSERT_TRUE(sub && gone);
    EXPECT_EQ(router.Exchange("02 04 03 94 20 01"), "02 04 03 D4 00 01");  // routeToMe on

    // LOAD: answered by the loader once it is back on the bus.
    router.Clear();
    router.Send("04 02 5F 02");
    EXPECT_EQ(router.WaitForAnswer("04 02 5F 02"), "04 02 5F 02");
    EXPECT_TRUE(sub->InLoader());
    EXPECT_EQ(sub->Restarts(), 1u);
    EXPECT_TRUE(router.Module().IsAttached());  // the router's own link stayed up
    const char* loaderExchanges[][2] = {
        {"04 07 5F 03 00 00 00 01 00", "04 05 5F 07 00 01 00"},
        {"04 03 5F 01 5A", "04 03 5F 01 01"},
        {"04 04 5F 05 00 01", "04 03 5F 07 00"},  // committed: only the loader does
    };
    for (const auto& [request, answer] : loaderExchanges)
        EXPECT_EQ(router.Ask(request, answer), answer);
    EXPECT_EQ(sub->FlashBytes(0x100, 1), Bytes("5A"));

    // REBOOT: back at the same address with the new firmware.
    router.Clear();
    router.Send("04 02 5F 06");
    ASSERT_TRUE(sEventually([&] { return sub->Restarts() == 2; }));
    const uint32_t version = aVersion_Pack(3, 1, 4);
    char expected[64];
    std::snprintf(expected, sizeof expected, "04 07 03 07 00 %02X %02X %02X %02X", version >> 24,
                  (version >> 16) & 0xFF, (version >> 8) & 0xFF, version & 0xFF);
    EXPECT_TRUE(
        sEventually([&] { return router.Ask("04 03 03 47 20", expected, 50ms) == expected; }));
    EXPECT_FALSE(sub->InLoader());
    EXPECT_EQ(router.Ask("04 02 49 FF", "04 06 49 FF 00 00 00 9F"), "04 06 49 FF 00 00 00 9F");

    // no-return: off the bus for good after LOAD (an I2C write there is not acknowledged), and
    // no LOAD reply ever comes.
    EXPECT_EQ(router.Exchange("02 07 08 00 06 02 03 00 00"), "02 05 08 00 06 00 00");
    router.Clear();
    router.Send("06 02 5F 02");
    ASSERT_TRUE(sEventually([&] { return gone->Restarts() == 1; }));
    std::this_thread::sleep_for(4 * SimSubModuleRestarts::kDowntime);
    EXPECT_EQ(router.WaitForAnswer("06 02 5F 02", 0ms).find("06 02 5F 02"), std::string::npos);
    EXPECT_EQ(router.Exchange("02 07 08 00 06 02 03 00 00"), "02 05 08 00 06 00 83");
    EXPECT_EQ(router.Ask("06 03 17 01 02", "06 03 17 01 02", 300ms), "");  // no echo either
    EXPECT_TRUE(router.Module().IsAttached());
}

}  // namespace
