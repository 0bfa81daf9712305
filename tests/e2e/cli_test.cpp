// The command line of the Updater program, run as a user runs it: console text on each stream,
// exit status and the store folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "Process.h"

using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

const std::string kVersion = "Updater (Version: 2.11.2 Apr 29 2025)\n";

std::string DataFile(const std::string& name) {
    std::string text = ReadFile(std::string(UPDATER_SOURCE_DIR) + "/tests/data/" + name);
    const std::string placeholder = "DEFAULT_HOST";
    size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), UPDATER_DEFAULT_SERVER_HOST);
    return text;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Cli : public ::testing::Test {
protected:
    // Runs the program with HOME pointing at a private folder.
    ProcessResult Updater(std::vector<std::string> args) {
        args.insert(args.begin(), UPDATER_BIN);
        return RunProcess(args, {{"HOME", home_.path()}});
    }
    std::string Store() const { return home_.path() + "/store"; }
    std::string Copyright(const ProcessResult& r) const {
        return r.out.substr(kVersion.size(), r.out.find('\n', kVersion.size()) + 1 - kVersion.size());
    }

    TempDir home_;
};

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string errorsBefore;  // parser messages printed before the usage
    const char* usage;         // data file holding the usage text on standard error
};

TEST_F(Cli, UsageTexts) {
    const UsageCase cases[] = {
        {"no arguments", {}, 0, "", "usage_short.txt"},
        {"only non-options", {"hello", "-q"}, 0, "", "usage_short.txt"},
        {"unhandled", {"-Y"}, 1, "Unhandled command: [-Y]\n", "usage_short.txt"},
        {"bad transport", {"-D", "-t", "tcp"}, 1,
         "Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER\n",
         "usage_short.txt"},
        {"help", {"-h"}, 0, "", "usage_full.txt"},
        {"long help abbreviated", {"--hel"}, 0, "", "usage_full.txt"},
        {"help then mask", {"-H", "-X", "0x10000"}, 0, "", "usage_full.txt"},
        {"mask then help", {"-X", "0x10000", "-h"}, 0, "", "usage_full_extended.txt"},
        {"bad serial then help", {"-d", "xyz", "-h"}, 0,
         "Invalid serial number obtained from argument [xyz]\n", "usage_full.txt"},
    };
    for (const UsageCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessResult r = Updater(c.args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.err, c.errorsBefore + DataFile(c.usage));
        ASSERT_EQ(r.out.rfind(kVersion, 0), 0u) << r.out;
        const std::string copyright = Copyright(r);
        EXPECT_EQ(r.out, kVersion + copyright);
        EXPECT_EQ(copyright.front(), '(');
        EXPECT_NE(copyright.find("2025"), std::string::npos);
        EXPECT_FALSE(IsDirectory(home_.path() + "/.quillmet")) << "usage never touches the store";
    }
}

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;  // after the version line
    std::string err;
};

TEST_F(Cli, CommandsWithoutTheirParameters) {
    const std::string shortUsage = DataFile("usage_short.txt");
    const CommandCase cases[] = {
        {"info only prints the version", {"-I", "-d", "1234ABCD"}, 0, "", ""},
        {"check and Z do nothing", {"-C", "-Z", "x"}, 0, "", ""},
        {"download without device", {"-G"}, 1, "",
         "-G must specify a specific device via -d\n--help for usage information\n"},
        {"update without device", {"-U"}, 1, "", "Must specify the specific device to be updated\n"},
        {"fingerprint without port", {"-N", "-B", "-d", "1234ABCD"}, 1, "",
         "Must specify the serial port used for connecting\n"},
        {"builds without device", {"-B"}, 1, "",
         "Error must supply a serial number for the List Builds command\n" + shortUsage},
        {"local builds without device", {"-L"}, 1, "",
         "Error must supply a serial number for the List Local Builds command\n" + shortUsage},
        {"token without device", {"-J"}, 1, "",
         "Error must supply a serial number for the Get JWT command\n" + shortUsage},
        {"unprocessed mask is not a failure", {"-I", "-X", "12abc"}, 0, "",
         "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n"},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", Store()});
        ProcessResult r = Updater(args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.out, kVersion + c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Cli, StoreFolderIsCreatedBelowTheGivenDirectory) {
    ProcessResult r = Updater({"-i", Store() + "/deeper", "-I", "-d", "1234ABCD"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_TRUE(IsDirectory(Store() + "/deeper/updater"));
    EXPECT_FALSE(IsDirectory(Store() + "/deeper/.quillmet"));
}

TEST_F(Cli, StoreFolderThatCannotBeCreatedFails) {
    const std::string file = home_.path() + "/plain-file";
    std::ofstream(file) << "x";
    ProcessResult r = Updater({"-i", file, "-I"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\n");
}

TEST_F(Cli, ApplicationParametersGoToTheDebugLog) {
    ProcessResult r = Updater({"-X", "0x10000", "-I", "-i", Store()});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, std::string("\nApplication parameters:[Updater]\n\t[") + UPDATER_BIN +
                         "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-i]\n\t[" + Store() + "]\n");
}

TEST_F(Cli, SerialPrefixIsLoggedUnderTheUpdaterPackage) {
    ProcessResult r = Updater({"-X", "1", "-I", "-d", "0x1234ABCD", "-r", "0XD272031D", "-i", Store()});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err,
              "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n");
}

struct DiscoverCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;
};

// Discovery with nothing attached: which transport is searched and how the result is headed.
TEST_F(Cli, DiscoveryHeadings) {
    const DiscoverCase cases[] = {
        {"default is USB", {"-D"},
         "Searching for TessaLine devices\nDiscovered Devices: (USB)\n    No devices found.\n"},
        {"recover counts as no transport", {"-D", "-t", "RECOVER"},
         "Searching for TessaLine devices\nDiscovered Devices: (USB)\n    No devices found.\n"},
        {"tcp", {"-D", "-t", "TCP"},
         "Searching for TessaLine devices\nDiscovered Devices: (TCPIP)\n    No devices found.\n"},
        {"discover wins over update", {"-U", "-D", "-d", "1234ABCD"},
         "Searching for TessaLine devices\nDiscovered Devices: (USB)\n    No devices found.\n"},
        {"router without transport", {"-D", "-r", "D272031D"},
         "Searching for TessaLine Network devices connected to D272031D\n"
         "Discovered Devices: (Unknown)\n    No devices found.\n"},
    };
    for (const DiscoverCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", Store()});
        ProcessResult r = Updater(args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, kVersion + c.out);
    }
}

}  // namespace
