// The simulated module's echo command.

#include "SimEcho.h"

#include <gtest/gtest.h>

#include <memory>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

TEST(SimEchoTest, AnswersWithTheSamePayloadOrAMangledOne) {
    simtest::ByteRecorder host;
    auto module = std::make_unique<SimModule>();
    module->Attach(host.Sink());
    auto echo = SimEcho::Install(*module);
    auto exchange = [&](const std::string& hex) {
        host.Clear();
        std::vector<uint8_t> bytes = Bytes(hex);
        module->Receive(bytes.data(), bytes.size());
        EXPECT_TRUE(module->WaitIdle(10s));
        return Hex(host.Bytes());
    };
    EXPECT_EQ(exchange("02 04 17 01 02 03"), "02 04 17 01 02 03");
    EXPECT_EQ(exchange("02 01 17"), "02 01 17");
    echo->SetMangled(true);
    EXPECT_EQ(exchange("02 03 17 10 20"), "02 03 17 10 DF");
    EXPECT_EQ(echo->Echoes(), 3u);
}

}  // namespace
