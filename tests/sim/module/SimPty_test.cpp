// The pty front end, opened the way a host opens a serial port.

#include "SimPty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

#include "SimTestSupport.h"
#include "aStream_Serial.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

using Clock = std::chrono::steady_clock;

// The slave side opened raw, as a serial port.
class SerialHost {
  public:
    explicit SerialHost(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    ~SerialHost() {
        if (fd_ >= 0) close(fd_);
    }
    bool Open() const { return fd_ >= 0; }

    bool Send(const std::string& hex) {
        std::vector<uint8_t> bytes = Bytes(hex);
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    std::string Receive(size_t count) {
        std::vector<uint8_t> bytes;
        const auto deadline = Clock::now() + 10s;
        while (bytes.size() < count && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            uint8_t buffer[64];
            ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return Hex(bytes);
    }
    // True when the line was hung up within 10 s.
    bool HungUp() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return false;
        if (p.revents & POLLHUP) return true;
        uint8_t byte;
        return read(fd_, &byte, 1) <= 0;
    }

  private:
    int fd_ = -1;
};

class SimPtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module = std::make_shared<SimModule>();
        pty = std::make_unique<SimPty>(module);
        ASSERT_EQ(pty->Open(), aErrNone);
        ASSERT_FALSE(pty->SlavePath().empty());
    }

    std::shared_ptr<SimModule> module;
    std::unique_ptr<SimPty> pty;
};

TEST_F(SimPtyTest, AnswersAProbeOnTheSlaveSide) {
    SerialHost host(pty->SlavePath());
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Send("AF 01 01 AD 00"));
    EXPECT_EQ(host.Receive(2), "02 00");
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
}

TEST_F(SimPtyTest, TheLibrarysSerialStreamOpensItAgainAndAgain) {
    for (int round = 0; round < 2; ++round) {
        aStreamRef stream = nullptr;
        ASSERT_EQ(
            aStream_CreateSerial(pty->SlavePath().c_str(), aSerialBaud115200, false, 0, 0, &stream),
            aErrNone);
        const uint8_t probe[] = {0xAD, 0x00};
        ASSERT_EQ(aStream_Write(stream, probe, 2), aErrNone);
        std::vector<uint8_t> answer;
        const auto deadline = Clock::now() + 10s;
        while (answer.size() < 2 && Clock::now() < deadline) {
            aStream_WaitReadable(stream, 100);
            uint8_t byte;
            if (aStream_Read(stream, &byte, 1) == aErrNone) answer.push_back(byte);
        }
        EXPECT_EQ(Hex(answer), "02 00") << "round " << round;
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
    EXPECT_EQ(module->Stats().probesAnswered, 2u);
}

TEST_F(SimPtyTest, CloseHangsUpAndOpenMakesAFreshLine) {
    SerialHost host(pty->SlavePath());
    ASSERT_TRUE(host.Open());
    pty->Close();
    EXPECT_FALSE(pty->IsOpen());
    EXPECT_TRUE(pty->SlavePath().empty());
    EXPECT_FALSE(module->IsAttached());
    EXPECT_TRUE(host.HungUp());

    ASSERT_EQ(pty->Open(), aErrNone);
    EXPECT_EQ(pty->Open(), aErrBusy);
    SerialHost again(pty->SlavePath());
    ASSERT_TRUE(again.Open());
    ASSERT_TRUE(again.Send("AD 00"));
    EXPECT_EQ(again.Receive(2), "02 00");
}

TEST_F(SimPtyTest, AModuleDisconnectHangsUpTheLine) {
    SerialHost host(pty->SlavePath());
    ASSERT_TRUE(host.Open());
    module->Disconnect();
    EXPECT_TRUE(host.HungUp());
    const auto deadline = Clock::now() + 10s;
    while (pty->IsOpen() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(pty->IsOpen());
    ASSERT_EQ(pty->Open(), aErrNone);  // collects the old line's thread first
}

TEST_F(SimPtyTest, OutputNobodyReadsIsLostWithoutBlockingTheModule) {
    // No host has the port open: the line fills up and the rest is lost, as on a serial line.
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(module->SendRaw(std::vector<uint8_t>(1024, 0x55)), aErrNone);
    EXPECT_TRUE(module->WaitIdle(30s));
    EXPECT_GT(pty->BytesLost(), 0u);

    // A host that opens the port afterwards starts clean and is answered.
    aStreamRef stream = nullptr;
    ASSERT_EQ(
        aStream_CreateSerial(pty->SlavePath().c_str(), aSerialBaud115200, false, 0, 0, &stream),
        aErrNone);
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

}  // namespace
