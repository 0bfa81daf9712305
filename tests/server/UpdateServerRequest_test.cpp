#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "HTTPRequest.h"
#include "Process.h"
#include "UpdateServerSim.h"
#include "base64.h"

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

constexpr uint32_t kSerial = 0x40F5849A;
const Fingerprint kFingerprint{{1, 2, 3, 4}};

// What an operation returned and what its outputs hold afterwards, as one comparable text.
// Outputs start from recognisable values, so "untouched" shows.
struct Outcome {
    bool ok;
    std::string outputs;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << (o.ok ? "true " : "false ") << o.outputs;
}

Outcome Perform(const std::string& op, const std::string& url, uint32_t serial = kSerial) {
    const char* u = url.c_str();
    if (op == "hi") return {UpdateServerRequest::ping(u), ""};
    if (op == "qu") {
        std::string build = "B0", firmware = "F0";
        const bool ok = UpdateServerRequest::QueryBuild(serial, build, firmware, u);
        return {ok, "build=[" + build + "] firmware=[" + firmware + "]"};
    }
    if (op == "bird") {
        std::string file = "T0";
        const bool ok = UpdateServerRequest::GetBuild(serial, "FW-A1", "101", file, u, false);
        return {ok, "file=[" + file + "]"};
    }
    if (op == "builds") {
        std::map<std::string, std::string> builds = {{"stale", "0.0.1"}};
        const bool ok = UpdateServerRequest::GetBuildList(serial, builds, u);
        std::string text;
        for (const auto& [build, version] : builds) text += build + "=>" + version + ",";
        return {ok, "builds={" + text + "}"};
    }
    if (op == "fix") {
        uint32_t found_serial = 0xEEEEEEEE, build = 0xDDDDDDDD;
        const bool ok = UpdateServerRequest::GetRecoveryInfo(kFingerprint, found_serial, build, u);
        char text[64];
        snprintf(text, sizeof(text), "serial=%08X build=%u", found_serial, build);
        return {ok, text};
    }
    std::string token = "J0";
    const bool ok = UpdateServerRequest::GetDeviceJWT(serial, token, u);
    return {ok, "token=[" + token + "]"};
}

// The outputs of `op` when the operation failed without writing them.
std::string Untouched(const std::string& op) {
    static const std::map<std::string, std::string> kUntouched = {
        {"hi", ""},
        {"qu", "build=[B0] firmware=[F0]"},
        {"bird", "file=[T0]"},
        {"builds", "builds={}"},  // cleared before the request
        {"fix", "serial=EEEEEEEE build=3722304989"},
        {"ent_jwt", "token=[J0]"}};
    return kUntouched.at(op);
}

const char* const kOperations[] = {"hi", "qu", "bird", "builds", "fix", "ent_jwt"};

const char* NameOf(const std::string& op) {
    static const std::map<std::string, const char*> kNames = {{"hi", "ping"},
                                                              {"qu", "QueryBuild"},
                                                              {"bird", "GetBuild"},
                                                              {"builds", "GetBuildList"},
                                                              {"fix", "GetRecoveryInfo"},
                                                              {"ent_jwt", "GetDeviceJWT"}};
    return kNames.at(op);
}

// A builds folder with one device, and a folder of canned answers, behind a simulated server.
class ServerTest : public testing::Test {
  protected:
    void SetUp() override {
        const std::string device = root_.path() + "/40F5849A";
        std::filesystem::create_directories(device);
        Write(device + "/device.txt",
              "firmware=FW-A1\ntoken=eyJhbGc.eyJzbiI6IjQwRjU4NDlBIn0.c2ln\n");
        Write(device + "/builds.txt", "100;1.2.3\n101;1.10.0\n");
        Write(device + "/101.bird", "BIRD-101");
        Write(root_.path() + "/recovery.txt", "00000001 00000002 00000003 00000004 40F5849A 100\n");
    }
    static void Write(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    void Can(const std::string& op, const std::string& body, int status) {
        Write(canned_.path() + "/" + op, body);
        Write(canned_.path() + "/" + op + ".status", std::to_string(status));
    }
    std::unique_ptr<SimServer> Start(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--root", root_.path(), "--canned", canned_.path()});
        return std::make_unique<SimServer>(options);
    }

    testsupport::TempDir root_;
    testsupport::TempDir canned_;
};

// ---- every operation against the builds folder: outputs and exact wire query --------------

struct FolderCase {
    const char* name;
    const char* op;
    bool crlf;
    Outcome outcome;
    std::string target;
};

class FolderTest : public ServerTest, public testing::WithParamInterface<FolderCase> {};

TEST_P(FolderTest, AnswersAndSendsCanonicalQuery) {
    auto server =
        Start(GetParam().crlf ? std::vector<std::string>{"--crlf"} : std::vector<std::string>{});
    EXPECT_EQ(Perform(GetParam().op, server->Url()), GetParam().outcome);
    EXPECT_EQ(server->Requests(), std::vector<std::string>{GetParam().target});
}

const std::string kBuildQuery = "/cgi/u?bld=101&fw=FW-A1&no_cal=false&op=bird&sn=40F5849A&";

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderTest,
    testing::Values(
        FolderCase{"Ping", "hi", false, {true, ""}, "/cgi/u?op=hi&rv=2&"},
        FolderCase{"QueryBuild",
                   "qu",
                   false,
                   {true, "build=[101] firmware=[FW-A1]"},
                   "/cgi/u?op=qu&sn=40F5849A&"},
        FolderCase{"GetBuild", "bird", false, {true, "file=[QklSRC0xMDE=]"}, kBuildQuery},
        FolderCase{"GetBuildList",
                   "builds",
                   false,
                   {true, "builds={100=>1.2.3,101=>1.10.0,}"},
                   "/cgi/u?op=builds&sn=40F5849A&"},
        FolderCase{"GetRecoveryInfo",
                   "fix",
                   false,
                   {true, "serial=40F5849A build=100"},
                   "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&"},
        FolderCase{"GetDeviceJWT",
                   "ent_jwt",
                   false,
                   {true, "token=[eyJhbGc.eyJzbiI6IjQwRjU4NDlBIn0.c2ln]"},
                   "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&"},
        // With "\r\n" line ends: the build line of QueryBuild and the file line of GetBuild
        // keep their "\r"; every other field ends before it.
        FolderCase{"CrLfQueryBuild",
                   "qu",
                   true,
                   {true, "build=[101\r] firmware=[FW-A1]"},
                   "/cgi/u?op=qu&sn=40F5849A&"},
        FolderCase{"CrLfGetBuild", "bird", true, {true, "file=[QklSRC0xMDE=\r]"}, kBuildQuery},
        FolderCase{"CrLfGetBuildList",
                   "builds",
                   true,
                   {true, "builds={100=>1.2.3,101=>1.10.0,}"},
                   "/cgi/u?op=builds&sn=40F5849A&"},
        FolderCase{"CrLfGetRecoveryInfo",
                   "fix",
                   true,
                   {true, "serial=40F5849A build=100"},
                   "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&"},
        FolderCase{"CrLfGetDeviceJWT",
                   "ent_jwt",
                   true,
                   {true, "token=[eyJhbGc.eyJzbiI6IjQwRjU4NDlBIn0.c2ln]"},
                   "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerTest, DownloadedTextDecodesToTheStoredFile) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7);
    Write(root_.path() + "/40F5849A/101.bird", bytes);
    auto server = Start();
    std::string text;
    ASSERT_TRUE(
        UpdateServerRequest::GetBuild(kSerial, "FW-A1", "101", text, server->Url().c_str(), true));
    EXPECT_EQ(server->Requests().at(0), "/cgi/u?bld=101&fw=FW-A1&no_cal=true&op=bird&sn=40F5849A&");
    size_t length = 0;
    unsigned char* decoded = base64_decode(text.data(), text.size(), &length);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded), length), bytes);
    free(decoded);
}

TEST_F(ServerTest, FingerprintAndSerialAreUpperCaseHexOnTheWire) {
    auto server = Start();
    uint32_t serial = 0, build = 0;
    UpdateServerRequest::GetRecoveryInfo(Fingerprint{{0xDEADBEEF, 0xA, 0xFFFFFFFF, 0}}, serial,
                                         build, server->Url().c_str());
    Perform("qu", server->Url(), 0xabc);
    EXPECT_EQ(server->Requests(),
              (std::vector<std::string>{
                  "/cgi/u?brief=true&fp=DEADBEEF%200000000A%20FFFFFFFF%2000000000&op=fix&",
                  "/cgi/u?op=qu&sn=00000ABC&"}));
}

// ---- answer parsing rules, with canned answers --------------------------------------------

struct ParseCase {
    const char* name;
    const char* op;
    std::string body;
    Outcome outcome;
    std::string log = "";  // a line the debug log must hold; "" for none in particular
    int status = 200;
};

class ParseTest : public ServerTest, public testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, ParsesAnswerLines) {
    Can(GetParam().op, GetParam().body, GetParam().status);
    auto server = Start();
    LogCapture log(DEBUG_ServerComm);
    EXPECT_EQ(Perform(GetParam().op, server->Url()), GetParam().outcome);
    if (!GetParam().log.empty()) {
        EXPECT_NE(log.Text().find(GetParam().log), std::string::npos) << log.Text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ping, ParseTest,
    testing::Values(
        ParseCase{"Ok", "hi", "ok\n", {true, ""}}, ParseCase{"Okay", "hi", "okay\n", {true, ""}},
        ParseCase{"OkWithoutLineEnd", "hi", "ok", {true, ""}},
        ParseCase{"LeadingEmptyLines", "hi", "\n\nok\n", {true, ""}},
        ParseCase{"Error", "hi", "error\n", {false, ""}, "ServerCommClass: ping failed ["},
        ParseCase{"Empty", "hi", "", {false, ""}, "ServerCommClass: ping failed ["},
        ParseCase{"Status500", "hi", "boom\n", {false, ""}, "PING ==> [500] [boom\n]\n", 500},
        ParseCase{"Status404WithOk", "hi", "ok\n", {false, ""}, "PING ==> [404] [ok\n]\n", 404}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    QueryBuild, ParseTest,
    testing::Values(
        ParseCase{"Both", "qu", "ok\n101\nFW-A1\n", {true, "build=[101] firmware=[FW-A1]"}},
        ParseCase{"BuildOnly", "qu", "ok\n101\n", {true, "build=[101] firmware=[F0]"}},
        ParseCase{"Neither", "qu", "ok\n", {true, "build=[B0] firmware=[F0]"}},
        ParseCase{
            "EmptyLinesSkipped", "qu", "ok\n\n101\n\n\nFW\n", {true, "build=[101] firmware=[FW]"}},
        ParseCase{"FirmwareEndsAtCarriageReturn",
                  "qu",
                  "ok\n101\nFW\rjunk\n",
                  {true, "build=[101] firmware=[FW]"}},
        ParseCase{"LoneCarriageReturnLineSkipped",
                  "qu",
                  "ok\n101\n\r\nFW\n",
                  {true, "build=[101] firmware=[FW]"}},
        ParseCase{"NotOk",
                  "qu",
                  "no\n101\nFW\n",
                  {false, "build=[B0] firmware=[F0]"},
                  "ServerCommClass: QueryBuild failed [http://127.0.0.1:"},
        ParseCase{"Status500",
                  "qu",
                  "ok\n101\nFW\n",
                  {false, "build=[B0] firmware=[F0]"},
                  "QueryBuild ==> [500] [ok\n101\nFW\n]\n",
                  500}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GetBuild, ParseTest,
    testing::Values(
        ParseCase{"File", "bird", "ok\nQklSRA==\n", {true, "file=[QklSRA==]"}},
        ParseCase{"OkWithoutFileClearsOutput", "bird", "ok\n", {true, "file=[]"}},
        ParseCase{"CarriageReturnKept", "bird", "ok\nQklSRA==\r\n", {true, "file=[QklSRA==\r]"}},
        ParseCase{"OnlyLineTwo", "bird", "ok\nQUJD\nREVG\n", {true, "file=[QUJD]"}},
        ParseCase{"NotOk", "bird", "fail\nQklSRA==\n", {false, "file=[T0]"}},
        ParseCase{"Empty", "bird", "", {false, "file=[T0]"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GetBuildList, ParseTest,
    testing::Values(
        // A line's length counts a "\r" before its "\n": "13\r" is long enough, "x\r" is not.
        ParseCase{"FirstLineForABuildWinsShortLinesIgnored",
                  "builds",
                  "ok\r\n12;1.2.3\r\n12;9.9.9\r\nx\r\n13\r\n",
                  {true, "builds={12=>1.2.3,13=>,}"},
                  "GetBuildList processing entry: [12;1.2.3\r]\n"},
        ParseCase{
            "TwoCharacterLineIgnored", "builds", "ok\n13\n7;1.0.0\n", {true, "builds={7=>1.0.0,}"}},
        ParseCase{"NoEntries", "builds", "ok\n", {true, "builds={}"}},
        ParseCase{"CrLf", "builds", "ok\r\n100;1.0.0\r\n", {true, "builds={100=>1.0.0,}"}},
        ParseCase{
            "TwoCharactersWithCarriageReturnIgnored", "builds", "ok\n1\r\n", {true, "builds={}"}},
        ParseCase{"ThreeCharactersNoVersion", "builds", "ok\n12\r\n", {true, "builds={12=>,}"}},
        ParseCase{
            "OnlySeparatorsSkipped", "builds", "ok\n;;;\n7;1.0.0\n", {true, "builds={7=>1.0.0,}"}},
        ParseCase{
            "LeadingSeparatorSkipped", "builds", "ok\n;5;1.0.0\n", {true, "builds={5=>1.0.0,}"}},
        ParseCase{"ThirdFieldIgnored", "builds", "ok\n12;1.2.3;x\n", {true, "builds={12=>1.2.3,}"}},
        ParseCase{"FieldsCutInLog",
                  "builds",
                  "ok\n12345678901;1.2.3.4.5.6\n",
                  {true, "builds={12345678901=>1.2.3.4.5.6,}"},
                  "GetBuildList [1234567890][1.2.3.4.5.]\n"},
        ParseCase{"NotOkClearsMap", "builds", "error\n12;1.2.3\n", {false, "builds={}"}},
        ParseCase{"Status500ClearsMap",
                  "builds",
                  "ok\n12;1.2.3\n",
                  {false, "builds={}"},
                  "GetBuildList ==> [500]",
                  500}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GetRecoveryInfo, ParseTest,
    testing::Values(
        ParseCase{"HexBuild",
                  "fix",
                  "ok\n1A2B3C4D\n0x20\n",
                  {true, "serial=1A2B3C4D build=32"},
                  "GetRecoveryInfo [ok][1A2B3C4D][0x20]\n"},
        ParseCase{"DecimalBuild", "fix", "ok\n1A2B3C4D\n32\n", {true, "serial=1A2B3C4D build=32"}},
        ParseCase{"OctalBuild", "fix", "ok\n1A2B3C4D\n040\n", {true, "serial=1A2B3C4D build=32"}},
        ParseCase{"CrLf", "fix", "ok\r\n1a2b3c4d\r\n0x20\r\n", {true, "serial=1A2B3C4D build=32"}},
        ParseCase{
            "SerialOnly", "fix", "ok\n1A2B3C4D\n", {true, "serial=1A2B3C4D build=3722304989"}},
        ParseCase{"Neither", "fix", "ok\n", {true, "serial=EEEEEEEE build=3722304989"}},
        ParseCase{"NotOk", "fix", "nope\n1\n2\n", {false, "serial=EEEEEEEE build=3722304989"}},
        ParseCase{"Empty", "fix", "", {false, "serial=EEEEEEEE build=3722304989"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GetDeviceJWT, ParseTest,
    testing::Values(
        ParseCase{"Token",
                  "ent_jwt",
                  "ok\naa.bb.cc\n",
                  {true, "token=[aa.bb.cc]"},
                  "GetDeviceJWT processing entry: [aa.bb.cc]\n"},
        ParseCase{"CrLf", "ent_jwt", "ok\r\naa.bb.cc\r\n", {true, "token=[aa.bb.cc]"}},
        ParseCase{
            "DotsInSignatureKept", "ent_jwt", "ok\naa.bb.cc.dd\n", {true, "token=[aa.bb.cc.dd]"}},
        ParseCase{"OneCharacterSignature", "ent_jwt", "ok\naa.bb.c\n", {false, "token=[J0]"}},
        ParseCase{"OneCharacterHeader", "ent_jwt", "ok\na.bb.cc\n", {false, "token=[J0]"}},
        ParseCase{"NoSignature", "ent_jwt", "ok\naa.bb\n", {false, "token=[J0]"}},
        ParseCase{"LineTooShort", "ent_jwt", "ok\nab\n", {false, "token=[J0]"}},
        ParseCase{"NoLine", "ent_jwt", "ok\n", {false, "token=[J0]"}},
        ParseCase{"NotOk", "ent_jwt", "err\naa.bb.cc\n", {false, "token=[J0]"}},
        ParseCase{"Status403",
                  "ent_jwt",
                  "ok\naa.bb.cc\n",
                  {false, "token=[J0]"},
                  "GetDeviceJWT ==> [403] [ok\naa.bb.cc\n]\n",
                  403}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- failure answers and transport failures -----------------------------------------------

class FailModeTest : public ServerTest, public testing::WithParamInterface<const char*> {};

TEST_P(FailModeTest, EveryOperationFailsWithOutputsUntouched) {
    auto server = Start({"--fail", GetParam()});
    for (const char* op : kOperations) {
        SCOPED_TRACE(op);
        EXPECT_EQ(Perform(op, server->Url()), (Outcome{false, Untouched(op)}));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FailModeTest, testing::Values("status500", "empty", "notok"));

TEST_F(ServerTest, FailureOfOneOperationLeavesTheOthersWorking) {
    auto server = Start({"--fail", "status500:builds"});
    LogCapture log(DEBUG_ServerComm);
    EXPECT_TRUE(UpdateServerRequest::ping(server->Url().c_str()));
    EXPECT_EQ(Perform("builds", server->Url()), (Outcome{false, "builds={}"}));
    EXPECT_NE(log.Text().find("GetBuildList ==> [500] [error: internal server error\n]\n"),
              std::string::npos);
}

TEST_F(ServerTest, UnknownDeviceIsAFailedRequestWithTheFullUrl) {
    auto server = Start();
    LogCapture log(DEBUG_ServerComm);
    EXPECT_EQ(Perform("qu", server->Url(), 0x12345678), (Outcome{false, Untouched("qu")}));
    EXPECT_NE(log.Text().find("ServerCommClass: QueryBuild failed [" + server->Url() +
                              "?op=qu&sn=12345678&]\n"),
              std::string::npos);
}

TEST(OperationTransportFailureTest, EveryOperationLogsTheErrorAndFails) {
    const std::string url =
        "http://127.0.0.1:" + std::to_string(servertest::ClosedPort()) + "/cgi/u";
    for (const char* op : kOperations) {
        SCOPED_TRACE(op);
        LogCapture log(DEBUG_ServerComm);
        EXPECT_EQ(Perform(op, url), (Outcome{false, Untouched(op)}));
        EXPECT_EQ(log.Text().substr(log.Text().find('\n') + 1),
                  std::string(NameOf(op)) + " ==> [Couldn't connect to server]\n");
    }
}

class BoundedServerTest : public ServerTest {
  protected:
    void SetUp() override {
        ServerTest::SetUp();
        HTTPRequest::SetBounds({2, 1, 2});
    }
    void TearDown() override { HTTPRequest::SetBounds(HTTPBounds{}); }
};

TEST_F(BoundedServerTest, SilentServerFailsWithinTheBound) {
    auto server = Start({"--fail", "silent"});
    LogCapture log(DEBUG_ServerComm);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Perform("bird", server->Url()), (Outcome{false, "file=[T0]"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(log.Text().find("GetBuild ==> [Timeout was reached]\n"), std::string::npos);
}

TEST_F(BoundedServerTest, SlowButSteadyServerStillAnswers) {
    auto server = Start({"--delay-ms", "500", "--chunk", "4"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Perform("qu", server->Url()), (Outcome{true, "build=[101] firmware=[FW-A1]"}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// ---- default server ------------------------------------------------------------------------

TEST(DefaultUrlTest, IsPlainHttpToTheConfiguredHostPathCgiU) {
    EXPECT_EQ(std::string(UpdateServerRequest::DefaultUrl()),
              std::string("http://") + kDefaultUpdateServerHost + "/cgi/u");
    EXPECT_NE(std::string(kDefaultUpdateServerHost), "");
}

// ---- build list ordering ------------------------------------------------------------------

struct SplitCase {
    const char* name;
    std::string version;
    std::vector<std::string> parts;
};

class SplitVersionTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitVersionTest, ThreePiecesOrNothing) {
    EXPECT_EQ(UpdateServerRequest::SplitTessaLineVersion(GetParam().version), GetParam().parts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitVersionTest,
    testing::Values(SplitCase{"Three", "1.2.3", {"1", "2", "3"}}, SplitCase{"Two", "1.2", {}},
                    SplitCase{"Four", "1.2.3.4", {}}, SplitCase{"Empty", "", {}},
                    SplitCase{"EmptyPiecesCount", "1..3", {"1", "", "3"}},
                    SplitCase{"NotNumbersStillSplit", "a.b.c", {"a", "b", "c"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct SortCase {
    const char* name;
    std::map<std::string, std::string> builds;
    std::vector<std::string> order;  // builds, newest first
    std::string log = "";
};

class SortBuildsTest : public testing::TestWithParam<SortCase> {};

TEST_P(SortBuildsTest, NewestVersionFirst) {
    LogCapture log(DEBUG_ServerComm);
    std::vector<std::string> order;
    for (const auto& [build, version] :
         UpdateServerRequest::SortBuildsByVersion(GetParam().builds)) {
        EXPECT_EQ(version, GetParam().builds.at(build));
        order.push_back(build);
    }
    EXPECT_EQ(order, GetParam().order);
    if (!GetParam().log.empty()) {
        EXPECT_NE(log.Text().find(GetParam().log), std::string::npos) << log.Text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SortBuildsTest,
    testing::Values(
        SortCase{"NumericNotTextual",
                 {{"10", "1.2.3"}, {"11", "1.10.0"}, {"9", "2.0.0"}},
                 {"9", "11", "10"}},
        SortCase{"PatchDecides", {{"a", "1.0.1"}, {"b", "1.0.2"}, {"c", "1.0.0"}}, {"b", "a", "c"}},
        SortCase{"PartsCutToEightBits", {{"a", "1.2.256"}, {"b", "1.2.1"}}, {"b", "a"}},
        SortCase{"MalformedAfterWellFormed",
                 {{"x", ""}, {"y", "1.0.0"}, {"z", "1.2"}, {"w", "0.0.1"}},
                 {"y", "w", "x", "z"}},
        SortCase{"NotANumberLogged",
                 {{"a", "a.b.c"}, {"b", "0.0.1"}},
                 {"b", "a"},
                 "_sortVersion: Exception converting version: stoi\n"},
        SortCase{"Empty", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
