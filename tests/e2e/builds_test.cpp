// The update-server commands of the Updater program (-B, -L, -J, -G) against update-server-sim on
// loopback, with a private store: console text, exit status and the files the store holds.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Process.h"
#include "UpdateServerSim.h"

using servertest::SimServer;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace fs = std::filesystem;

namespace {

const std::string kVersion = "Updater (Version: 2.11.2 Apr 29 2025)\n";
const char kSerial[] = "1234ABCD";
const char kToken[] = "eyJhbGciOi.eyJmZWF0dXJlcyI6.c2lnbmF0dXJl";

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A BIRD file for the device made by the simulators' own writer.
void MakeBird(const std::string& path, const std::string& version, unsigned build,
              const std::string& scratch) {
    const std::string image = scratch + "/image.bin";
    std::string bytes;
    for (unsigned i = 0; i < 300; ++i) bytes += static_cast<char>((i * 7 + build) & 0xFF);
    WriteText(image, bytes);
    ProcessResult r = RunProcess({std::string(UPDATER_BIN_DIR) + "/bird-writer", "-o", path, "-m",
                                  "Beryl", "-s", kSerial, "-v", version, "-b",
                                  std::to_string(build), "-f", image + "@0x1000"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
}

class BuildCommands : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = root_.path() + "/" + kSerial;
        fs::create_directories(device_);
        WriteText(device_ + "/device.txt", std::string("firmware=beryl-fw\ntoken=") + kToken +
                                               "\nlatest=101\n");
        WriteText(device_ + "/builds.txt", "100;1.2.3\n101;1.10.0\n99;2.0.0\n");
        MakeBird(device_ + "/101.bird", "1.10.0", 101, root_.path());
        MakeBird(device_ + "/102.bird", "1.11.0", 102, root_.path());  // not listed
    }

    ProcessResult Updater(const SimServer& server, std::vector<std::string> args) {
        return UpdaterAt(server.Url(), std::move(args));
    }
    ProcessResult UpdaterAt(const std::string& url, std::vector<std::string> args) {
        args.insert(args.begin(), UPDATER_BIN);
        args.insert(args.end(), {"-u", url, "-i", store_.path()});
        return RunProcess(args, {{"HOME", store_.path()}});
    }
    std::string DeviceFolder() const { return store_.path() + "/updater/" + kSerial; }
    std::string Settings() const { return ReadFile(DeviceFolder() + "/.settings"); }
    std::vector<std::string> Ops(const SimServer& server) const {
        std::vector<std::string> ops;
        for (const std::string& target : server.Requests()) {
            size_t at = target.find("op=");
            ops.push_back(at == std::string::npos ? "?" : target.substr(at + 3, target.find('&', at) - at - 3));
        }
        return ops;
    }

    TempDir root_;
    TempDir store_;
    std::string device_;
};

TEST_F(BuildCommands, BuildListNewestVersionFirst) {
    SimServer server({"--root", root_.path()});
    ProcessResult r = Updater(server, {"-B", "-d", kSerial});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kVersion +
                         "Build List for device [1234ABCD]:\n\n"
                         "Build          \tVersion        \n"
                         "99             \t2.0.0          \n"
                         "101            \t1.10.0         \n"
                         "100            \t1.2.3          \n");
    EXPECT_EQ(Ops(server), (std::vector<std::string>{"hi", "builds"}));
    EXPECT_FALSE(fs::exists(DeviceFolder())) << "listing writes nothing to the store";
}

TEST_F(BuildCommands, TokenAlone) {
    SimServer server({"--root", root_.path()});
    ProcessResult r = Updater(server, {"-J", "-d", kSerial});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kVersion + kToken + "\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(BuildCommands, DownloadNewestStoresItByteForByteAndRecordsIt) {
    SimServer server({"--root", root_.path()});
    ProcessResult r = Updater(server, {"-G", "-d", kSerial});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kVersion +
                         "Retrieving firmware for device with serial number 1234ABCD\n"
                         "No build specified\nUsing Latest build\n"
                         "Retrieving build 101\nValidating build 101 with server\n"
                         "Build 101 is valid\n");
    EXPECT_EQ(ReadFile(DeviceFolder() + "/101.bird"), ReadFile(device_ + "/101.bird"));
    EXPECT_NE(Settings().find("LATEST_DOWNLOAD=101.bird"), std::string::npos) << Settings();
    EXPECT_NE(Settings().find("LAST_DOWNLOAD_DATE="), std::string::npos);
    EXPECT_EQ(Ops(server), (std::vector<std::string>{"hi", "qu", "builds", "bird"}));

    // The stored build is then listed locally, beside any other file of the folder.
    WriteText(DeviceFolder() + "/notes.txt", "not firmware");
    ProcessResult local = Updater(server, {"-L", "-d", kSerial});
    EXPECT_EQ(local.exit_status, 0);
    EXPECT_EQ(local.out, kVersion +
                             "Build List for device [1234ABCD]:\n\n"
                             "Build          \tVersion        \n"
                             "101            \t1.10.0         \n"
                             "notes.txt      \t               \n");
}

TEST_F(BuildCommands, BuildNotOfferedIsRefusedUnlessOverridden) {
    SimServer server({"--root", root_.path()});
    ProcessResult refused = Updater(server, {"-G", "-d", kSerial, "-b", "102"});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err, "No valid build 102\n");
    EXPECT_FALSE(fs::exists(DeviceFolder() + "/102.bird"));
    EXPECT_EQ(Settings().find("LATEST_DOWNLOAD"), std::string::npos);
    // A device seen for the first time has its folder and settings all the same.
    EXPECT_NE(Settings().find("CREATED_TIME="), std::string::npos);

    ProcessResult overridden = Updater(server, {"-G", "-d", kSerial, "-b", "102", "-OVERRIDE"});
    EXPECT_EQ(overridden.exit_status, 0) << overridden.err;
    EXPECT_NE(overridden.out.find("Override specified, skipping validation of build 102\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(DeviceFolder() + "/102.bird"), ReadFile(device_ + "/102.bird"));
    EXPECT_NE(Settings().find("LATEST_DOWNLOAD=102.bird"), std::string::npos);
}

TEST_F(BuildCommands, BadBuildTexts) {
    SimServer server({"--root", root_.path()});
    // -b keeps only all-digit values; anything else is the build "0", the newest.
    ProcessResult r = Updater(server, {"-G", "-d", kSerial, "-b", "12x"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("Retrieving firmware build 0\n"), std::string::npos);
    EXPECT_NE(r.out.find("Retrieving build 101\n"), std::string::npos);
}

struct FailureCase {
    const char* name;
    std::vector<std::string> serverOptions;
    std::vector<std::string> args;
    int status;
    std::string err;
};

TEST_F(BuildCommands, ServerFailuresRecordNothing) {
    const FailureCase cases[] = {
        {"builds refused", {"--fail", "status500:builds"}, {"-B", "-d", kSerial}, 0,
         "Failed to retrieve builds for 1234ABCD\n"},
        {"token not ok", {"--fail", "notok:ent_jwt"}, {"-J", "-d", kSerial}, 0,
         "Failed to retrieve jwt for 1234ABCD\n"},
        {"no newest build", {"--fail", "empty:qu"}, {"-G", "-d", kSerial}, 1,
         "No build information for device\n"},
        {"file refused", {"--fail", "notok:bird"}, {"-G", "-d", kSerial}, 1,
         "Download failed\nFailed to retrieve a valid BIRD file\n"},
        {"unknown device", {}, {"-G", "-d", "0000FFFF"}, 1, "No build information for device\n"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = {"--root", root_.path()};
        options.insert(options.end(), c.serverOptions.begin(), c.serverOptions.end());
        SimServer server(options);
        ProcessResult r = Updater(server, c.args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(Settings().find("LATEST_DOWNLOAD"), std::string::npos);
    }
}

TEST_F(BuildCommands, UnreachableServer) {
    const std::string url = "http://127.0.0.1:" + std::to_string(servertest::ClosedPort()) + "/cgi/u";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"-B", "-d", kSerial}, 0, "No builds found for device [1234ABCD]\n"},
        {{"-J", "-d", kSerial}, 0, "\n"},
        {{"-G", "-d", kSerial}, 1,
         "Retrieving firmware for device with serial number 1234ABCD\nNo build specified\n"
         "Using Latest build\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = UpdaterAt(url, c.args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.out, kVersion + c.out);
        EXPECT_EQ(r.err, "Server request failed for " + url + "\n");
    }
    EXPECT_FALSE(fs::exists(DeviceFolder()));
}

TEST_F(BuildCommands, UndecodableFileIsAFailedDownload) {
    TempDir canned;
    WriteText(canned.path() + "/bird", "ok\nnot*base64*at*all\n");
    SimServer server({"--root", root_.path(), "--canned", canned.path()});
    ProcessResult r = Updater(server, {"-G", "-d", kSerial});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Failed to retrieve a valid BIRD file\n");
    EXPECT_FALSE(fs::exists(DeviceFolder() + "/101.bird"));
    EXPECT_EQ(Settings().find("LATEST_DOWNLOAD"), std::string::npos);
}

}  // namespace
