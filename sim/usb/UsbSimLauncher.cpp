#include "UsbSimLauncher.h"

#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "EmulatedUsbBus.h"

extern char** environ;

namespace sim::usb {

namespace {

constexpr char kReexecMark[] = "USB_SIM_REEXEC";
constexpr char kAsanLinkOrder[] = "verify_asan_link_order=0";

volatile sig_atomic_t sChild = 0;

std::vector<std::string> sSplit(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string::npos;
         at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A model number: decimal or 0x-hex, 0..255.
std::optional<uint8_t> sParseModel(const std::string& text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    for (char c : digits)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c))
                  : std::isdigit(static_cast<unsigned char>(c))))
            return std::nullopt;
    unsigned long value = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value > 255) return std::nullopt;
    return static_cast<uint8_t>(value);
}

// "SERIAL:MODEL[:high|full]" (speed only when `speedAllowed`) into a module configuration.
std::optional<UsbDeviceConfig> sParseModule(const std::string& text, bool kernelNode,
                                            std::string& error) {
    std::vector<std::string> parts = sSplit(text, ':');
    const size_t most = kernelNode ? 2 : 3;
    if (parts.size() < 2 || parts.size() > most) {
        error = "expected SERIAL:MODEL" + std::string(kernelNode ? "" : "[:high|full]") +
                ", got \"" + text + "\"";
        return std::nullopt;
    }
    UsbDeviceConfig config;
    config.vendorId = kTessaLineVendorId;
    config.kernelNode = kernelNode;
    config.serial = parts[0];
    if (kernelNode) {
        std::string path = KernelNodePath(parts[0]);
        if (path.empty()) {
            error = "a kernel-node module needs a serial of 1 to 8 hex digits, got \"" + parts[0] +
                    "\"";
            return std::nullopt;
        }
        config.serial = path.substr(path.size() - 8);  // the same eight digits as the node name
    } else if (!IsValidSerialText(parts[0])) {
        error = "serial text must be 1 to 126 printable characters without backslash, got \"" +
                parts[0] + "\"";
        return std::nullopt;
    }
    std::optional<uint8_t> model = sParseModel(parts[1]);
    if (!model) {
        error = "model must be a number from 0 to 255, got \"" + parts[1] + "\"";
        return std::nullopt;
    }
    config.productId = *model;
    if (parts.size() == 3) {
        if (parts[2] != "high" && parts[2] != "full") {
            error = "speed must be \"high\" or \"full\", got \"" + parts[2] + "\"";
            return std::nullopt;
        }
        config.speed = parts[2] == "high" ? UsbSpeed::High : UsbSpeed::Full;
    }
    return config;
}

bool sHasSerial(const UsbSimOptions& options, const std::string& serial) {
    return std::any_of(options.modules.begin(), options.modules.end(),
                       [&](const UsbDeviceConfig& m) { return m.serial == serial; });
}

// Every --busy names a module; no serial is used twice.
bool sCheckConsistency(const UsbSimOptions& options, std::string& error) {
    for (size_t i = 0; i < options.modules.size(); ++i)
        for (size_t j = i + 1; j < options.modules.size(); ++j)
            if (options.modules[i].serial == options.modules[j].serial) {
                error = "two modules with serial \"" + options.modules[i].serial + "\"";
                return false;
            }
    for (const std::string& serial : options.busy)
        if (!sHasSerial(options, serial)) {
            error = "--busy " + serial + ": no such module";
            return false;
        }
    if (options.command.empty()) {
        error = "no command given after --";
        return false;
    }
    return true;
}

void sForwardSignal(int signal) {
    if (sChild > 0) kill(static_cast<pid_t>(sChild), signal);
}

// Runs the command with this process's environment (UMOCKDEV_DIR, LD_PRELOAD) and waits for it.
int sRunCommand(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        std::fprintf(stderr, "usb-sim: %s: %s\n", argv[0], std::strerror(error));
        return error == ENOENT ? 127 : 126;
    }
    sChild = pid;
    struct sigaction forward {};
    forward.sa_handler = sForwardSignal;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &forward, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    sChild = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return kLauncherFailure;
}

// Starts this program again under umockdev-wrapper; returns only on failure.
int sReexecUnderWrapper(int argc, char** argv) {
    if (std::getenv(kReexecMark)) {
        std::fprintf(stderr,
                     "usb-sim: umockdev's preload library did not load under umockdev-wrapper\n");
        return kLauncherFailure;
    }
    setenv(kReexecMark, "1", 1);
    // An AddressSanitizer build refuses to start behind another preloaded library otherwise.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = asan ? asan : "";
    if (options.find(kAsanLinkOrder) == std::string::npos)
        setenv("ASAN_OPTIONS",
               (options.empty() ? "" : options + ":").append(kAsanLinkOrder).c_str(), 1);
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        std::fprintf(stderr, "usb-sim: cannot find its own program file\n");
        return kLauncherFailure;
    }
    self[length] = '\0';
    std::vector<char*> args{const_cast<char*>("umockdev-wrapper"), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "usb-sim: umockdev-wrapper: %s\n", std::strerror(errno));
    return kLauncherFailure;
}

int sRunBus(const UsbSimOptions& options, const UsbSimBehaviours& behaviours) {
    EmulatedUsbBus bus;
    for (const UsbDeviceConfig& config : options.modules) {
        EmulatedUsbDevice& device = bus.AddModule(config, behaviours.module(bus, config));
        if (std::find(options.busy.begin(), options.busy.end(), config.serial) !=
            options.busy.end())
            device.SetBusy(true);
    }
    if (options.imx) bus.AddHid(HidDeviceConfig{}, behaviours.imx(bus));
    const int status = sRunCommand(options.command);
    if (behaviours.finished) behaviours.finished();
    return status;
}

}  // namespace

const char* UsbSimUsage() {
    return "usage: usb-sim [--module SERIAL:MODEL[:high|full]]... [--node SERIAL:MODEL]...\n"
           "               [--busy SERIAL]... [--imx] -- COMMAND [ARGS...]\n";
}

std::optional<UsbSimOptions> ParseUsbSimOptions(const std::vector<std::string>& args,
                                                std::string& error) {
    return ParseUsbSimOptions(args, {}, error);
}

std::optional<UsbSimOptions> ParseUsbSimOptions(const std::vector<std::string>& args,
                                                const std::vector<std::string>& extraNames,
                                                std::string& error) {
    UsbSimOptions options;
    size_t i = 0;
    for (; i < args.size() && args[i] != "--"; ++i) {
        const std::string& option = args[i];
        if (option == "--imx") {
            options.imx = true;
            continue;
        }
        const bool extra =
            std::find(extraNames.begin(), extraNames.end(), option) != extraNames.end();
        if (option != "--module" && option != "--node" && option != "--busy" && !extra) {
            error = "unknown option \"" + option + "\"";
            return std::nullopt;
        }
        if (i + 1 >= args.size() || args[i + 1] == "--") {
            error = option + " needs a value";
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (extra) {
            options.extra.emplace_back(option, value);
            continue;
        }
        if (option == "--busy") {
            options.busy.push_back(value);
            continue;
        }
        std::optional<UsbDeviceConfig> module = sParseModule(value, option == "--node", error);
        if (!module) {
            error = option + ": " + error;
            return std::nullopt;
        }
        options.modules.push_back(*module);
    }
    if (i < args.size())
        options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    if (!sCheckConsistency(options, error)) return std::nullopt;
    return options;
}

bool IsUmockdevPreloaded(const char* ldPreload) {
    return ldPreload && std::strstr(ldPreload, "libumockdev-preload") != nullptr;
}

int RunUsbSim(int argc, char** argv, const UsbSimBehaviours& behaviours) {
    std::string error;
    std::optional<UsbSimOptions> options = ParseUsbSimOptions(
        std::vector<std::string>(argv + 1, argv + argc), behaviours.extraOptions, error);
    // The simulator's own usage goes with a bare run and with errors in its own options.
    bool ownUsage = argc <= 1;
    if (options && behaviours.configure) {
        error = behaviours.configure(*options);
        if (!error.empty()) options.reset(), ownUsage = true;
    }
    if (!options) {
        std::fprintf(stderr, "usb-sim: %s\n%s%s", error.c_str(), UsbSimUsage(),
                     ownUsage ? behaviours.extraUsage.c_str() : "");
        return kLauncherFailure;
    }
    if (!IsUmockdevPreloaded(std::getenv("LD_PRELOAD"))) return sReexecUnderWrapper(argc, argv);
    unsetenv(kReexecMark);
    try {
        return sRunBus(*options, behaviours);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "usb-sim: %s\n", e.what());
        return kLauncherFailure;
    }
}

}  // namespace sim::usb
