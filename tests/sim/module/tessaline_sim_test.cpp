// The stand-alone simulator program: it announces where it listens, serves a host there and ends
// cleanly on SIGTERM or SIGINT.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "Process.h"
#include "SimTestSupport.h"

namespace {

using namespace std::chrono_literals;
using simtest::Hex;

using Clock = std::chrono::steady_clock;

// tessaline-sim running with its standard output on a pipe.
class SimProgram {
  public:
    explicit SimProgram(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), TESSALINE_SIM_BIN);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            for (auto& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~SimProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // The first line of standard output, without its line feed ("" when none came in 10 s).
    std::string FirstLine() {
        std::string line;
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return "";
    }

    // Sends `signal` and returns the exit status (-1 when the program did not exit by itself
    // within 10 s or was killed by a signal).
    int Stop(int signal) {
        kill(pid_, signal);
        const auto deadline = Clock::now() + 10s;
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

std::string sExchange(int fd, const std::vector<uint8_t>& request, size_t answerSize) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return "write failed";
    std::vector<uint8_t> answer;
    const auto deadline = Clock::now() + 10s;
    while (answer.size() < answerSize && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        uint8_t byte;
        if (read(fd, &byte, 1) != 1) break;
        answer.push_back(byte);
    }
    return Hex(answer);
}

TEST(TessalineSimProgram, ServesTcpOnTheAnnouncedPortUntilSigterm) {
    SimProgram program({"--address", "8", "--heartbeat-ms", "0"});
    const std::string line = program.FirstLine();
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    ASSERT_GT(port, 0);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(sExchange(fd, {0xAD, 0x00}, 2), "08 00");
    close(fd);

    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

// A TCP connection to the program's announced port; -1 when none.
int sConnectToAnnounced(SimProgram& program) {
    const std::string line = program.FirstLine();
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(line.substr(prefix.size()))));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(TessalineSimProgram, IsARouterWithTheSubModulesGiven) {
    SimProgram program({"--serial", "A000", "--model", "4", "--heartbeat-ms", "0", "--submodule",
                        "4:B004:13", "--submodule", "6:B006:9"});
    const int fd = sConnectToAnnounced(program);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sExchange(fd, {0x02, 0x03, 0x03, 0x49, 0x20}, 9), "02 07 03 09 00 00 00 A0 00");
    EXPECT_EQ(sExchange(fd, {0x02, 0x07, 0x08, 0x00, 0x06, 0x02, 0x03, 0x00, 0x00}, 7),
              "02 05 08 00 06 00 00");
    EXPECT_EQ(sExchange(fd, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01}, 6), "02 04 03 D4 00 01");
    EXPECT_EQ(sExchange(fd, {0x06, 0x03, 0x03, 0x49, 0x20}, 9), "06 07 03 09 00 00 00 B0 06");
    EXPECT_EQ(sExchange(fd, {0x04, 0x03, 0x03, 0x48, 0x20}, 6), "04 04 03 08 00 0D");
    close(fd);
    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

TEST(TessalineSimProgram, BusyModuleRefusesItsSystemEntity) {
    SimProgram program({"--heartbeat-ms", "0", "--busy"});
    const int fd = sConnectToAnnounced(program);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sExchange(fd, {0x02, 0x03, 0x03, 0x49, 0x20}, 6), "02 04 03 09 80 05");
    EXPECT_EQ(sExchange(fd, {0x02, 0x03, 0x17, 0x01, 0x02}, 5), "02 03 17 01 02");
    close(fd);
    EXPECT_EQ(program.Stop(SIGTERM), 0);
}

TEST(TessalineSimProgram, ServesAPtyAndSendsHeartbeatsUntilSigint) {
    SimProgram program({"--transport", "pty", "--heartbeat-ms", "20"});
    const std::string path = program.FirstLine();
    ASSERT_FALSE(path.empty());

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfmakeraw(&settings);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    tcflush(fd, TCIFLUSH);
    // Whatever is under way, a heartbeat comes whole: its four bytes are the first received
    // after the flush unless the flush cut one, so look for it in a short window.
    std::string seen = sExchange(fd, {}, 12);
    EXPECT_NE(seen.find("02 02 00 00"), std::string::npos) << seen;
    close(fd);

    EXPECT_EQ(program.Stop(SIGINT), 0);
}

TEST(TessalineSimProgram, RejectsABadOptionWithUsage) {
    testsupport::ProcessResult result =
        testsupport::RunProcess({TESSALINE_SIM_BIN, "--transport", "carrier-pigeon"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("bad value for --transport: carrier-pigeon"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("usage: tessaline-sim"), std::string::npos);
    EXPECT_EQ(result.out, "");
}

}  // namespace
