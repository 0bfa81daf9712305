// The stand-alone simulator program: it announces where it listens, serves a host there and ends
// cleanly on SIGTERM or SIGINT. Then the firmware-upgrade far end of both simulator programs
// (tessaline-sim over TCP, usb-sim over the emulated USB bus), driven through the library's host
// side: a small upgrade whose flash file and new firmware are checked, and the faults that keep
// a module away.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Module.h"
#include "Process.h"
#include "SimTestSupport.h"
#include "SystemClass.h"
#include "aVersion.h"

namespace {

using namespace std::chrono_literals;
using simtest::Hex;

using Clock = std::chrono::steady_clock;

// tessaline-sim running with its standard output on a pipe.
class SimProgram {
  public:
    explicit SimProgram(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), TESSALINE_SIM_BIN);
        firstLine_ = process_.Start(arguments);
    }

    // The first line of standard output, without its line feed ("" when none came in 10 s).
    std::string FirstLine() const { return firstLine_; }

    // Sends `signal` and returns the exit status (-1 when the program did not exit by itself
    // within 10 s or was killed by a signal).
    int Stop(int signal) { return process_.Stop(signal, 10s); }

  private:
    testsupport::BackgroundProcess process_;
    std::string firstLine_;
};

std::string sExchange(int fd, const std::vector<uint8_t>& request, size_t answerSize) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return "write failed";
    std::vector<uint8_t> answer;
    const auto deadline = Clock::now() + 10s;
    while (answer.size() < answerSize && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        uint8_t byte;
        if (read(fd, &byte, 1) != 1) break;
        answer.push_back(byte);
    }
    return Hex(answer);
}

TEST(TessalineSimProgram, ServesTcpOnTheAnnouncedPortUntilSigterm) {
    SimProgram program({"--address", "8", "--heartbeat-ms", "0"});
    const std::string line = program.FirstLine();
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    ASSERT_GT(port, 0);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(sExchange(fd, {0xAD, 0x00}, 2), "08 00");
    close(fd);

    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

// A TCP connection to the program's announced port; -1 when none.
int sConnectToAnnounced(SimProgram& program) {
    const std::string line = program.FirstLine();
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(line.substr(prefix.size()))));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(TessalineSimProgram, IsARouterWithTheSubModulesGiven) {
    SimProgram program({"--serial", "A000", "--model", "4", "--heartbeat-ms", "0", "--submodule",
                        "4:B004:13", "--submodule", "6:B006:9"});
    const int fd = sConnectToAnnounced(program);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sExchange(fd, {0x02, 0x03, 0x03, 0x49, 0x20}, 9), "02 07 03 09 00 00 00 A0 00");
    EXPECT_EQ(sExchange(fd, {0x02, 0x07, 0x08, 0x00, 0x06, 0x02, 0x03, 0x00, 0x00}, 7),
              "02 05 08 00 06 00 00");
    EXPECT_EQ(sExchange(fd, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01}, 6), "02 04 03 D4 00 01");
    EXPECT_EQ(sExchange(fd, {0x06, 0x03, 0x03, 0x49, 0x20}, 9), "06 07 03 09 00 00 00 B0 06");
    EXPECT_EQ(sExchange(fd, {0x04, 0x03, 0x03, 0x48, 0x20}, 6), "04 04 03 08 00 0D");
    close(fd);
    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

TEST(TessalineSimProgram, BusyModuleRefusesItsSystemEntity) {
    SimProgram program({"--heartbeat-ms", "0", "--busy"});
    const int fd = sConnectToAnnounced(program);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sExchange(fd, {0x02, 0x03, 0x03, 0x49, 0x20}, 6), "02 04 03 09 80 05");
    EXPECT_EQ(sExchange(fd, {0x02, 0x03, 0x17, 0x01, 0x02}, 5), "02 03 17 01 02");
    close(fd);
    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

TEST(TessalineSimProgram, ServesAPtyAndSendsHeartbeatsUntilSigint) {
    SimProgram program({"--transport", "pty", "--heartbeat-ms", "20"});
    const std::string path = program.FirstLine();
    ASSERT_FALSE(path.empty());

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfmakeraw(&settings);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    tcflush(fd, TCIFLUSH);
    // Whatever is under way, a heartbeat comes whole: its four bytes are the first received
    // after the flush unless the flush cut one, so look for it in a short window.
    std::string seen = sExchange(fd, {}, 12);
    EXPECT_NE(seen.find("02 02 00 00"), std::string::npos) << seen;
    close(fd);

    EXPECT_EQ(program.Stop(SIGINT), 0);
}

TEST(TessalineSimProgram, RejectsABadOptionWithUsage) {
    testsupport::ProcessResult result =
        testsupport::RunProcess({TESSALINE_SIM_BIN, "--transport", "carrier-pigeon"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("bad value for --transport: carrier-pigeon"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("usage: tessaline-sim"), std::string::npos);
    EXPECT_EQ(result.out, "");
}

// --- The firmware-upgrade far end of both programs -------------------------------------------

using Quillmet::TessaLine::aWeaveConfig;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;

constexpr uint8_t kUpgradeCommand = 0x5F;
constexpr uint32_t kModuleSerial = 0x1A2B3C4D;
constexpr uint32_t kRouterSerial = 0xD272031D;
constexpr uint32_t kSubSerial = 0xB004;
constexpr uint8_t kSubAddress = 4;
constexpr uint16_t kBlockSize = 64;
constexpr uint32_t kNewBuild = 159;
const uint32_t kNewVersion = aVersion_Pack(3, 1, 4);
// Tells the test program, started by usb-sim as its command, to be the host of that case.
constexpr const char* kHostRole = "SIM_UPGRADE_HOST_CASE";

enum class Program { UsbSim, TessalineSim };

struct UpgradeCase {
    const char* name;
    Program program;
    bool routed;    // the module is a sub-module at kSubAddress behind a router
    bool noReturn;  // --upgrade-fault no-return: the host finds the module gone after LOAD
};

void PrintTo(const UpgradeCase& c, std::ostream* os) {
    *os << c.name;
}

const UpgradeCase kUpgradeCases[] = {
    {"UsbModule", Program::UsbSim, false, false},
    {"UsbSubModule", Program::UsbSim, true, false},
    {"TcpModule", Program::TessalineSim, false, false},
    {"UsbModuleNoReturn", Program::UsbSim, false, true},
    {"TcpModuleNoReturn", Program::TessalineSim, false, true},
};

struct ImageBlock {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> sPattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < length; ++i) bytes.push_back(uint8_t(seed + i * 7));
    return bytes;
}

const ImageBlock kLoader = {0x10000000, sPattern(40, 3)};
// Two firmware blocks with a gap between them; the first spans two block-size pieces.
const std::vector<ImageBlock> kFirmware = {{0x4000, sPattern(100, 11)}, {0x4080, sPattern(30, 90)}};

// The flash as the far end should write it: the blocks, the gap erased.
std::vector<uint8_t> sExpectedFlash() {
    const uint32_t first = kFirmware.front().address;
    const ImageBlock& last = kFirmware.back();
    std::vector<uint8_t> flash(last.address + last.bytes.size() - first, 0xFF);
    for (const ImageBlock& block : kFirmware)
        std::copy(block.bytes.begin(), block.bytes.end(), flash.begin() + (block.address - first));
    return flash;
}

using Clock = std::chrono::steady_clock;

// The host side of the upgrade command set through the library's raw packets. Every step
// returns "" on success, else what went wrong.
class UpgradeHost {
  public:
    explicit UpgradeHost(Module& module) : module_(module) {}

    // Sends 5F, `sub`, `data` and awaits the reply matched on 5F, `replySub` for up to `waits`
    // seconds; its payload goes to `reply`.
    std::string Request(uint8_t sub, std::vector<uint8_t> data, uint8_t replySub,
                        std::vector<uint8_t>* reply, int waits = 1) {
        data.insert(data.begin(), sub);
        aErr err = module_.getLink()->sendPacket(module_.getModuleAddress(), kUpgradeCommand,
                                                 uint8_t(data.size()), data.data());
        if (err != aErrNone) return "sending sub-command " + std::to_string(sub) + " failed";
        return Await(replySub, reply, waits);
    }
    std::string Await(uint8_t replySub, std::vector<uint8_t>* reply, int waits = 1) {
        uint8_t payload[28] = {kUpgradeCommand, replySub};
        for (int wait = 0; wait < waits; ++wait) {
            uint8_t length = 2;
            if (module_.getLink()->receivePacket(module_.getModuleAddress(), payload, &length,
                                                 payload) == aErrNone) {
                reply->assign(payload, payload + length);
                return "";
            }
        }
        return "no reply for sub-command " + std::to_string(replySub);
    }

    // PREPARE of a block at `address`; the announced block size goes to `blockSize`.
    std::string Prepare(uint8_t flags, uint32_t address, uint16_t* blockSize) {
        std::vector<uint8_t> reply;
        std::string error = Request(3,
                                    {flags, uint8_t(address >> 24), uint8_t(address >> 16),
                                     uint8_t(address >> 8), uint8_t(address)},
                                    7, &reply);
        if (!error.empty()) return error;
        if (reply.size() != 5 || reply[2] != 0) return "PREPARE refused: " + simtest::Hex(reply);
        *blockSize = uint16_t((reply[3] << 8) | reply[4]);
        return "";
    }

    // DATA in 26-byte packets, then SUM compared with the bytes' sum.
    std::string SendPiece(const uint8_t* bytes, size_t length) {
        uint32_t sum = 0;
        for (size_t at = 0; at < length; at += 26) {
            const std::vector<uint8_t> part(bytes + at, bytes + std::min(length, at + 26));
            std::vector<uint8_t> reply;
            std::string error = Request(1, part, 1, &reply);
            if (!error.empty()) return error;
            if (reply.size() != 3 || reply[2] != part.size()) return "DATA miscounted";
            for (uint8_t byte : part) sum += byte;
        }
        std::vector<uint8_t> reply;
        std::string error = Request(4, {}, 7, &reply);
        if (!error.empty()) return error;
        if (reply.size() != 7 || reply[2] != 0) return "SUM refused: " + simtest::Hex(reply);
        const uint32_t checksum = (uint32_t(reply[3]) << 24) | (uint32_t(reply[4]) << 16) |
                                  (uint32_t(reply[5]) << 8) | reply[6];
        if (checksum != sum) return "SUM differs: " + simtest::Hex(reply);
        return "";
    }

    std::string Write(uint16_t count) {
        std::vector<uint8_t> reply;
        std::string error = Request(5, {uint8_t(count >> 8), uint8_t(count)}, 7, &reply);
        if (!error.empty()) return error;
        return reply.size() == 3 && reply[2] == 0 ? "" : "WRITE refused: " + simtest::Hex(reply);
    }

    std::string Send(uint8_t sub) {
        return module_.getLink()->sendPacket(module_.getModuleAddress(), kUpgradeCommand, 1,
                                             &sub) == aErrNone
                   ? ""
                   : "sending sub-command " + std::to_string(sub) + " failed";
    }

  private:
    Module& module_;
};

aWeaveConfig sDirect() {
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

// Reconnects a module that restarted (its link dropped), trying for up to `within`.
bool sReconnect(Module& module, std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    do {
        module.disconnect();
        if (module.reconnect() == aErrNone && module.isConnected()) return true;
        std::this_thread::sleep_for(200ms);
    } while (Clock::now() < deadline);
    return false;
}

// Waits until the module runs the new firmware (reconnecting a direct module after its link
// dropped), up to 15 s.
std::string sAwaitNewFirmware(Module& module, bool routed) {
    const auto deadline = Clock::now() + 15s;
    uint32_t version = 0, build = 0;
    while (Clock::now() < deadline) {
        if (!routed && !module.isConnected()) sReconnect(module, 2s);
        SystemClass system;
        system.init(&module, 0);
        if (system.getVersion(&version) == aErrNone && module.getBuild(&build) == aErrNone &&
            version == kNewVersion && build == kNewBuild) {
            return "";
        }
        std::this_thread::sleep_for(100ms);
    }
    return "after REBOOT the module reports version " + std::to_string(version) + " build " +
           std::to_string(build);
}

// The loader phase, LOAD with the module's restart, the firmware phase and REBOOT.
std::string sUpgrade(Module& module, const UpgradeCase& c) {
    UpgradeHost host(module);
    std::vector<uint8_t> reply;
    std::string error = host.Request(0, {}, 0, &reply);
    if (!error.empty()) return "INIT: " + error;
    uint16_t blockSize = 0;
    error = host.Prepare(1, kLoader.address, &blockSize);
    if (error.empty()) error = host.SendPiece(kLoader.bytes.data(), kLoader.bytes.size());
    if (!error.empty()) return "loader: " + error;

    // A module reached directly restarts into its loader and announces it once reconnected;
    // a sub-module answers over the router's unbroken link once it is back on the bus.
    error = host.Send(2);
    if (!error.empty()) return error;
    if (c.noReturn) {
        if (host.Await(2, &reply).empty()) return "LOAD answered by a module that left";
        return sReconnect(module, 3s) ? "the module came back after LOAD" : "";
    }
    if (c.routed) {
        error = host.Await(2, &reply, 3);
    } else {
        if (host.Await(2, &reply).empty()) return "LOAD answered before the restart";
        if (!sReconnect(module, 10s)) return "no reconnection after LOAD";
        error = host.Await(2, &reply, 3);
    }
    if (!error.empty()) return "the loader did not announce itself: " + error;

    for (const ImageBlock& block : kFirmware) {
        error = host.Prepare(0, block.address, &blockSize);
        if (error.empty() && blockSize != kBlockSize)
            error = "block size " + std::to_string(blockSize);
        for (size_t at = 0; error.empty() && at < block.bytes.size(); at += blockSize) {
            const size_t piece = std::min<size_t>(blockSize, block.bytes.size() - at);
            error = host.SendPiece(block.bytes.data() + at, piece);
            if (error.empty()) error = host.Write(uint16_t(piece));
        }
        if (!error.empty()) return "firmware: " + error;
    }
    error = host.Send(6);
    return error.empty() ? sAwaitNewFirmware(module, c.routed) : error;
}

// The host of `c` against a program already serving (usb-sim: this process is its command);
// `tcpPort` for tessaline-sim.
std::string sRunHost(const UpgradeCase& c, uint16_t tcpPort) {
    Module module(c.routed ? kSubAddress : 2, !c.routed, 0);
    Module router(2, true, 0);
    if (module.setConfig(sDirect()) != aErrNone || router.setConfig(sDirect()) != aErrNone)
        return "configuration refused";
    aErr err = aErrNone;
    if (c.program == Program::TessalineSim) {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = kModuleSerial;
        spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        spec.t.ip.ipPort = tcpPort;
        err = module.connectFromSpec(spec);
    } else if (!c.routed) {
        err = module.connect(USB, kModuleSerial);
    } else {
        err = router.connect(USB, kRouterSerial);
        SystemClass system;
        system.init(&router, 0);
        if (err == aErrNone) err = system.routeToMe(1);
        if (err == aErrNone) err = module.connectThroughLinkModule(&router);
    }
    if (err != aErrNone) return "no connection (" + std::string(aError_GetErrorText(err)) + ")";
    return sUpgrade(module, c);
}

// When this program runs as usb-sim's command for an upgrade case, it is that case's host: it
// runs the host and exits before any test, with status 0 when the upgrade went as expected.
class UpgradeHostRole : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* name = std::getenv(kHostRole);
        if (!name) return;
        std::string result = "no upgrade case " + std::string(name);
        for (const UpgradeCase& c : kUpgradeCases)
            if (c.name == std::string(name)) result = sRunHost(c, 0);
        if (!result.empty()) fprintf(stderr, "upgrade host %s: %s\n", name, result.c_str());
        fflush(stdout);
        fflush(stderr);
        std::exit(result.empty() ? 0 : 1);
    }
};
[[maybe_unused]] ::testing::Environment* const kUpgradeHostRole =
    ::testing::AddGlobalTestEnvironment(new UpgradeHostRole);

std::string sSelf() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, size_t(length)) : "";
}

// usb-sim is built beside tessaline-sim.
std::string sUsbSim() {
    std::string path = TESSALINE_SIM_BIN;
    return path.substr(0, path.rfind('/') + 1) + "usb-sim";
}

std::string sHex(const std::string& bytes) {
    return Hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

class SimProgramsUpgrade : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(SimProgramsUpgrade, HostUpgradesTheModuleOrFindsItGone) {
    const UpgradeCase& c = GetParam();
    testsupport::TempDir dir;
    const std::string flash = dir.path() + "/flash.bin";
    const std::string version = "3.1.4:" + std::to_string(kNewBuild);
    const std::string block = std::to_string(kBlockSize);
    if (c.program == Program::UsbSim) {
        ASSERT_EQ(access(sUsbSim().c_str(), X_OK), 0) << sUsbSim() << " is not built";
        const std::string target = c.routed ? "B004" : "1A2B3C4D";
        std::vector<std::string> args = {sUsbSim(),
                                         "--module",
                                         c.routed ? "D272031D:4" : "1A2B3C4D:4",
                                         "--upgrade-to",
                                         target + ":" + version,
                                         "--block-size",
                                         target + ":" + block,
                                         "--flash",
                                         target + ":" + flash};
        if (c.routed) args.insert(args.end(), {"--submodule", "D272031D:4:B004:4"});
        if (c.noReturn) args.insert(args.end(), {"--upgrade-fault", target + ":no-return"});
        args.insert(args.end(), {"--", sSelf()});
        testsupport::ProcessResult result =
            testsupport::RunProcess(args, {{kHostRole, c.name}}, 60s);
        ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    } else {
        std::vector<std::string> args = {"--serial",     "1A2B3C4D", "--heartbeat-ms", "0",
                                         "--upgrade-to", version,    "--block-size",   block,
                                         "--flash",      flash};
        if (c.noReturn) args.insert(args.end(), {"--upgrade-fault", "no-return"});
        SimProgram program(args);
        const std::string line = program.FirstLine();
        const std::string prefix = "listening on 127.0.0.1:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        EXPECT_EQ(sRunHost(c, uint16_t(std::stoi(line.substr(prefix.size())))), "");
        ASSERT_EQ(program.Stop(SIGTERM), 0);
    }
    EXPECT_EQ(sHex(testsupport::ReadFile(flash)), c.noReturn ? "" : Hex(sExpectedFlash()));
    EXPECT_EQ(sHex(testsupport::ReadFile(flash + ".loader")), Hex(kLoader.bytes));
}

INSTANTIATE_TEST_SUITE_P(Programs, SimProgramsUpgrade, ::testing::ValuesIn(kUpgradeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
