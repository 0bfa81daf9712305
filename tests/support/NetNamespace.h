#pragma once
// Private networks for tests of traffic between hosts (TCP/IP discovery and links).
//
// A PrivateNetwork moves the calling thread (and every thread and child process it starts from
// then on) into a fresh network namespace with only the loopback interface up, and gives the
// namespace it came from back when it goes. Far sides are further namespaces, each joined to it
// by a veth pair:
//   near end  "tln<k>", 10.213.<k>.1/24, in the test's namespace
//   far end   "tlf<k>", 10.213.<k>.2/24, in the far namespace, held open by a sleeping child
// Programs run on a far side through nsenter (FarCommand); code runs there on a thread that
// joins the far namespace (RunOnFarSide); sockets made there stay there.
//
// Every change happens in namespaces created here: the namespace the test started in is never
// touched, so a run outside a private namespace can do no harm either. Needs root (network
// administration), `ip` and `nsenter`; Unavailable() says why not when they are missing.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"

namespace testsupport {

// The full path of `program` on PATH or in the system folders; empty when absent.
inline std::string FindProgram(const std::string& program) {
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string candidate = path.substr(start, end - start) + "/" + program;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

class PrivateNetwork {
  public:
    // Why private networks can't be made here; empty when they can.
    static std::string Unavailable() {
        if (geteuid() != 0) return "needs root for network namespaces";
        if (FindProgram("ip").empty()) return "needs the ip program (iproute2)";
        if (FindProgram("nsenter").empty()) return "needs the nsenter program (util-linux)";
        return "";
    }

    PrivateNetwork() {
        original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (original_ < 0) throw std::runtime_error("cannot open the current network namespace");
        if (unshare(CLONE_NEWNET) != 0) {
            close(original_);
            throw std::runtime_error("unshare(CLONE_NEWNET) failed");
        }
        Ip({"link", "set", "lo", "up"});
    }

    ~PrivateNetwork() {
        for (FarSide& far : farSides_) {
            kill(far.holder, SIGKILL);
            waitpid(far.holder, nullptr, 0);
        }
        // The far namespaces go with their holders (and their last sockets), and their veth ends
        // with them; the test's namespace goes once nothing uses it any more.
        setns(original_, CLONE_NEWNET);
        close(original_);
    }

    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    // A new far side; returns its number k.
    int AddFarSide() {
        const int k = static_cast<int>(farSides_.size());
        FarSide far;
        far.holder = StartHolder();
        farSides_.push_back(far);
        const std::string near = NearInterface(k), farName = FarInterface(k);
        Ip({"link", "add", near, "type", "veth", "peer", "name", farName, "netns",
            std::to_string(far.holder)});
        Ip({"addr", "add", NearAddress(k) + "/24", "dev", near});
        Ip({"link", "set", near, "up"});
        FarIp(k, {"link", "set", "lo", "up"});
        FarIp(k, {"addr", "add", FarAddress(k) + "/24", "dev", farName});
        FarIp(k, {"link", "set", farName, "up"});
        // The kernel reports carrier changes with a delay: traffic sent before both ends are
        // operational is lost.
        WaitOperational({FindProgram("ip"), "-o", "link", "show", "dev", near});
        WaitOperational(FarCommand(k, {FindProgram("ip"), "-o", "link", "show", "dev", farName}));
        return k;
    }

    static std::string NearInterface(int k) { return "tln" + std::to_string(k); }
    static std::string FarInterface(int k) { return "tlf" + std::to_string(k); }
    static std::string NearAddress(int k) { return "10.213." + std::to_string(k) + ".1"; }
    static std::string FarAddress(int k) { return "10.213." + std::to_string(k) + ".2"; }

    // `argv` (argv[0] a program name or path) as a command that runs on far side k.
    std::vector<std::string> FarCommand(int k, const std::vector<std::string>& argv) const {
        std::vector<std::string> command = {FindProgram("nsenter"), "-t",
                                            std::to_string(farSides_.at(k).holder), "-n", "--"};
        command.insert(command.end(), argv.begin(), argv.end());
        return command;
    }

    // Runs `work` on a thread inside far side k and waits for it.
    void RunOnFarSide(int k, const std::function<void()>& work) const {
        const std::string path = "/proc/" + std::to_string(farSides_.at(k).holder) + "/ns/net";
        bool joined = false;
        std::thread thread([&] {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0) close(fd);
            if (joined) work();
        });
        thread.join();
        if (!joined) throw std::runtime_error("cannot join the far network namespace");
    }

    // Runs `ip` with `args` here / on far side k; throws when it fails.
    static void Ip(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {FindProgram("ip")};
        argv.insert(argv.end(), args.begin(), args.end());
        Check(RunProcess(argv, {}, std::chrono::seconds(10)), argv);
    }
    void FarIp(int k, const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {FindProgram("ip")};
        argv.insert(argv.end(), args.begin(), args.end());
        argv = FarCommand(k, argv);
        Check(RunProcess(argv, {}, std::chrono::seconds(10)), argv);
    }

  private:
    struct FarSide {
        pid_t holder = -1;
    };

    static void Check(const ProcessResult& result, const std::vector<std::string>& argv) {
        if (result.exit_status == 0) return;
        std::string command;
        for (const std::string& a : argv) command += a + " ";
        throw std::runtime_error(command + "failed: " + result.err);
    }

    // Runs `show` (an "ip -o link show" command) until it reports the link operational.
    static void WaitOperational(const std::vector<std::string>& show) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const ProcessResult result = RunProcess(show, {}, std::chrono::seconds(10));
            if (result.exit_status == 0 && result.out.find("state UP") != std::string::npos) return;
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("link not operational: " + result.out);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // A child in a namespace of its own that sleeps until it is killed (or the test dies).
    static pid_t StartHolder() {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        const pid_t pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const char status = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = write(ready[1], &status, 1);
            for (;;) pause();
        }
        close(ready[1]);
        char status = 'n';
        ssize_t n = -1;
        do {
            n = read(ready[0], &status, 1);
        } while (n < 0 && errno == EINTR);
        close(ready[0]);
        if (n != 1 || status != 'y') {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            throw std::runtime_error("cannot make a far network namespace");
        }
        return pid;
    }

    int original_ = -1;
    std::vector<FarSide> farSides_;
};

}  // namespace testsupport
