#include "aLinkRegistry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkTestSupport.h"
#include "Process.h"
#include "packetfifo.h"

namespace {

using namespace linktest;

constexpr uint32_t kNoHang = 10000;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool sAcceptAll(const aPacket*, void*) {
    return true;
}

// A TCP listener on 127.0.0.1 at an ephemeral port.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = kLoopback;
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(fd_, 8) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~Listener() {
        for (int fd : accepted_) close(fd);
        if (fd_ >= 0) close(fd_);
    }
    uint16_t port() const { return port_; }

    // The next connection, or -1 when none comes within `ms`.
    int Accept(int ms = 10000) {
        pollfd poller{fd_, POLLIN, 0};
        if (poll(&poller, 1, ms) != 1) return -1;
        int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) accepted_.push_back(fd);
        return fd;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> accepted_;
};

// Reads what arrives on `fd` until `count` bytes came (or 10 s passed).
Bytes ReadBytes(int fd, size_t count) {
    Bytes bytes;
    const auto deadline = Clock::now() + 10s;
    while (bytes.size() < count && Clock::now() < deadline) {
        pollfd poller{fd, POLLIN, 0};
        if (poll(&poller, 1, 100) != 1) continue;
        uint8_t buffer[256];
        ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

// A module at the far end of a pseudo-terminal, played by the test: it records the packets the
// host sends and answers identify probes with an empty packet from its address.
class PtyModule {
  public:
    explicit PtyModule(uint8_t address) : address_(address) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        path_ = ptsname(master_);
        // Our own descriptor of the terminal side keeps the master from reporting a hang-up
        // whenever the host has the port closed.
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        thread_ = std::thread([this] { Run(); });
    }
    ~PtyModule() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    const std::string& path() const { return path_; }

    // The line's output speed, as the host set it.
    speed_t Speed() const {
        termios settings{};
        tcgetattr(slave_, &settings);
        return cfgetospeed(&settings);
    }

    bool WaitForPacket(const Bytes& packet) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Bytes& p : packets_)
                if (p == packet) return true;
            return false;
        });
    }

    bool Send(const Bytes& bytes) {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

  private:
    void Run() {
        Bytes pending;
        while (!stop_) {
            pollfd poller{master_, POLLIN, 0};
            if (poll(&poller, 1, 20) != 1) continue;
            uint8_t buffer[256];
            ssize_t got = read(master_, buffer, sizeof buffer);
            if (got <= 0) continue;
            pending.insert(pending.end(), buffer, buffer + got);
            while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
                Bytes packet(pending.begin(), pending.begin() + 2 + pending[1]);
                pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
                if (packet == Bytes{0xAD, 0x00}) Send({address_, 0x00});
                std::lock_guard<std::mutex> lock(mutex_);
                packets_.push_back(packet);
            }
        }
    }

    const uint8_t address_;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> packets_;
    std::thread thread_;
};

// USB streams for the tests: a scripted wire that answers probes from module 0x0C, or stays
// silent.
std::shared_ptr<ScriptedWire> gUsbWire;
std::atomic<int> gUsbStreams{0};

aErr sAnsweringUsbStream(uint32_t, aStreamRef* stream) {
    ++gUsbStreams;
    gUsbWire = std::make_shared<ScriptedWire>();
    gUsbWire->SetResponder(AnswerProbes(0x0C));
    *stream = ScriptedWire::NewStream(gUsbWire);
    return aErrNone;
}

aErr sSilentUsbStream(uint32_t, aStreamRef* stream) {
    ++gUsbStreams;
    gUsbWire = std::make_shared<ScriptedWire>();
    *stream = ScriptedWire::NewStream(gUsbWire);
    return aErrNone;
}

// Checks that every test leaves the registries as it found them.
class LinkRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        linksBefore_ = aLinkRegistry_Count();
        fifosBefore_ = aPacketFifo_RegisteredCount();
        gUsbStreams = 0;
    }
    void TearDown() override {
        aLinkRegistry_SetUSBStreamFactory(nullptr);
        gUsbWire.reset();
        EXPECT_EQ(aLinkRegistry_Count(), linksBefore_);
        EXPECT_EQ(aPacketFifo_RegisteredCount(), fifosBefore_);
    }
    size_t linksBefore_ = 0;
    size_t fifosBefore_ = 0;
};

TEST_F(LinkRegistry, EntriesAreFoundByIdAndKeysNewestFirst) {
    const uint32_t a = aLinkRegistry_Register(0x11, 0, 0, USB);
    const uint32_t b = aLinkRegistry_Register(0x7F000001, 4000, 0, TCPIP);
    const uint32_t c = aLinkRegistry_Register(0x11, 0, 0, SERIAL);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(c, a + 2);
    EXPECT_EQ(aLinkRegistry_Count(), linksBefore_ + 3);

    EXPECT_EQ(aLinkRegistry_FindById(b)->type, TCPIP);
    EXPECT_EQ(aLinkRegistry_FindById(0), nullptr);
    EXPECT_EQ(aLinkRegistry_FindByIdentifier(0x11)->id, c);  // newest first
    EXPECT_EQ(aLinkRegistry_FindByKeys(0x7F000001, 4000, 0)->id, b);
    EXPECT_EQ(aLinkRegistry_FindByKeys(0x7F000001, 4001, 0), nullptr);
    EXPECT_TRUE(aLinkRegistry_FindById(a)->link);  // a zero-filled record comes with the entry

    int16_t count = 0;
    EXPECT_EQ(aLinkRegistry_ChangeUseCount(a, 2, &count), aErrNone);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(aLinkRegistry_ChangeUseCount(a, -1, nullptr), aErrNone);
    EXPECT_EQ(aLinkRegistry_UseCount(a), 1);
    EXPECT_EQ(aLinkRegistry_ChangeUseCount(0xFFFFFF00, 1, &count), aErrNotFound);

    EXPECT_EQ(aLinkRegistry_Extract(c)->id, c);
    EXPECT_EQ(aLinkRegistry_Extract(c), nullptr);
    EXPECT_EQ(aLinkRegistry_FindByIdentifier(0x11)->id, a);

    // Ids are never reused.
    const uint32_t d = aLinkRegistry_Register(0x11, 0, 0, USB);
    EXPECT_EQ(d, c + 1);
    for (uint32_t id : {a, b, d}) {
        uint32_t doomed = id;
        aLinkRegistry_ChangeUseCount(id, -aLinkRegistry_UseCount(id), nullptr);
        EXPECT_EQ(aLink_Destroy(&doomed), aErrNone);
    }
}

TEST_F(LinkRegistry, DestroyOfAnUnknownIdFailsAndStillClearsIt) {
    uint32_t id = 0xFFFFFF00;
    EXPECT_EQ(aLink_Destroy(&id), aErrParam);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_Reset(0xFFFFFF00), aErrParam);
}

TEST_F(LinkRegistry, TcpLinksAreSharedPerAddressAndPortAndTornDownWithTheLastUse) {
    Listener first, second;
    ASSERT_NE(first.port(), 0);
    uint32_t id = aLink_CreateTCPIP(kLoopback, first.port());
    ASSERT_NE(id, 0u);
    ASSERT_GE(first.Accept(), 0);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLinkRegistry_UseCount(id), 1);

    uint32_t again = aLink_CreateTCPIP(kLoopback, first.port());
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLinkRegistry_UseCount(id), 2);

    // Another module on the same host is another link.
    uint32_t other = aLink_CreateTCPIP(kLoopback, second.port());
    ASSERT_NE(other, 0u);
    EXPECT_NE(other, id);

    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(again, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    uint32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
    EXPECT_EQ(aLinkRegistry_FindById(id), nullptr);
    EXPECT_EQ(aLink_Destroy(&other), aErrNone);
}

TEST_F(LinkRegistry, ATcpLinkCarriesPacketsAndSaysForceRouteOn) {
    Listener listener;
    uint32_t id = aLink_CreateTCPIP(kLoopback, listener.port());
    ASSERT_NE(id, 0u);
    int module = listener.Accept();
    ASSERT_GE(module, 0);
    EXPECT_EQ(Hex(ReadBytes(module, 3)), "AF 01 01");

    PacketPtr probe = MakePacket(0xAD, {});
    ASSERT_EQ(aLink_PutPacket(id, probe.get()), aErrNone);
    EXPECT_EQ(Hex(ReadBytes(module, 2)), "AD 00");
    const Bytes answer{0x04, 0x00};
    ASSERT_EQ(write(module, answer.data(), answer.size()), 2);
    PacketPtr in(aLink_AwaitPacket(id, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(Hex(WireOf(in.get())), "04 00");
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(Hex(ReadBytes(module, 3)), "AF 01 00");
}

TEST_F(LinkRegistry, TcpCreationWithoutAListenerFailsAndLeavesNothing) {
    uint16_t port;
    {
        Listener closed;
        port = closed.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(kLoopback, port), 0u);
}

TEST_F(LinkRegistry, ResetRebuildsATcpLinkAndKeepsItsFilter) {
    Listener listener;
    uint32_t id = aLink_CreateTCPIP(kLoopback, listener.port());
    ASSERT_NE(id, 0u);
    ASSERT_GE(listener.Accept(), 0);
    std::atomic<int> seen{0};
    auto count = [](const aPacket*, void* reference) {
        ++*static_cast<std::atomic<int>*>(reference);
        return true;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, count, &seen), aErrNone);

    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    int module = listener.Accept();
    ASSERT_GE(module, 0);
    EXPECT_EQ(Hex(ReadBytes(module, 3)), "AF 01 01");
    const Bytes packet{0x04, 0x01, 0x42};
    ASSERT_EQ(write(module, packet.data(), packet.size()), 3);
    EXPECT_TRUE(WaitUntil([&] { return seen == 1; }));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(LinkRegistry, ResetOfAClientLinkIsNotOfferedYet) {
    uint32_t id = aLinkRegistry_Register(kLoopback, 5000, 0, AWEAVE);
    aLinkRegistry_ChangeUseCount(id, 1, nullptr);
    ASSERT_EQ(aLink_Init(id, nullptr), id);
    const auto start = Clock::now();
    EXPECT_EQ(aLink_Reset(id), aErrUnimplemented);
    EXPECT_LT(Clock::now() - start, 1s);  // no retries for what can never work
    EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

struct BaudCase {
    uint32_t rate;
    speed_t speed;
};

class LinkRegistrySerial : public LinkRegistry, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(LinkRegistrySerial, OpensThePortAtTheRateAsked) {
    PtyModule module(0x0E);
    ASSERT_FALSE(module.path().empty());
    uint32_t id = aLink_CreateSerial(0x5E1A1, module.path().c_str(), GetParam().rate);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(module.Speed(), GetParam().speed);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Rates, LinkRegistrySerial,
                         ::testing::Values(BaudCase{2400, B2400}, BaudCase{4800, B4800},
                                           BaudCase{9600, B9600}, BaudCase{19200, B19200},
                                           BaudCase{38400, B38400}, BaudCase{57600, B57600},
                                           BaudCase{115200, B115200}, BaudCase{230400, B230400}),
                         [](const auto& info) { return std::to_string(info.param.rate); });

TEST_F(LinkRegistry, ASerialLinkOverAPtyTalksToTheModuleAndIsSharedWithUsb) {
    PtyModule module(0x0E);
    uint32_t id = aLink_CreateSerial(0x5E1A1, module.path().c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(module.WaitForPacket({0xAF, 0x01, 0x01}));

    PacketPtr probe = MakePacket(0xAD, {});
    ASSERT_EQ(aLink_PutPacket(id, probe.get()), aErrNone);
    PacketPtr in(aLink_AwaitFirst(id, sAcceptAll, nullptr, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(Hex(WireOf(in.get())), "0E 00");

    // The same module asked for again, over serial or USB: the same link.
    uint32_t serial = aLink_CreateSerial(0x5E1A1, module.path().c_str(), 115200);
    uint32_t usb = aLink_CreateUSB(0x5E1A1);
    EXPECT_EQ(serial, id);
    EXPECT_EQ(usb, id);
    EXPECT_EQ(aLinkRegistry_UseCount(id), 3);
    EXPECT_EQ(gUsbStreams, 0);
    for (uint32_t* use : {&serial, &usb}) EXPECT_EQ(aLink_Destroy(use), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_TRUE(module.WaitForPacket({0xAF, 0x01, 0x00}));
}

TEST_F(LinkRegistry, SerialCreationFailsForAnUnknownRateOrPort) {
    PtyModule module(0x0E);
    EXPECT_EQ(aLink_CreateSerial(0x5E1A1, module.path().c_str(), 14400), 0u);
    testsupport::TempDir folder;
    const std::string missing = folder.path() + "/no-such-tty";
    EXPECT_EQ(aLink_CreateSerial(0x5E1A1, missing.c_str(), 115200), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x5E1A1, nullptr, 115200), 0u);
}

TEST_F(LinkRegistry, ResetOfASerialLinkFailsAndLeavesItStopped) {
    PtyModule module(0x0E);
    uint32_t id = aLink_CreateSerial(0x5E1A1, module.path().c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_Reset(id), aErrParam);  // after 20 attempts, about 2 s
    EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Start(id), aErrConnection);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(LinkRegistry, AUsbLinkIsSynchronisedAtCreationAndShared) {
    aLinkRegistry_SetUSBStreamFactory(sAnsweringUsbStream);
    uint32_t id = aLink_CreateUSB(0xC0DE);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLinkRegistry_FindById(id)->type, USB);
    EXPECT_GE(CountProbes(gUsbWire->Writes()), 1u);
    // Force route on from the start and again after the synchronisation.
    EXPECT_TRUE(WaitUntil([&] {
        size_t on = 0;
        for (const Bytes& write : gUsbWire->Writes()) on += write == Bytes{0xAF, 0x01, 0x01};
        return on == 2;
    }));
    // The answers to the probes were drained with the synchronisation.
    EXPECT_EQ(aLink_GetPacket(id), nullptr);

    uint32_t again = aLink_CreateUSB(0xC0DE);
    EXPECT_EQ(again, id);
    EXPECT_EQ(gUsbStreams, 1);
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);

    // A reset makes a new stream by serial number.
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(gUsbStreams, 2);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(LinkRegistry, AUsbModuleThatNeverAnswersMakesCreationFailWithinItsTimeLimit) {
    aLinkRegistry_SetUSBStreamFactory(sSilentUsbStream);
    const auto start = Clock::now();
    EXPECT_EQ(aLink_CreateUSB(0xC0DE), 0u);
    // The synchronisation gives up after 2 s, then drains for 100 ms; a generous bound catches
    // a creation that waits for ever.
    EXPECT_LT(Clock::now() - start, 6s);
    EXPECT_GE(CountProbes(gUsbWire->Writes()), 6u);
}

TEST_F(LinkRegistry, UsbCreationOfAModuleThatIsNotAttachedFailsCleanly) {
    EXPECT_EQ(aLink_CreateUSB(0xC0DE), 0u);  // the USB transport finds no such module
}

TEST_F(LinkRegistry, AUsbModuleServedByALinkServerIsNotLinkedDirectly) {
    aLinkRegistry_SetUSBStreamFactory(sAnsweringUsbStream);
    uint32_t id = aLink_CreateUSB(0xC0DE);
    ASSERT_NE(id, 0u);
    int server = 0;
    aLinkRegistry_FindById(id)->server = &server;
    EXPECT_EQ(aLink_CreateUSB(0xC0DE), 0u);
    EXPECT_EQ(aLinkRegistry_UseCount(id), 1);
    aLinkRegistry_FindById(id)->server = nullptr;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
