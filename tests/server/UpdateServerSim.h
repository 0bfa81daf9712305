#pragma once
// Test helpers for the server client: the update-server-sim program run as a child process on an
// ephemeral loopback port, a capture of the debug log, and loopback sockets that never answer.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "Process.h"

namespace servertest {

// update-server-sim, which the build places beside the test programs.
inline std::string SimBinary() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "update-server-sim").string();
}

// A running update-server-sim with the given options plus "--port 0 --log <file>"; stopped with
// SIGTERM (SIGKILL after 5 s) when the object goes.
class SimServer {
  public:
    explicit SimServer(const std::vector<std::string>& options) {
        log_ = log_dir_.path() + "/requests.log";
        std::vector<std::string> argv = {SimBinary(), "--port", "0", "--log", log_};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!std::filesystem::exists(argv[0]))
            throw std::runtime_error(argv[0] + " is missing: build the update-server-sim target");
        const std::string line = process_.Start(argv);
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) != 0) {
            process_.Stop();
            throw std::runtime_error("update-server-sim did not start: [" + line + "]");
        }
        port_ = std::stoi(line.substr(prefix.size()));
    }
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    int port() const { return port_; }
    std::string Url(const std::string& path = "/cgi/u", const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    // The request targets (path and raw query) received so far, in order.
    std::vector<std::string> Requests() const {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

  private:
    testsupport::TempDir log_dir_;
    std::string log_;
    testsupport::BackgroundProcess process_;
    int port_ = 0;
};

// A TCP socket on 127.0.0.1 that listens but never accepts: connections complete in the
// kernel, requests are never answered. With `fill_backlog`, the accept queue is filled first
// so that a further connection cannot even be established.
class SilentListener {
  public:
    explicit SilentListener(bool fill_backlog = false) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(fd_, 0) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot set up a loopback listener");
        port_ = ntohs(address.sin_port);
        for (int i = 0; fill_backlog && i < 2; ++i) {
            int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
            fillers_.push_back(client);
        }
        if (fill_backlog) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~SilentListener() {
        for (int fd : fillers_) close(fd);
        close(fd_);
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// A loopback port with nothing listening on it.
inline int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace servertest
