// The link engine and registry against the simulated module, over the in-process pipe, TCP on
// 127.0.0.1 and a pseudo-terminal.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <thread>

#include "LinkTestSupport.h"
#include "SimModule.h"
#include "SimPipeStream.h"
#include "SimPty.h"
#include "SimTcpServer.h"
#include "aLink.h"
#include "aLinkRegistry.h"
#include "packetfifo.h"

namespace {

using namespace linktest;
using namespace sim::tessaline;

constexpr uint8_t kModule = 0x02;
constexpr uint8_t kEcho = 0x10;
constexpr uint32_t kSerialNumber = 0x00C0FFEE;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// The module behind USB links in these tests: reached over the in-process pipe.
std::shared_ptr<SimModule> gModule;

aErr sPipeAsUsb(uint32_t, aStreamRef* stream) {
    return CreatePipeStream(gModule, stream);
}

bool sIsEchoOf(const aPacket* packet, void* reference) {
    return packet->dataSize == 2 && packet->data[0] == kEcho &&
           packet->data[1] == *static_cast<uint8_t*>(reference);
}

bool sIsHeartbeat(const aPacket* packet, void*) {
    return packet->dataSize == 2 && packet->data[0] == 0x00;
}

bool sIsProbe(const SimPacket& packet) {
    return packet.address == 0xAD && packet.payload.empty();
}

// One request and its echo through the engine; true when the echo came within `ms`.
bool Exchange(uint32_t id, uint8_t tag, uint32_t ms = 5000) {
    PacketPtr request = MakePacket(kModule, {kEcho, tag});
    if (aLink_PutPacket(id, request.get()) != aErrNone) return false;
    PacketPtr reply(aLink_AwaitFirst(id, sIsEchoOf, &tag, ms));
    return reply != nullptr;
}

// Retries exchanges until one succeeds (a reconnecting link loses what it sent meanwhile).
bool ExchangeEventually(uint32_t id, uint8_t tag) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (Exchange(id, tag, 250)) return true;
    }
    return false;
}

aPacketFifoHandle Incoming(uint32_t id) {
    return aLinkRegistry_FindById(id)->link->incoming;
}

class SimLink : public ::testing::Test {
  protected:
    void SetUp() override {
        linksBefore_ = aLinkRegistry_Count();
        fifosBefore_ = aPacketFifo_RegisteredCount();
        SimModuleConfig config;
        config.serialNumber = kSerialNumber;
        config.address = kModule;
        module_ = std::make_shared<SimModule>(config);
        module_->SetRequestHandler(kEcho, [](SimModule& m, const SimPacket& request) {
            m.Send(SimPacket{m.Config().address, request.payload});
        });
        gModule = module_;
        aLinkRegistry_SetUSBStreamFactory(sPipeAsUsb);
    }

    void TearDown() override {
        if (id_) {
            EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
        }
        aLinkRegistry_SetUSBStreamFactory(nullptr);
        gModule.reset();
        EXPECT_EQ(aLinkRegistry_Count(), linksBefore_);
        EXPECT_EQ(aPacketFifo_RegisteredCount(), fifosBefore_);
    }

    // A USB link to the module over the pipe.
    void Connect() {
        id_ = aLink_CreateUSB(kSerialNumber);
        ASSERT_NE(id_, 0u);
        ASSERT_TRUE(Exchange(id_, 1));
    }

    std::shared_ptr<SimModule> module_;
    uint32_t id_ = 0;
    size_t linksBefore_ = 0;
    size_t fifosBefore_ = 0;
};

TEST_F(SimLink, ACorruptedAddressByteTriggersAProbeBurstAndResynchronisation) {
    Connect();
    module_->ClearReceived();
    SimFault fault;
    fault.direction = SimDirection::FromModule;
    fault.unit = SimFaultUnit::Packet;
    fault.action = SimFaultAction::Corrupt;
    fault.offset = 0;
    fault.xorMask = 0x01;  // address 0x02 arrives as 0x03
    module_->InjectFault(fault);

    uint8_t lost = 2;
    PacketPtr request = MakePacket(kModule, {kEcho, lost});
    ASSERT_EQ(aLink_PutPacket(id_, request.get()), aErrNone);
    auto probes = [&] {
        size_t count = 0;
        for (const SimPacket& packet : module_->Received()) count += sIsProbe(packet);
        return count;
    };
    // Once the burst went out, the status is LINK_SYNCING until the module's answers bring the
    // engine back in step.
    ASSERT_TRUE(WaitUntil(
        [&] { return probes() >= aLINK_SYNC_BURST && aLink_GetStatus(id_) == LINK_RUNNING; }));
    EXPECT_EQ(aLink_GetFirst(id_, sIsEchoOf, &lost), nullptr);  // the broken reply is gone
    EXPECT_TRUE(Exchange(id_, 3));
}

TEST_F(SimLink, HeartbeatsAreAnsweredAndNeverReachCallers) {
    module_->UpdateConfig([](SimModuleConfig& config) { config.heartbeatInterval = 20ms; });
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return module_->HeartbeatAnswers().size() >= 5; }));
    for (uint8_t answer : module_->HeartbeatAnswers()) EXPECT_EQ(answer, 0x02);  // HB UP + 2
    EXPECT_EQ(module_->Stats().unexpectedHeartbeatAnswers, 0u);
    EXPECT_EQ(aLink_DrainPackets(id_, sIsHeartbeat, nullptr), 0u);
    EXPECT_TRUE(Exchange(id_, 2));
}

TEST_F(SimLink, SyncDrainsBothQueues) {
    module_->SetRequestHandler(0x20, [](SimModule& m, const SimPacket&) {
        for (uint8_t i = 0; i < 3; ++i) m.Send(SimPacket{m.Config().address, {0x20, i}});
    });
    Connect();
    PacketPtr request = MakePacket(kModule, {0x20});
    ASSERT_EQ(aLink_PutPacket(id_, request.get()), aErrNone);
    ASSERT_TRUE(WaitUntil([&] { return aPacketFifo_GetLength(Incoming(id_)) == 3; }));

    module_->ClearReceived();
    EXPECT_EQ(aLink_Sync(id_), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
    // The three packets and the answers to the probes beyond the two that synchronised.
    EXPECT_EQ(aPacketFifo_GetLength(Incoming(id_)), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(aLinkRegistry_FindById(id_)->link->outgoing), 0u);
    size_t probes = 0;
    for (const SimPacket& packet : module_->Received()) probes += sIsProbe(packet);
    EXPECT_GE(probes, static_cast<size_t>(aLINK_SYNC_BURST));
    EXPECT_TRUE(Exchange(id_, 4));
}

TEST_F(SimLink, ATcpLinkSurvivesTheModuleClosingAndReopening) {
    SimTcpServer server(module_);
    ASSERT_EQ(server.Start(0), aErrNone);
    id_ = aLink_CreateTCPIP(kLoopback, server.Port());
    ASSERT_NE(id_, 0u);
    ASSERT_TRUE(Exchange(id_, 1));

    // The module hangs up: the stream connects again by itself.
    server.DropConnection();
    EXPECT_TRUE(ExchangeEventually(id_, 2));
    EXPECT_GE(server.ConnectionCount(), 2u);
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);

    // The module goes away while the host writes: the stream gives up and the link shows an I/O
    // error until it is reset after the module is back.
    server.StopListening();
    ASSERT_TRUE(WaitUntil([&] {
        PacketPtr request = MakePacket(kModule, {kEcho, 3});
        aLink_PutPacket(id_, request.get());
        std::this_thread::sleep_for(20ms);
        return aLink_GetStatus(id_) == IO_ERROR;
    }));
    ASSERT_EQ(server.StartListening(), aErrNone);
    ASSERT_EQ(aLink_Reset(id_), aErrNone);
    EXPECT_TRUE(ExchangeEventually(id_, 4));
}

enum class Transport { Pipe, Tcp, Pty };

class SimLinkIdle : public SimLink, public ::testing::WithParamInterface<Transport> {};

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST_P(SimLinkIdle, AnIdleRunningLinkUsesNextToNoProcessorTime) {
    SimTcpServer server(module_);
    SimPty pty(module_);
    switch (GetParam()) {
        case Transport::Pipe:
            id_ = aLink_CreateUSB(kSerialNumber);
            break;
        case Transport::Tcp:
            ASSERT_EQ(server.Start(0), aErrNone);
            id_ = aLink_CreateTCPIP(kLoopback, server.Port());
            break;
        case Transport::Pty:
            ASSERT_EQ(pty.Open(), aErrNone);
            id_ = aLink_CreateSerial(kSerialNumber, pty.SlavePath().c_str(), 115200);
            break;
    }
    ASSERT_NE(id_, 0u);
    ASSERT_TRUE(Exchange(id_, 1));
    ASSERT_TRUE(module_->WaitIdle(5s));

    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = Clock::now();
    while (Clock::now() - wallStart < 3s) std::this_thread::sleep_for(100ms);
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const double share = cpu / wall;
    RecordProperty("cpu_share_percent", std::to_string(share * 100));
    EXPECT_LT(share, 0.02) << "process CPU " << cpu << " s over " << wall << " s";
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
    EXPECT_TRUE(Exchange(id_, 2));
    EXPECT_EQ(aLink_Destroy(&id_), aErrNone);  // before the front ends go
}

INSTANTIATE_TEST_SUITE_P(Transports, SimLinkIdle,
                         ::testing::Values(Transport::Pipe, Transport::Tcp, Transport::Pty),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Transport::Pipe:
                                     return "Pipe";
                                 case Transport::Tcp:
                                     return "Tcp";
                                 default:
                                     return "Pty";
                             }
                         });

}  // namespace
