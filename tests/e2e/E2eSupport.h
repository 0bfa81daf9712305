#pragma once
// Shared pieces of the black-box tests: console lines, and a tessaline-sim on the far side of a
// veth pair in the test's private network.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespace.h"
#include "Process.h"

namespace e2e {

using testsupport::PrivateNetwork;

const std::string kBinDir = UPDATER_BIN_DIR;
const std::string kVersionLine = "Updater (Version: 2.11.2 Apr 29 2025)";

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A tessaline-sim on far side 0, listening and answering discovery at the far address; stopped
// with SIGTERM (which writes its report, when it has one) when the object goes.
class FarSim {
  public:
    FarSim(const PrivateNetwork& net, std::vector<std::string> options) {
        std::vector<std::string> argv = {kBinDir + "/tessaline-sim", "--bind",
                                         PrivateNetwork::FarAddress(0), "--discovery"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv = net.FarCommand(0, argv);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        const std::string line = ReadLine(out[0]);
        close(out[0]);
        if (line.rfind("listening on " + PrivateNetwork::FarAddress(0) + ":", 0) != 0) {
            Stop();
            throw std::runtime_error("tessaline-sim did not start: [" + line + "]");
        }
    }
    ~FarSim() { Stop(); }
    FarSim(const FarSim&) = delete;
    FarSim& operator=(const FarSim&) = delete;

    // Ends the simulator; true when it ended by itself on SIGTERM.
    bool Stop() {
        if (pid_ <= 0) return false;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool ended = waitpid(pid_, &status, WNOHANG) != 0;
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    static std::string ReadLine(int fd) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p = {fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char c[256];
            const ssize_t n = read(fd, c, sizeof(c));
            if (n <= 0) break;
            line.append(c, static_cast<size_t>(n));
        }
        return line.substr(0, line.find('\n'));
    }

    pid_t pid_ = -1;
};

}  // namespace e2e
