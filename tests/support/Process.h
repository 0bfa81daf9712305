#pragma once
// Runs a program to its end for a test, capturing standard output and standard error apart.

#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exit_status = -1;  // exit code; -1 when the program did not exit normally
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program path) with the current environment plus `env`, standard
// input from /dev/null, and kills it after `limit`.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// A program left running beside a test (a simulator), its standard output on a pipe that stays
// open until it is stopped. Stopped with SIGTERM (SIGKILL after 5 s) when the object goes.
class BackgroundProcess {
  public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Starts `argv` (argv[0] is the program path) and returns the first line it writes to
    // standard output within `limit`, without its line feed; "" when none came. Throws
    // std::runtime_error when the program cannot be started.
    std::string Start(const std::vector<std::string>& argv,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));

    // Sends `signal` and waits up to `grace` for the program to end; then kills it. Its exit
    // status when it exited by itself within `grace`, else -1 (also when it was not running).
    int Stop(int signal = SIGTERM, std::chrono::milliseconds grace = std::chrono::seconds(5));

  private:
    int pid_ = -1;
    int out_ = -1;
};

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace testsupport
