// The in-process pipe: the host's aStream on a simulated module.

#include "SimPipeStream.h"

#include <gtest/gtest.h>
#include <time.h>

#include <memory>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds sThreadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

class SimPipeStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module = std::make_shared<SimModule>();
        ASSERT_EQ(CreatePipeStream(module, &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }

    void Write(const std::string& hex) {
        std::vector<uint8_t> bytes = Bytes(hex);
        ASSERT_EQ(aStream_Write(stream, bytes.data(), bytes.size()), aErrNone);
    }
    // Reads `count` bytes the way the link engine does: wait for readability, then get.
    std::string Read(size_t count) {
        std::vector<uint8_t> bytes;
        const auto deadline = Clock::now() + 10s;
        while (bytes.size() < count && Clock::now() < deadline) {
            if (aStream_WaitReadable(stream, 100) != aErrNone) continue;
            uint8_t byte;
            aErr err = aStream_Read(stream, &byte, 1);
            if (err == aErrNone) bytes.push_back(byte);
        }
        return Hex(bytes);
    }

    std::shared_ptr<SimModule> module;
    aStreamRef stream = nullptr;
};

TEST_F(SimPipeStreamTest, CarriesAProbeAndItsAnswer) {
    Write("AD 00");
    EXPECT_EQ(Read(2), "02 00");
    Write("AF 01 01");
    EXPECT_TRUE(module->WaitIdle(10s));
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
}

TEST_F(SimPipeStreamTest, SingleBytePutsReachTheModule) {
    const uint8_t probe[] = {0xAD, 0x00};
    // aStream_Write sends a single byte through put.
    ASSERT_EQ(aStream_Write(stream, &probe[0], 1), aErrNone);
    ASSERT_EQ(aStream_Write(stream, &probe[1], 1), aErrNone);
    EXPECT_EQ(Read(2), "02 00");
}

TEST_F(SimPipeStreamTest, GetAnswersNotReadyAtOnceWhenNothingWaits) {
    uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(SimPipeStreamTest, WaitBlocksUpToItsBoundWithoutSpinning) {
    const auto start = Clock::now();
    const auto cpuStart = sThreadCpuTime();
    EXPECT_EQ(aStream_WaitReadable(stream, 300), aErrTimeout);
    EXPECT_GE(Clock::now() - start, 300ms);
    // A spinning wait would burn most of the 300 ms.
    EXPECT_LT(sThreadCpuTime() - cpuStart, 100ms);
}

TEST_F(SimPipeStreamTest, WaitEndsWhenTheModuleSends) {
    module->Schedule(20ms, [this] { module->Send(SimPacket{0x02, {0x00, 0x00}}); });
    const auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 30000), aErrNone);
    EXPECT_LT(Clock::now() - start, 20s);
    EXPECT_EQ(Read(4), "02 02 00 00");
}

TEST_F(SimPipeStreamTest, AModuleDisconnectBreaksThePipeAfterWhatWasSent) {
    Write("AD 00");
    ASSERT_TRUE(module->WaitIdle(10s));
    module->Disconnect();
    EXPECT_EQ(aStream_WaitReadable(stream, 30000), aErrNone);
    EXPECT_EQ(Read(2), "02 00");  // delivered before the hang-up
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    const uint8_t probe[] = {0xAD, 0x00};
    EXPECT_EQ(aStream_Write(stream, probe, 2), aErrConnection);
    const auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 30000), aErrNone);  // get has an error to report
    EXPECT_LT(Clock::now() - start, 20s);
}

TEST_F(SimPipeStreamTest, DestroyingTheStreamDetachesTheModule) {
    EXPECT_TRUE(module->IsAttached());
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_FALSE(module->IsAttached());
}

TEST_F(SimPipeStreamTest, TheStreamKeepsTheModuleAlive) {
    std::weak_ptr<SimModule> weak = module;
    module.reset();
    ASSERT_FALSE(weak.expired());
    Write("AD 00");
    EXPECT_EQ(Read(2), "02 00");
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_TRUE(weak.expired());
}

TEST(SimPipeStream, RefusesMissingArguments) {
    aStreamRef stream = nullptr;
    EXPECT_EQ(CreatePipeStream(nullptr, &stream), aErrParam);
    EXPECT_EQ(CreatePipeStream(std::make_shared<SimModule>(), nullptr), aErrParam);
}

}  // namespace
