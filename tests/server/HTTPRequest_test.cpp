#include "HTTPRequest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>

#include "Process.h"
#include "UpdateServerSim.h"

namespace {

// Failure messages name a table row by its name rather than dumping its bytes.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

using testsupport::LogCapture;
using servertest::SimServer;
using Params = std::map<std::string, std::string>;

// ---- URL building -------------------------------------------------------------------------

struct UrlCase {
    const char* name;
    Params params;
    std::string suffix;  // what follows the base URL
};

class BuildUrlTest : public testing::TestWithParam<UrlCase> {};

TEST_P(BuildUrlTest, AppendsEveryPairInByteOrderEndingWithAmpersand) {
    const std::string base = "http://127.0.0.1:8080/cgi/u";
    EXPECT_EQ(HTTPRequest::BuildUrl(base, GetParam().params), base + GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildUrlTest,
    testing::Values(UrlCase{"EmptyMapLeavesUrlAlone", {}, ""},
                    UrlCase{"OnePair", {{"op", "hi"}}, "?op=hi&"},
                    UrlCase{"SortedRegardlessOfInsertion", {{"b", "2"}, {"a", "1"}}, "?a=1&b=2&"},
                    UrlCase{"ByteOrderPutsUpperCaseFirst",
                            {{"a", "3"}, {"_", "2"}, {"B", "1"}},
                            "?B=1&_=2&a=3&"},
                    UrlCase{"ValuesAreNotEscaped",
                            {{"fp", "00000001%2000000002"}, {"x", "a/b"}},
                            "?fp=00000001%2000000002&x=a/b&"},
                    UrlCase{"EmptyKeyAndValueKept", {{"", ""}, {"k", ""}}, "?=&k=&"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- GET against a real server ------------------------------------------------------------

// A simulated server that answers every "op=hi" request with a canned body and status.
class GetTest : public testing::Test {
  protected:
    void Answer(const std::string& body, int status = 200) {
        std::ofstream(canned_.path() + "/hi", std::ios::binary) << body;
        std::ofstream(canned_.path() + "/hi.status") << status;
    }
    std::unique_ptr<SimServer> Start(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--canned", canned_.path()});
        return std::make_unique<SimServer>(options);
    }

    testsupport::TempDir canned_;
    const Params ping_ = {{"op", "hi"}, {"rv", "2"}};
};

struct AnswerCase {
    const char* name;
    std::string body;
    int status;
};

class GetAnswerTest : public GetTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(GetAnswerTest, ReturnsStatusAndWholeBodyForAnyStatus) {
    Answer(GetParam().body, GetParam().status);
    auto server = Start();
    const HTTPResponse response = HTTPRequest::GET(server->Url(), ping_);
    EXPECT_EQ(response.get_status(), GetParam().status);
    EXPECT_EQ(std::string(response.get_response(), response.get_response_size()), GetParam().body);
    EXPECT_EQ(std::string(response.get_request()), server->Url() + "?op=hi&rv=2&");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetAnswerTest,
    testing::Values(AnswerCase{"Ok", "ok\n", 200}, AnswerCase{"EmptyBody", "", 200},
                    AnswerCase{"ServerError", "error: internal\n", 500},
                    AnswerCase{"NotFound", "no such page\n", 404},
                    AnswerCase{"BodyWithNulBytes", std::string("ok\n\0\x01\xff", 6), 200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GetTest, UnknownPathGives404WithBody) {
    auto server = Start();
    const HTTPResponse response = HTTPRequest::GET(server->Url("/nowhere"), {});
    EXPECT_EQ(response.get_status(), 404);
    EXPECT_STREQ(response.get_response(), "not found\n");
}

TEST_F(GetTest, WireQueryIsTheBuiltUrlAndTheRequestIsLogged) {
    Answer("ok\n");
    auto server = Start({"--lenient"});
    LogCapture log(DEBUG_ServerComm);
    HTTPRequest::GET(server->Url(), {{"rv", "2"}, {"op", "hi"}, {"b", "x%20y"}});
    ASSERT_EQ(server->Requests().size(), 1u);
    EXPECT_EQ(server->Requests()[0], "/cgi/u?b=x%20y&op=hi&rv=2&");
    EXPECT_NE(log.Text().find("GET(" + server->Url() + "?b=x%20y&op=hi&rv=2&)\n"),
              std::string::npos);
}

TEST_F(GetTest, BodyInSeveralChunksIsConcatenatedInOrder) {
    std::string body = "ok\n";
    for (int i = 0; i < 40; ++i) body += std::to_string(i) + ";1.2." + std::to_string(i) + "\n";
    Answer(body);
    auto server = Start({"--chunk", "16"});
    LogCapture log(DEBUG_ServerComm);
    const HTTPResponse response = HTTPRequest::GET(server->Url(), ping_);
    EXPECT_EQ(response.get_response(), body);
    // The pieces arrive apart, so the write callback ran more than once.
    const std::string text = log.Text();
    size_t calls = 0;
    for (size_t at = text.find("rcv_data called"); at != std::string::npos;
         at = text.find("rcv_data called", at + 1))
        ++calls;
    EXPECT_GT(calls, 1u);
}

// ---- transport failures -------------------------------------------------------------------

// Short bounds so that failures against stalled servers show within seconds.
class TransportFailureTest : public testing::Test {
  protected:
    void SetUp() override { HTTPRequest::SetBounds({1, 1, 1}); }
    void TearDown() override { HTTPRequest::SetBounds(HTTPBounds{}); }

    // Runs GET and returns the text of the runtime error it throws ("" when it returns).
    static std::string FailureOf(const std::string& url, std::chrono::milliseconds* took) {
        const auto start = std::chrono::steady_clock::now();
        std::string error;
        try {
            HTTPRequest::GET(url, {{"op", "hi"}});
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        *took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        return error;
    }
};

TEST_F(TransportFailureTest, FailuresThrowLibcurlTextWithinBounds) {
    servertest::SilentListener silent;
    servertest::SilentListener full(/*fill_backlog=*/true);
    auto tls = std::make_unique<SimServer>(std::vector<std::string>{"--tls"});
    struct Case {
        const char* name;
        std::string url;
        CURLcode code;
    } cases[] = {
        {"nothing listening", "http://127.0.0.1:" + std::to_string(servertest::ClosedPort()),
         CURLE_COULDNT_CONNECT},
        {"server never answers", "http://127.0.0.1:" + std::to_string(silent.port()),
         CURLE_OPERATION_TIMEDOUT},
        {"connection never established", "http://127.0.0.1:" + std::to_string(full.port()),
         CURLE_OPERATION_TIMEDOUT},
        {"untrusted certificate", tls->Url("/cgi/u", "https"), CURLE_PEER_FAILED_VERIFICATION},
        {"unknown scheme", "gopherx://127.0.0.1/", CURLE_UNSUPPORTED_PROTOCOL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::chrono::milliseconds took{};
        EXPECT_EQ(FailureOf(c.url, &took), curl_easy_strerror(c.code));
        EXPECT_LT(took, std::chrono::seconds(10));
    }
}

TEST(HTTPBoundsTest, DefaultsAreFiniteAndSettable) {
    const HTTPBounds initial = HTTPRequest::Bounds();
    EXPECT_EQ(initial.connect_timeout_s, 10);
    EXPECT_EQ(initial.low_speed_bytes_per_s, 1);
    EXPECT_EQ(initial.low_speed_time_s, 15);
    HTTPRequest::SetBounds({3, 2, 4});
    EXPECT_EQ(HTTPRequest::Bounds().connect_timeout_s, 3);
    EXPECT_EQ(HTTPRequest::Bounds().low_speed_bytes_per_s, 2);
    EXPECT_EQ(HTTPRequest::Bounds().low_speed_time_s, 4);
    HTTPRequest::SetBounds(initial);
}

// ---- write callback -----------------------------------------------------------------------

TEST(RcvDataTest, AppendsEveryChunkAndReturnsItsSize) {
    HTTPResponse response("http://x/");
    char first[] = {'o', 'k'};
    char second[] = {'\n', 'a', 'b', 'c'};
    EXPECT_EQ(_rcv_data(first, 1, sizeof(first), &response), sizeof(first));
    EXPECT_EQ(_rcv_data(second, 2, 2, &response), 4u);
    EXPECT_EQ(std::string(response.get_response()), "ok\nabc");
    EXPECT_EQ(response.get_status(), 0);
}

TEST(RcvDataTest, LogsAtMostTheFirst100BytesPaddedTo100Columns) {
    const std::vector<char> longChunk(150, 'x');  // not NUL-terminated
    const char shortChunk[] = {'a', 'b', 'c'};
    HTTPResponse response("http://x/");
    char address[16];
    snprintf(address, sizeof(address), "%08X",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(&response) & 0xFFFFFFFFu));
    struct Case {
        const char* data;
        size_t size;
        std::string shown;
    } cases[] = {{longChunk.data(), longChunk.size(), std::string(100, 'x')},
                 {shortChunk, sizeof(shortChunk), std::string(97, ' ') + "abc"}};
    for (const Case& c : cases) {
        LogCapture log(DEBUG_ServerComm);
        _rcv_data(const_cast<char*>(c.data), 1, c.size, &response);
        EXPECT_EQ(log.Text(), "rcv_data called (..., 1, " + std::to_string(c.size) + ", " +
                                  address + ") [" + c.shown + "]\nrcv_data returns " +
                                  std::to_string(c.size) + "\n");
    }
    EXPECT_EQ(response.get_response_size(), 153u);
}

}  // namespace
