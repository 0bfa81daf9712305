// The command line of the Updater program, run as a user runs it: console text on each stream
// and the exit status.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "Process.h"

using testsupport::ProcessResult;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

const std::string kVersion = "Updater (Version: 2.11.2 Apr 29 2025)\n";

ProcessResult RunUpdater(std::vector<std::string> args, const std::string& home) {
    args.insert(args.begin(), UPDATER_BIN);
    return RunProcess(args, {{"HOME", home}});
}

TEST(Cli, NoArgumentsShowsShortUsageAndSucceeds) {
    TempDir home;
    ProcessResult r = RunUpdater({}, home.path());
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.rfind(kVersion, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("(Copyright"), std::string::npos);
    EXPECT_NE(r.err.find("Application Usage:\nUpdater <-B | -D | -G | -U >"), std::string::npos);
    EXPECT_EQ(r.err.find("Parameters to commands:"), std::string::npos);
}

}  // namespace
