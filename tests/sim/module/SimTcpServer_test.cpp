// The TCP front end with real socket clients: a raw socket, and the library's own socket stream.

#include "SimTcpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "SimTestSupport.h"
#include "aStream_Socket.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

using Clock = std::chrono::steady_clock;

// A plain TCP client of 127.0.0.1, closed with the object.
class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error_ = errno;
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool Connected() const { return fd_ >= 0; }
    int Error() const { return error_; }

    bool Send(const std::string& hex) {
        std::vector<uint8_t> bytes = Bytes(hex);
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Up to `count` bytes, waiting at most 10 s in all.
    std::string Receive(size_t count) {
        std::vector<uint8_t> bytes;
        const auto deadline = Clock::now() + 10s;
        while (bytes.size() < count && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            uint8_t buffer[64];
            ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return Hex(bytes);
    }
    // True when the server closed the connection within 10 s.
    bool ClosedByPeer() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return false;
        uint8_t byte;
        ssize_t n = recv(fd_, &byte, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

  private:
    int fd_ = -1;
    int error_ = 0;
};

class SimTcpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module = std::make_shared<SimModule>();
        server = std::make_unique<SimTcpServer>(module);
        ASSERT_EQ(server->Start(0), aErrNone);
        port = server->Port();
        ASSERT_NE(port, 0);
    }

    std::shared_ptr<SimModule> module;
    std::unique_ptr<SimTcpServer> server;
    uint16_t port = 0;
};

TEST_F(SimTcpServerTest, AnswersAProbeOverARealConnection) {
    Client client(port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(server->WaitForConnection(1, 10s));
    ASSERT_TRUE(client.Send("AF 01 01 AD 00"));
    EXPECT_EQ(client.Receive(2), "02 00");
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
}

TEST_F(SimTcpServerTest, TheLibrarysSocketStreamIsServed) {
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream), aErrNone);
    const uint8_t probe[] = {0xAD, 0x00};
    ASSERT_EQ(aStream_Write(stream, probe, 2), aErrNone);
    std::vector<uint8_t> answer;
    const auto deadline = Clock::now() + 10s;
    while (answer.size() < 2 && Clock::now() < deadline) {
        aStream_WaitReadable(stream, 100);
        uint8_t byte;
        if (aStream_Read(stream, &byte, 1) == aErrNone) answer.push_back(byte);
    }
    EXPECT_EQ(Hex(answer), "02 00");
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(SimTcpServerTest, ServesTheNextHostOnceTheFirstHasGone) {
    {
        Client first(port);
        ASSERT_TRUE(server->WaitForConnection(1, 10s));
        ASSERT_TRUE(first.Send("AD 00"));
        EXPECT_EQ(first.Receive(2), "02 00");
    }
    Client second(port);
    ASSERT_TRUE(server->WaitForConnection(2, 10s));
    ASSERT_TRUE(second.Send("AD 00"));
    EXPECT_EQ(second.Receive(2), "02 00");
    EXPECT_EQ(server->ConnectionCount(), 2u);
}

TEST_F(SimTcpServerTest, AWaitingHostIsTakenWhenTheCurrentOneLeaves) {
    auto first = std::make_unique<Client>(port);
    ASSERT_TRUE(server->WaitForConnection(1, 10s));
    Client second(port);  // queued by the kernel, not yet served
    ASSERT_TRUE(second.Connected());
    ASSERT_TRUE(second.Send("AD 00"));
    ASSERT_TRUE(first->Send("AD 00"));
    EXPECT_EQ(first->Receive(2), "02 00");
    EXPECT_EQ(module->Stats().probesAnswered, 1u);

    first.reset();
    EXPECT_EQ(second.Receive(2), "02 00");
    EXPECT_EQ(server->ConnectionCount(), 2u);
}

TEST_F(SimTcpServerTest, TheModuleCanDropTheConnectionAndTheHostReconnects) {
    Client first(port);
    ASSERT_TRUE(server->WaitForConnection(1, 10s));
    server->DropConnection();
    EXPECT_FALSE(server->IsConnected());
    EXPECT_FALSE(module->IsAttached());
    EXPECT_TRUE(first.ClosedByPeer());

    Client second(port);
    ASSERT_TRUE(server->WaitForConnection(2, 10s));
    ASSERT_TRUE(second.Send("AD 00"));
    EXPECT_EQ(second.Receive(2), "02 00");
}

TEST_F(SimTcpServerTest, ADisconnectFaultClosesTheConnection) {
    Client client(port);
    ASSERT_TRUE(server->WaitForConnection(1, 10s));
    SimFault fault;
    ASSERT_TRUE(ParseFault("in:packet:2:disconnect", &fault));
    module->InjectFault(fault);
    ASSERT_TRUE(client.Send("AD 00"));
    EXPECT_EQ(client.Receive(2), "02 00");
    ASSERT_TRUE(client.Send("AD 00"));
    EXPECT_TRUE(client.ClosedByPeer());

    Client again(port);
    ASSERT_TRUE(server->WaitForConnection(2, 10s));
    ASSERT_TRUE(again.Send("AD 00"));
    EXPECT_EQ(again.Receive(2), "02 00");
}

TEST_F(SimTcpServerTest, StopsAndRestartsListeningOnTheSamePort) {
    Client connected(port);
    ASSERT_TRUE(server->WaitForConnection(1, 10s));
    server->StopListening();
    EXPECT_FALSE(server->IsListening());
    EXPECT_TRUE(connected.ClosedByPeer());
    Client refused(port);
    EXPECT_FALSE(refused.Connected());
    EXPECT_EQ(refused.Error(), ECONNREFUSED);

    ASSERT_EQ(server->StartListening(), aErrNone);
    EXPECT_EQ(server->StartListening(), aErrNone);  // already listening
    EXPECT_EQ(server->Port(), port);
    Client back(port);
    ASSERT_TRUE(server->WaitForConnection(2, 10s));
    ASSERT_TRUE(back.Send("AD 00"));
    EXPECT_EQ(back.Receive(2), "02 00");
}

TEST_F(SimTcpServerTest, StartTwiceIsBusyAndStopAllowsAFreshStart) {
    EXPECT_EQ(server->Start(0), aErrBusy);
    server->Stop();
    server->Stop();  // harmless twice
    Client refused(port);
    EXPECT_FALSE(refused.Connected());
    EXPECT_EQ(server->StartListening(), aErrNotReady);
    ASSERT_EQ(server->Start(0), aErrNone);
    Client client(server->Port());
    ASSERT_TRUE(server->WaitForConnection(1, 10s));
}

TEST(SimTcpServer, APortInUseIsBusy) {
    auto module = std::make_shared<SimModule>();
    SimTcpServer first(module), second(module);
    ASSERT_EQ(first.Start(0), aErrNone);
    EXPECT_EQ(second.Start(first.Port()), aErrBusy);
}

}  // namespace
