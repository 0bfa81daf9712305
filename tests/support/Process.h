#pragma once
// Runs a program to its end for a test, capturing standard output and standard error apart.

#include <chrono>
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
