#include "aStream_Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

uint32_t Loopback() {
    return htonl(INADDR_LOOPBACK);
}

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// A listening TCP socket on 127.0.0.1 with an ephemeral port: the module's side.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = Loopback();
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            ADD_FAILURE() << "listener: " << strerror(errno);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { Close(); }
    uint16_t port() const { return port_; }

    // The next connection, or -1 when none comes within `ms`.
    int Accept(int ms = 2000) {
        pollfd poller{fd_, POLLIN, 0};
        if (poll(&poller, 1, ms) != 1) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Reads exactly `n` bytes from `fd` within `ms`; fewer when the time runs out or the peer ends.
std::string ReadFrom(int fd, size_t n, int ms = 2000) {
    std::string got;
    auto deadline = Clock::now() + milliseconds(ms);
    while (got.size() < n) {
        int left = static_cast<int>(
            std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count());
        pollfd poller{fd, POLLIN, 0};
        if (left <= 0 || poll(&poller, 1, left) != 1) break;
        char buffer[4096];
        ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buffer, static_cast<size_t>(r));
    }
    return got;
}

// Closes `fd` with a reset instead of an orderly end.
void Reset(int fd) {
    linger resetOnClose{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    close(fd);
}

aErr Write(aStreamRef stream, const std::string& bytes) {
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// A stream connected to a fresh listener, with the accepted connection at hand.
class SocketStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateSocket(Loopback(), listener.port(), &stream), aErrNone);
        peer = listener.Accept();
        ASSERT_GE(peer, 0);
    }
    void TearDown() override {
        aStream_Destroy(&stream);
        if (peer >= 0) close(peer);
    }
    // Gives a close or reset of the peer time to arrive.
    static void Settle() { std::this_thread::sleep_for(milliseconds(30)); }

    Listener listener;
    aStreamRef stream = nullptr;
    int peer = -1;
};

TEST_F(SocketStream, ExchangesBytesBothWays) {
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(ElapsedMs(start), 50) << "get answers at once";

    ASSERT_EQ(send(peer, "xy", 2, 0), 2);
    EXPECT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t two[2];
    EXPECT_EQ(aStream_Read(stream, two, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(two), 2), "xy");

    EXPECT_EQ(Write(stream, "hello"), aErrNone);
    EXPECT_EQ(Write(stream, "!"), aErrNone);  // put
    EXPECT_EQ(ReadFrom(peer, 6), "hello!");
}

TEST_F(SocketStream, WaitSleepsUntilDataOrTimeout) {
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 150), aErrTimeout);
    EXPECT_GE(ElapsedMs(start), 140);

    std::thread later([this] {
        std::this_thread::sleep_for(milliseconds(50));
        send(peer, "k", 1, 0);
    });
    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 3000), aErrNone);
    EXPECT_LT(ElapsedMs(start), 1500);
    later.join();
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'k');
}

TEST_F(SocketStream, ClosedPeerReadsAsNotReadyAndTheNextWriteReconnects) {
    ASSERT_EQ(send(peer, "last", 4, 0), 4);
    close(peer);
    peer = -1;
    Settle();

    uint8_t bytes[4];
    EXPECT_EQ(aStream_Read(stream, bytes, 4), aErrNone) << "bytes sent before the close";
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 150), aErrTimeout) << "a closed peer is not readable";
    EXPECT_GE(ElapsedMs(start), 140);

    // The module is listening again: the write goes to the new connection, not into the void.
    EXPECT_EQ(Write(stream, "again"), aErrNone);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadFrom(peer, 5), "again");
    ASSERT_EQ(send(peer, "n", 1, 0), 1);
    EXPECT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'n');
}

TEST_F(SocketStream, ResetPeerMakesGetReconnect) {
    Reset(peer);
    peer = -1;
    Settle();

    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    peer = listener.Accept();
    ASSERT_GE(peer, 0) << "get connected again";
    ASSERT_EQ(send(peer, "z", 1, 0), 1);
    EXPECT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'z');
}

TEST_F(SocketStream, ResetPeerMakesWriteReconnect) {
    Reset(peer);
    peer = -1;
    Settle();

    EXPECT_EQ(Write(stream, "hi"), aErrNone);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadFrom(peer, 2), "hi");
}

TEST_F(SocketStream, FailedReconnectionLeavesTheStreamDisconnected) {
    listener.Close();
    Reset(peer);
    peer = -1;
    Settle();

    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection) << "reconnection refused";
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(Write(stream, "x"), aErrConnection);
    EXPECT_EQ(Write(stream, "xy"), aErrConnection);
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 1000), aErrNone) << "get has an error to report";
    EXPECT_LT(ElapsedMs(start), 100);
}

TEST_F(SocketStream, WriteToAPeerThatNeverReadsEndsBusy) {
    // Far more than the socket buffers of both ends hold.
    std::vector<uint8_t> block(64u << 20, 0x5A);
    auto start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrBusy);
    EXPECT_GE(ElapsedMs(start), 9 * 60 - 20) << "nine pauses of 60 ms between the ten tries";
}

TEST_F(SocketStream, DestroyResetsTheConnection) {
    aStream_Destroy(&stream);
    pollfd poller{peer, POLLIN, 0};
    ASSERT_EQ(poll(&poller, 1, 2000), 1);
    char byte;
    EXPECT_EQ(recv(peer, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(SocketStream, OneReaderAndOneWriterAtOnce) {
    // The peer echoes everything; the stream is read by one thread while another writes.
    std::thread echo([this] {
        char buffer[512];
        for (;;) {
            ssize_t n = recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0 || send(peer, buffer, static_cast<size_t>(n), 0) != n) return;
        }
    });
    std::string sent;
    for (int i = 0; i < 300; ++i) sent += "packet-" + std::to_string(i) + ";";

    std::string received;
    std::thread reader([&] {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (received.size() < sent.size() && Clock::now() < deadline) {
            if (aStream_WaitReadable(stream, 50) != aErrNone) continue;
            uint8_t byte;
            if (aStream_Read(stream, &byte, 1) == aErrNone)
                received.push_back(static_cast<char>(byte));
        }
    });
    for (size_t at = 0; at < sent.size(); at += 30)
        ASSERT_EQ(Write(stream, sent.substr(at, 30)), aErrNone);
    reader.join();
    shutdown(peer, SHUT_RDWR);
    echo.join();
    EXPECT_EQ(received, sent);
}

TEST(SocketStreamCreate, RefusedConnectionAndArguments) {
    uint16_t closedPort;
    {
        Listener gone;
        closedPort = gone.port();
    }
    aStreamRef stream = reinterpret_cast<aStreamRef>(&closedPort);
    EXPECT_EQ(aStream_CreateSocket(Loopback(), closedPort, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);

    Listener listener;
    EXPECT_EQ(aStream_CreateSocket(Loopback(), listener.port(), nullptr), aErrParam);
}

}  // namespace
