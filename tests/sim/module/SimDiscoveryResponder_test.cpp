// The discovery responder of a simulated module: the reply layout, and the responder on the far
// side of a veth pair answering raw requests sent from the test's own namespace.

#include "SimDiscoveryResponder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespace.h"
#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using simtest::Hex;
using testsupport::PrivateNetwork;

TEST(SimDiscoveryReply, CarriesAddressPortSerialAndModelLittleEndian) {
    EXPECT_EQ(Hex(SimDiscoveryReply(0x1A2B3C4D, 6, 0xBEEF, 13)),
              "00 06 EF BE 4D 3C 2B 1A 00 00 00 00 0D 00 00 00");
}

// A host's side of the exchange in the test's namespace: a reply socket on port 9889, and
// requests sent to the group out of the near end of the veth pair.
class Host {
  public:
    Host() {
        replies_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(replies_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kDiscoveryReplyPort);
        bound_ = bind(replies_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Host() { close(replies_); }
    bool Bound() const { return bound_; }

    bool Send(const std::vector<uint8_t>& datagram) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr outgoing{};
        inet_pton(AF_INET, PrivateNetwork::NearAddress(0).c_str(), &outgoing);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(kDiscoveryRequestPort);
        inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
        const bool sent =
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
            sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group),
                   sizeof group) == static_cast<ssize_t>(datagram.size());
        close(fd);
        return sent;
    }

    // The next reply (its bytes and sender), or nothing within `ms`.
    std::optional<std::pair<std::vector<uint8_t>, std::string>> Receive(int ms = 1000) {
        pollfd p{replies_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return std::nullopt;
        uint8_t buffer[64];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = recvfrom(replies_, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &length);
        if (n < 0) return std::nullopt;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
        return std::make_pair(std::vector<uint8_t>(buffer, buffer + n), std::string(text));
    }

  private:
    int replies_ = -1;
    bool bound_ = false;
};

std::vector<uint8_t> Request() {
    std::vector<uint8_t> request(kDiscoveryDatagramSize, 0);
    request[0] = 1;
    return request;
}

class SimDiscoveryResponderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = PrivateNetwork::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        net_ = std::make_unique<PrivateNetwork>();
        host_ = std::make_unique<Host>();  // its sockets belong to the test's new namespace
        SimModuleConfig config;
        config.serialNumber = 0x0000ABCD;
        config.address = 4;
        config.model = 13;
        module_ = std::make_shared<SimModule>(config);
        responder_ = std::make_unique<SimDiscoveryResponder>(module_, 5001);
    }
    void TearDown() override {
        responder_.reset();
        host_.reset();
        net_.reset();
    }

    // Starts the responder on far side 0 (made first when there is none yet).
    aErr StartFar(const std::string& address) {
        if (!farSide_) net_->AddFarSide(), farSide_ = true;
        aErr err = aErrUnknown;
        net_->RunOnFarSide(0, [&] { err = responder_->Start(address); });
        return err;
    }

    std::unique_ptr<PrivateNetwork> net_;
    bool farSide_ = false;
    std::shared_ptr<SimModule> module_;
    std::unique_ptr<SimDiscoveryResponder> responder_;
    std::unique_ptr<Host> host_;
};

TEST_F(SimDiscoveryResponderTest, AnswersEachRequestFromItsInterfaceAddress) {
    ASSERT_TRUE(host_->Bound());
    ASSERT_EQ(StartFar(""), aErrNone);  // every non-loopback interface: the far end only

    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(host_->Send(Request()));
        auto reply = host_->Receive();
        ASSERT_TRUE(reply) << round;
        EXPECT_EQ(Hex(reply->first), Hex(SimDiscoveryReply(0x0000ABCD, 4, 5001, 13)));
        EXPECT_EQ(reply->second, PrivateNetwork::FarAddress(0));
    }
    EXPECT_EQ(responder_->Requests(), 2u);
    // Counted once sent: the host may have the reply a moment before.
    for (int i = 0; i < 100 && responder_->Replies() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(responder_->Replies(), 2u);
}

TEST_F(SimDiscoveryResponderTest, AnswersWithTheModulesConfigurationOfTheMoment) {
    ASSERT_EQ(StartFar(PrivateNetwork::FarAddress(0)), aErrNone);
    module_->UpdateConfig([](SimModuleConfig& c) { c.serialNumber = 0x11223344; });

    ASSERT_TRUE(host_->Send(Request()));
    auto reply = host_->Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Hex(reply->first), Hex(SimDiscoveryReply(0x11223344, 4, 5001, 13)));
}

TEST_F(SimDiscoveryResponderTest, IgnoresDatagramsThatAreNotRequests) {
    ASSERT_EQ(StartFar(PrivateNetwork::FarAddress(0)), aErrNone);
    std::vector<uint8_t> wrongMark = Request();
    wrongMark[0] = 2;
    const std::vector<std::vector<uint8_t>> datagrams = {wrongMark, std::vector<uint8_t>(15, 1),
                                                         std::vector<uint8_t>(17, 1)};

    for (const auto& datagram : datagrams) ASSERT_TRUE(host_->Send(datagram));
    EXPECT_FALSE(host_->Receive(300));
    ASSERT_TRUE(host_->Send(Request()));  // in order behind the others
    EXPECT_TRUE(host_->Receive());
    EXPECT_EQ(responder_->Ignored(), 3u);
    EXPECT_EQ(responder_->Requests(), 1u);
}

TEST_F(SimDiscoveryResponderTest, FaultsShortenOrSuppressTheReply) {
    ASSERT_EQ(StartFar(PrivateNetwork::FarAddress(0)), aErrNone);
    responder_->SetReplyLength(12);
    ASSERT_TRUE(host_->Send(Request()));
    auto reply = host_->Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Hex(reply->first), "00 04 89 13 CD AB 00 00 00 00 00 00");

    responder_->SetSilent(true);
    ASSERT_TRUE(host_->Send(Request()));
    EXPECT_FALSE(host_->Receive(300));
    EXPECT_EQ(responder_->Requests(), 2u);
    EXPECT_EQ(responder_->Replies(), 1u);
}

TEST_F(SimDiscoveryResponderTest, StartRefusesBadAddressesASecondStartAndAHostWithoutNetwork) {
    // The test's namespace has only loopback so far: nothing to join on.
    EXPECT_EQ(responder_->Start(""), aErrNotFound);
    EXPECT_EQ(StartFar("not-an-address"), aErrParam);
    ASSERT_EQ(StartFar(""), aErrNone);
    EXPECT_EQ(StartFar(""), aErrBusy);
    responder_->Stop();
    EXPECT_EQ(StartFar(""), aErrNone);  // again after a stop
}

}  // namespace
