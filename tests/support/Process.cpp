#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

void sDrain(int fd, std::string& into, bool& open) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0)
        into.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

// In the child after fork: runs `argv` in place of this process; never returns.
[[noreturn]] void sExec(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds limit) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
        sExec(argv);
    }
    close(out[1]);
    close(err[1]);

    ProcessResult result;
    bool outOpen = true, errOpen = true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        if (fds[0].revents) sDrain(out[0], result.out, outOpen);
        if (fds[1].revents) sDrain(err[0], result.err, errOpen);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "updater-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

BackgroundProcess::~BackgroundProcess() {
    Stop();
}

std::string BackgroundProcess::Start(const std::vector<std::string>& argv,
                                     std::chrono::milliseconds limit) {
    Stop();
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        sExec(argv);
    }
    close(out[1]);
    out_ = out[0];
    // Byte by byte, so that nothing after the first line is taken from the pipe.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {out_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        char c;
        if (read(out_, &c, 1) != 1) return "";
        if (c == '\n') return line;
        line += c;
    }
}

int BackgroundProcess::Stop(int signal, std::chrono::milliseconds grace) {
    int result = -1;
    if (pid_ > 0) {
        kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        pid_t ended = 0;
        while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            usleep(10000);
        if (ended == pid_) {
            if (WIFEXITED(status)) result = WEXITSTATUS(status);
        } else {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testsupport
