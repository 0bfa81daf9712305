// The update command (-U, -G -U, -U -r) of the Updater program against simulated modules that
// speak the upgrade command set: on the emulated USB bus (usb-sim), behind a routing module, and
// over TCP/IP on the far side of a veth pair. Compares console text, exit status, the device's
// settings, and the simulated module's flash byte for byte with the image that was meant to land.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "UpdateServerSim.h"

using e2e::FarSim;
using e2e::kBinDir;
using e2e::kVersionLine;
using e2e::Lines;
using servertest::SimServer;
using testsupport::PrivateNetwork;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

const std::string kSerial = "1A2B3C4D";
const std::string kRouter = "D272031D";
constexpr unsigned kLoaderAddress = 0x10000000;
constexpr unsigned kFirmwareAddress = 0x0;
constexpr unsigned kSerialWord = 0x100;  // where a generic image keeps the serial number
constexpr unsigned kSerialText = 0x200;  // and its 8-character UTF-16LE descriptor

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Image bytes that differ per build and per part.
std::string Pattern(size_t size, unsigned seed) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += char((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

// A firmware build as the update server and the store hold it.
struct Build {
    unsigned number = 101;
    std::string version = "1.3.0";
    std::string model = "Beryl";
    std::string serial = kSerial;  // the info block's serial number
    bool generic = false;          // serial-number locations: patched with the module's
    size_t firmwareSize = 1500;

    std::string Loader() const { return Pattern(300, number + 1000); }
    std::string Firmware() const { return Pattern(firmwareSize, number); }

    // The firmware as it must land in a module with serial number `serial` (hex text).
    std::string Installed(const std::string& moduleSerial) const {
        std::string image = Firmware();
        if (!generic) return image;
        const uint32_t value = uint32_t(std::stoul(moduleSerial, nullptr, 16));
        for (int i = 0; i < 4; ++i) image[kSerialWord + i] = char(value >> (8 * i));
        for (int i = 0; i < 8; ++i) image[kSerialText + 2 * i] = moduleSerial[i];
        return image;
    }

    // Writes the BIRD file to `path` with the simulators' own writer.
    void Write(const std::string& path, const std::string& scratch) const {
        WriteBytes(scratch + "/loader.bin", Loader());
        WriteBytes(scratch + "/firmware.bin", Firmware());
        Strings argv = {kBinDir + "/bird-writer",
                        "-o",
                        path,
                        "-m",
                        model,
                        "-s",
                        serial,
                        "-v",
                        version,
                        "-b",
                        std::to_string(number),
                        "-l",
                        scratch + "/loader.bin@" + std::to_string(kLoaderAddress),
                        "-f",
                        scratch + "/firmware.bin@" + std::to_string(kFirmwareAddress)};
        if (generic)
            argv.insert(argv.end(),
                        {"-g", std::to_string(kSerialWord) + "," + std::to_string(kSerialText)});
        ProcessResult r = RunProcess(argv);
        ASSERT_EQ(r.exit_status, 0) << r.err;
    }
};

// The console lines of a successful update of one loader block and one firmware block, without
// the last line (the elapsed time).
Strings SuccessLines(const std::string& source, const Build& build) {
    const std::string loader = std::to_string(build.Loader().size() + 4);
    const std::string firmware = std::to_string(build.Firmware().size() + 4);
    return {source,
            "Transferring loader to device",
            "Transferring loader block 1 of 1, " + loader + " bytes",
            "Transferred 1 blocks, " + loader + " total bytes",
            "Starting Load on Device",
            "Transferring firmware block 1 of 1, " + firmware + " bytes",
            "Transferred 1 blocks, " + firmware + " total bytes"};
}

// Checks that `out` is the version line, `expected`, then the elapsed-time line (and whatever
// a script printed after it, returned).
Strings ExpectUpdated(const std::string& out, const Strings& expected) {
    Strings lines = Lines(out);
    EXPECT_GE(lines.size(), expected.size() + 2) << out;
    if (lines.size() < expected.size() + 2) return {};
    EXPECT_EQ(lines[0], kVersionLine);
    EXPECT_EQ(Strings(lines.begin() + 1, lines.begin() + 1 + long(expected.size())), expected);
    EXPECT_TRUE(std::regex_match(lines[expected.size() + 1],
                                 std::regex("Update time: [0-9]+\\.[0-9]{4} sec")))
        << lines[expected.size() + 1];
    return Strings(lines.begin() + long(expected.size()) + 2, lines.end());
}

class UpdateCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string device = serverRoot_.path() + "/" + kSerial;
        fs::create_directories(device);
        std::ofstream(device + "/device.txt")
            << "firmware=beryl-fw\nlatest=" << newest_.number << "\n";
        std::ofstream(device + "/builds.txt") << "100;1.2.0\n"
                                              << newest_.number << ";" << newest_.version << "\n";
        older_.number = 100;
        older_.version = "1.2.0";
        older_.Write(device + "/100.bird", scratch_.path());
        newest_.Write(device + "/101.bird", scratch_.path());
        server_ = std::make_unique<SimServer>(Strings{"--root", serverRoot_.path()});
    }

    std::string DeviceFolder(const std::string& serial = kSerial) const {
        return store_.path() + "/updater/" + serial;
    }
    std::string Settings(const std::string& serial = kSerial) const {
        return ReadFile(DeviceFolder(serial) + "/.settings");
    }
    // Puts a server build into the store, as an earlier download did.
    void Store(const Build& build) {
        fs::create_directories(DeviceFolder());
        fs::copy_file(
            serverRoot_.path() + "/" + kSerial + "/" + std::to_string(build.number) + ".bird",
            DeviceFolder() + "/" + std::to_string(build.number) + ".bird");
    }
    void WriteSettings(const std::string& text) {
        fs::create_directories(DeviceFolder());
        std::ofstream(DeviceFolder() + "/.settings") << text;
    }
    std::string FlashPath(const std::string& serial = kSerial) const {
        return scratch_.path() + "/flash-" + serial + ".bin";
    }
    std::string ReportPath() const { return scratch_.path() + "/report.txt"; }

    // The Updater arguments with the loopback server and the private store.
    Strings UpdaterArgs(Strings args, const std::string& url = "") const {
        args.insert(args.begin(), UPDATER_BIN);
        args.insert(args.end(), {"-u", url.empty() ? server_->Url() : url, "-i", store_.path()});
        return args;
    }

    // Runs `commands` (each an Updater argument list, given `url` or the loopback server) one
    // after another, a second apart, under usb-sim with the module kSerial (model 4, firmware
    // 1.2.0 build 100, running newest_ after its reboot) and `bus` options; stops at the first
    // that fails.
    ProcessResult UnderUsbSim(const std::vector<Strings>& commands, const Strings& bus = {},
                              const std::string& url = "") {
        Strings argv = {kBinDir + "/usb-sim",
                        "--module",
                        kSerial + ":4",
                        "--firmware",
                        kSerial + ":1.2.0:100",
                        "--upgrade-to",
                        kSerial + ":" + newest_.version + ":" + std::to_string(newest_.number),
                        "--flash",
                        kSerial + ":" + FlashPath()};
        argv.insert(argv.end(), bus.begin(), bus.end());
        std::string script;
        for (const Strings& command : commands) {
            std::string line;
            for (const std::string& a : UpdaterArgs(command, url))
                line += (line.empty() ? "'" : " '") + a + "'";
            // A module that just rebooted is off the bus for a moment, as a real one is.
            script += (script.empty() ? "" : " && sleep 1 && ") + line;
        }
        argv.insert(argv.end(), {"--", "/bin/sh", "-c", script});
        return RunProcess(argv, {{"HOME", store_.path()}}, std::chrono::seconds(180));
    }

    TempDir serverRoot_;
    TempDir store_;
    TempDir scratch_;
    Build older_;
    Build newest_;
    std::unique_ptr<SimServer> server_;
};

// --- The build to install ---------------------------------------------------------------------

TEST_F(UpdateCommand, InstallsTheNewestStoredBuildAndTheModuleThenRunsIt) {
    Store(newest_);
    ProcessResult r = UnderUsbSim({{"-U", "-d", kSerial}, {"-D"}});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    Strings rest = ExpectUpdated(r.out, SuccessLines("Updating firmware with build: 101", newest_));
    ASSERT_EQ(rest.size(), 5u) << r.out;
    EXPECT_EQ(rest[4], "    1A2B3C4D  02       02      Beryl          1.3.0 (101)");
    EXPECT_EQ(ReadFile(FlashPath()), newest_.Installed(kSerial));
    EXPECT_EQ(ReadFile(FlashPath() + ".loader"), newest_.Loader());
    EXPECT_NE(Settings().find("LATEST_TRANSFER=101.bird\n"), std::string::npos) << Settings();
    EXPECT_NE(Settings().find("LAST_TRANSFER_DATE="), std::string::npos) << Settings();
}

TEST_F(UpdateCommand, LoaderUnderTheDefaultSerialNumberIsFoundAgain) {
    Store(newest_);
    // The loader shows up on the bus as DEADDEAD; the firmware comes back under the module's own.
    ProcessResult r = UnderUsbSim({{"-U", "-d", kSerial, "-X", "0x100"}, {"-D"}},
                                  {"--loader-serial", kSerial + ":DEADDEAD"});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5\n"),
              std::string::npos)
        << r.err.substr(0, 3000);
    Strings rest = ExpectUpdated(r.out, SuccessLines("Updating firmware with build: 101", newest_));
    ASSERT_EQ(rest.size(), 5u) << r.out;
    EXPECT_EQ(rest[4], "    1A2B3C4D  02       02      Beryl          1.3.0 (101)");
    EXPECT_EQ(ReadFile(FlashPath()), newest_.Installed(kSerial));
}

TEST_F(UpdateCommand, DownloadThenUpdateInstallsExactlyTheDownloadedBuild) {
    ProcessResult r = UnderUsbSim({{"-G", "-U", "-d", kSerial, "-b", "100"}});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::string out = r.out;
    const size_t at = out.find("Updating firmware with build: 100\n");
    ASSERT_NE(at, std::string::npos) << out;
    ExpectUpdated(kVersionLine + "\n" + out.substr(at),
                  SuccessLines("Updating firmware with build: 100", older_));
    EXPECT_EQ(ReadFile(FlashPath()), older_.Installed(kSerial));
    EXPECT_NE(Settings().find("LATEST_DOWNLOAD=100.bird\n"), std::string::npos) << Settings();
    EXPECT_NE(Settings().find("LATEST_TRANSFER=100.bird\n"), std::string::npos) << Settings();
}

struct ChoiceCase {
    const char* name;
    bool serverUp;
    bool storeNewest;
    std::string settings;
    Strings lines;  // before the update's own lines; empty: no update at all
    unsigned installed;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.name;
}

class BuildChoice : public UpdateCommand, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(BuildChoice, FollowsTheServerTheDownloadAndTheTransfer) {
    const ChoiceCase& c = GetParam();
    if (c.storeNewest) Store(newest_);
    Store(older_);
    if (!c.settings.empty()) WriteSettings(c.settings);
    const std::string url = c.serverUp ? "" : "http://127.0.0.1:1/cgi/u";  // nobody listens
    ProcessResult r = UnderUsbSim({{"-U", "-d", kSerial}}, {}, url);

    if (c.installed == 0) {
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, kVersionLine + "\n");
        EXPECT_EQ(r.err, "Could not find valid build for this device.\n");
        EXPECT_EQ(ReadFile(FlashPath()), "");
        return;
    }
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const Build& build = c.installed == newest_.number ? newest_ : older_;
    Strings expected = c.lines;
    const Strings update =
        SuccessLines("Updating firmware with build: " + std::to_string(c.installed), build);
    expected.insert(expected.end(), update.begin(), update.end());
    ExpectUpdated(r.out, expected);
    EXPECT_EQ(ReadFile(FlashPath()), build.Installed(kSerial));
}

const char kNewAvailable[] =
    "New firmware is available.  Updater will proceed if valid firmware is found locally.";

INSTANTIATE_TEST_SUITE_P(
    Choices, BuildChoice,
    ::testing::Values(ChoiceCase{"NewestStored", true, true, "LATEST_DOWNLOAD=100.bird\n", {}, 101},
                      ChoiceCase{"NewestMissingLatestDownload",
                                 true,
                                 false,
                                 "LATEST_DOWNLOAD=100.bird\n",
                                 {kNewAvailable, "Updating with the Latest Download"},
                                 100},
                      ChoiceCase{"ServerDownLatestTransfer",
                                 false,
                                 true,
                                 "LATEST_TRANSFER=100.bird\n",
                                 {"Updating with the Latest Transfer"},
                                 100},
                      ChoiceCase{"ServerDownNothingRecorded", false, true, "", {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateCommand, ByteArrayTransferWhenAskedForAndOffered) {
    Store(newest_);
    ProcessResult r =
        UnderUsbSim({{"-U", "-d", kSerial, "-m", "-X", "0x400"}}, {"--byte-array", kSerial});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    // The module offered the byte-array path and pooled packets, and the tool took both.
    EXPECT_NE(r.err.find("NETWORK: CheckUEIDataSupport: Error: 0\n"), std::string::npos);
    EXPECT_NE(r.err.find("NETWORK: Protocol Version: -2147483648 Error: 0\n"), std::string::npos)
        << r.err.substr(0, 2000);
    ExpectUpdated(r.out, SuccessLines("Updating firmware with build: 101", newest_));
    EXPECT_EQ(ReadFile(FlashPath()), newest_.Installed(kSerial));
}

TEST_F(UpdateCommand, OnATerminalTheProgressBarAndTheSpinnerShow) {
    Store(newest_);
    std::string command;
    for (const std::string& a : UpdaterArgs({"-U", "-d", kSerial})) command += " '" + a + "'";
    // script(1) gives the Updater a pseudo-terminal as its standard output.
    ProcessResult r = RunProcess({kBinDir + "/usb-sim", "--module", kSerial + ":4", "--", "script",
                                  "-qec", command, "/dev/null"},
                                 {{"HOME", store_.path()}}, std::chrono::seconds(120));

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(100% )"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(Verifying Update)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
}

// --- A file given with -f -------------------------------------------------------------------

TEST_F(UpdateCommand, GivenFileIsInstalledAndRecordedAsGivenInANewDeviceFolder) {
    const std::string file = scratch_.path() + "/given.bird";
    newest_.Write(file, scratch_.path());
    ASSERT_FALSE(fs::exists(DeviceFolder()));

    ProcessResult r = UnderUsbSim({{"-U", "-d", kSerial, "-f", file}});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    ExpectUpdated(r.out, SuccessLines("Updating from Birdfile: " + file, newest_));
    EXPECT_EQ(ReadFile(FlashPath()), newest_.Installed(kSerial));
    EXPECT_NE(Settings().find("LATEST_TRANSFER=" + file + "\n"), std::string::npos) << Settings();
    EXPECT_TRUE(server_->Requests().empty()) << "a given file needs no server";
}

TEST_F(UpdateCommand, GenericImageGetsTheModulesSerialNumberInMemoryOnly) {
    Build generic = newest_;
    generic.generic = true;
    generic.serial = "00000000";
    const std::string file = scratch_.path() + "/generic.bird";
    generic.Write(file, scratch_.path());
    const std::string before = ReadFile(file);

    ProcessResult r = UnderUsbSim({{"-U", "-d", kSerial, "-f", file}});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::string flash = ReadFile(FlashPath());
    EXPECT_EQ(flash, generic.Installed(kSerial));
    EXPECT_NE(flash, generic.Firmware());
    EXPECT_EQ(ReadFile(file), before) << "the file itself is never changed";
}

struct ValidationCase {
    const char* name;
    std::string model;
    std::string serial;
    bool override;
    std::string error;  // empty: the update goes through
};

void PrintTo(const ValidationCase& c, std::ostream* os) {
    *os << c.name;
}

class Validation : public UpdateCommand, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(Validation, FileMustBelongToTheModuleUnlessOverridden) {
    const ValidationCase& c = GetParam();
    Build build = newest_;
    build.model = c.model;
    build.serial = c.serial;
    const std::string file = scratch_.path() + "/other.bird";
    build.Write(file, scratch_.path());
    Strings args = {"-U", "-d", kSerial, "-f", file};
    if (c.override) args.push_back("-OVERRIDE");

    ProcessResult r = UnderUsbSim({args});

    if (!c.error.empty()) {
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, kVersionLine + "\nUpdating from Birdfile: " + file + "\n");
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(ReadFile(FlashPath()), "");
        EXPECT_FALSE(fs::exists(DeviceFolder() + "/.settings")) << "nothing is recorded";
        return;
    }
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    ExpectUpdated(r.out, SuccessLines("Updating from Birdfile: " + file, build));
    EXPECT_EQ(ReadFile(FlashPath()), build.Installed(kSerial));
}

INSTANTIATE_TEST_SUITE_P(
    Files, Validation,
    ::testing::Values(
        ValidationCase{"OtherModel", "Dolomite", kSerial, false,
                       "Connected device model and Bird file model do not match [Beryl] (0)\n"
                       "Birdfile failed validation\n"},
        ValidationCase{"OtherSerial", "Beryl", "0BADBEEF", false, "Birdfile failed validation\n"},
        ValidationCase{"OtherModelOverridden", "Dolomite", kSerial, true, ""},
        ValidationCase{"OtherSerialOverridden", "Beryl", "0BADBEEF", true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct UnreachableCase {
    const char* name;
    Strings args;  // after -U -f FILE
    std::string error;
};

void PrintTo(const UnreachableCase& c, std::ostream* os) {
    *os << c.name;
}

class Unreachable : public UpdateCommand, public ::testing::WithParamInterface<UnreachableCase> {};

TEST_P(Unreachable, EndsWithItsMessageAndTouchesNothing) {
    const UnreachableCase& c = GetParam();
    const std::string file = scratch_.path() + "/given.bird";
    newest_.Write(file, scratch_.path());
    Strings args = {"-U", "-f", c.args.empty() ? file + ".missing" : file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.args.empty()) args.insert(args.end(), {"-d", kSerial});

    ProcessResult r = UnderUsbSim(
        {args}, {"--module", kRouter + ":4", "--submodule", kRouter + ":4:2181F0EE:13"});

    EXPECT_EQ(r.exit_status, 1) << r.out;
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(r.out.find("Transferring"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(FlashPath()), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Unreachable,
    ::testing::Values(
        UnreachableCase{"FileMissing", {}, "Failed to load bird file\n"},
        UnreachableCase{
            "ModuleNotThere", {"-d", "0BADBEEF"}, "Failed to connect to module [0BADBEEF]\n"},
        UnreachableCase{"RouterNotThere",
                        {"-d", kSerial, "-r", "0BADBEEF"},
                        "Unable to find modules on Network\n"},
        UnreachableCase{"ModuleNotBehindTheRouter",
                        {"-d", kSerial, "-r", kRouter},
                        "Module address required for indirect firmware update, could not find "
                        "serial number [0x1A2B3C4D] on network\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Faults of the module ---------------------------------------------------------------------

TEST_F(UpdateCommand, ABlockWhoseChecksumFailsOnceIsSentAgain) {
    Store(newest_);
    ProcessResult r =
        UnderUsbSim({{"-U", "-d", kSerial}}, {"--upgrade-fault", kSerial + ":bad-sum:1"});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    Strings expected = SuccessLines("Updating firmware with build: 101", newest_);
    const std::string block = expected[5];
    expected.insert(expected.begin() + 6, {block, "  Retry 1"});
    ExpectUpdated(r.out, expected);
    EXPECT_EQ(ReadFile(FlashPath()), newest_.Installed(kSerial));
}

TEST_F(UpdateCommand, ABlockThatFailsFiveTimesEndsTheUpdateAndNothingIsRecorded) {
    Store(newest_);
    ProcessResult r =
        UnderUsbSim({{"-U", "-d", kSerial}}, {"--upgrade-fault", kSerial + ":bad-sum:5"});

    EXPECT_EQ(r.exit_status, 1);
    Strings lines = Lines(r.out);
    Strings expected = SuccessLines("Updating firmware with build: 101", newest_);
    const std::string block = expected[5];
    expected.resize(5);
    expected.insert(expected.begin(), kVersionLine);
    expected.push_back(block);
    for (int retry = 1; retry <= 4; ++retry)
        expected.insert(expected.end(), {block, "  Retry " + std::to_string(retry)});
    expected.push_back("Transferred 0 blocks, 0 total bytes");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(Settings().find("LATEST_TRANSFER=101"), std::string::npos) << Settings();
}

TEST_F(UpdateCommand, AModuleThatNeverComesBackAfterLoadFailsTheUpdate) {
    Store(newest_);
    ProcessResult r =
        UnderUsbSim({{"-U", "-d", kSerial}}, {"--upgrade-fault", kSerial + ":no-return"});

    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(FlashPath()), "");
    EXPECT_EQ(Settings().find("LATEST_TRANSFER=101"), std::string::npos) << Settings();
}

// --- Through a routing module -------------------------------------------------------------------

TEST_F(UpdateCommand, ModuleBehindARouterIsFoundAndUpdatedThroughIt) {
    const std::string sub = "2181F0EE";
    Build build = newest_;
    build.model = "Dolomite";
    build.serial = sub;
    const std::string file = scratch_.path() + "/sub.bird";
    build.Write(file, scratch_.path());

    ProcessResult r =
        UnderUsbSim({{"-U", "-d", sub, "-r", kRouter, "-f", file}, {"-D", "-r", kRouter}},
                    {"--module", kRouter + ":4", "--address", kRouter + ":6", "--submodule",
                     kRouter + ":4:" + sub + ":13", "--upgrade-to", sub + ":1.3.0:101", "--flash",
                     sub + ":" + FlashPath(sub), "--report", ReportPath()});

    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    Strings rest = ExpectUpdated(r.out, SuccessLines("Updating from Birdfile: " + file, build));
    ASSERT_FALSE(rest.empty()) << r.out;
    EXPECT_EQ(rest.back(), "    2181F0EE  04       06      Dolomite       1.3.0 (101)");
    EXPECT_EQ(ReadFile(FlashPath(sub)), build.Installed(sub));
    EXPECT_EQ(ReadFile(FlashPath()), "") << "the module beside the router is left alone";
    bool routerSeen = false;
    for (const std::string& line : Lines(ReadFile(ReportPath()))) {
        if (line.rfind(kRouter + " ", 0) != 0) continue;
        routerSeen = true;
        EXPECT_EQ(line.rfind(kRouter + " route-to-host off", 0), 0u) << line;
    }
    EXPECT_TRUE(routerSeen) << "the router's routing state is reported";
}

// --- Over TCP/IP --------------------------------------------------------------------------------

TEST_F(UpdateCommand, ModuleOnTheNetworkIsUpdatedOverTcp) {
    const std::string why = PrivateNetwork::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    PrivateNetwork net;
    net.AddFarSide();
    const std::string file = scratch_.path() + "/tcp.bird";
    newest_.Write(file, scratch_.path());
    auto module = std::make_unique<FarSim>(
        net, Strings{"--serial", kSerial, "--model", "4", "--version", "1.2.0", "--build", "100",
                     "--upgrade-to", "1.3.0:101", "--flash", FlashPath()});

    ProcessResult r = RunProcess(UpdaterArgs({"-U", "-d", kSerial, "-f", file}),
                                 {{"HOME", store_.path()}}, std::chrono::seconds(120));

    EXPECT_TRUE(module->Stop());
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    ExpectUpdated(r.out, SuccessLines("Updating from Birdfile: " + file, newest_));
    EXPECT_EQ(ReadFile(FlashPath()), newest_.Installed(kSerial));
    EXPECT_EQ(ReadFile(FlashPath() + ".loader"), newest_.Loader());
}

}  // namespace
