// tessaline-sim: one simulated TessaLine module on a TCP port of 127.0.0.1 or on a pty, until
// SIGINT or SIGTERM. See README.md.
//
// The module and its sub-modules answer the firmware-upgrade command set. When the module
// restarts (LOAD, REBOOT) over TCP it drops the host, stops listening and listens again on the
// same port after kTcpDowntime (never again after LOAD with no-return); sub-modules leave their
// bus and come back (SimSubModuleRestarts).

#include <arpa/inet.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimCommandLine.h"
#include "SimDevice.h"
#include "SimDiscoveryResponder.h"
#include "SimModule.h"
#include "SimPty.h"
#include "SimReport.h"
#include "SimTcpServer.h"
#include "SimUpgrade.h"

using namespace sim::tessaline;

namespace {

constexpr std::chrono::milliseconds kTcpDowntime{500};

// The TCP server as the module's restarts see it; null once the program is ending.
struct TcpRestarts {
    std::mutex mutex;  // held while the server is used, so the end waits for a restart under way
    SimTcpServer* tcp = nullptr;
};

// A restart of `module` stops the server listening (the host is dropped first, so it can't
// reconnect before the module went) and, unless the module does not return, listens again on the
// same port after kTcpDowntime.
void sRestartOverTcp(SimUpgrade& upgrade, const std::shared_ptr<SimModule>& module,
                     std::shared_ptr<TcpRestarts> restarts, bool noReturn) {
    std::weak_ptr<SimModule> weak = module;  // the handler lives in the module
    upgrade.SetLeavingHandler([restarts, weak, noReturn](SimUpgradeEvent event) {
        std::shared_ptr<SimModule> self = weak.lock();
        std::lock_guard<std::mutex> lock(restarts->mutex);
        if (!restarts->tcp || !self) return;
        restarts->tcp->StopListening();
        if (noReturn && event == SimUpgradeEvent::LoaderStarted) return;
        self->Schedule(kTcpDowntime, [restarts] {
            std::lock_guard<std::mutex> lock(restarts->mutex);
            if (!restarts->tcp) return;
            const aErr err = restarts->tcp->StartListening();
            if (err != aErrNone)
                fprintf(stderr, "tessaline-sim: cannot listen again on port %u (%s)\n",
                        restarts->tcp->Port(), aError_GetErrorText(err));
        });
    });
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options = DefaultSimOptions();
    std::string error = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), &options);
    if (!error.empty()) {
        fprintf(stderr, "tessaline-sim: %s\n%s", error.c_str(), kSimUsage);
        return 2;
    }
    if (options.help) {
        fputs(kSimUsage, stdout);
        return 0;
    }

    // Signals are taken by sigwait below; every thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // A complete family module; with sub-modules, a router with its I2C network.
    std::unique_ptr<SimRoutedNetwork> network;
    std::unique_ptr<SimSubModuleRestarts> subRestarts;
    SimDevice device;
    if (options.subModules.empty()) {
        device = MakeSimDevice(options.module);
    } else {
        network = std::make_unique<SimRoutedNetwork>(options.module);
        subRestarts = std::make_unique<SimSubModuleRestarts>(network->Bus());
        device = network->Router();
        for (const SimSubModuleOption& sub : options.subModules) {
            SimModuleConfig config;
            config.address = sub.address;
            config.serialNumber = sub.serialNumber;
            config.model = sub.model;
            config.firmwareVersion = options.module.firmwareVersion;
            config.firmwareBuild = options.module.firmwareBuild;
            SimDevice* added = network->AddSubModule(config);
            if (!added) {
                fprintf(stderr, "tessaline-sim: no room for a sub-module at address %u\n",
                        sub.address);
                return 2;
            }
            added->system->SetValue(kSysRouter, options.module.address);  // names its router
            const SimUpgradeOptions defaults;
            subRestarts->Watch(*InstallUpgrade(*added, defaults, true), added->module, false);
        }
    }
    device.system->SetBusy(options.busy);
    std::shared_ptr<SimModule> module = device.module;
    for (const SimFault& fault : options.faults) module->InjectFault(fault);
    std::shared_ptr<SimUpgrade> upgrade = InstallUpgrade(device, options.upgrade, false);
    auto tcpRestarts = std::make_shared<TcpRestarts>();

    std::unique_ptr<SimTcpServer> tcp;
    std::unique_ptr<SimDiscoveryResponder> responder;
    std::unique_ptr<SimPty> pty;
    if (options.transport == SimTransport::Tcp) {
        in_addr bind{};
        inet_pton(AF_INET, options.bindAddress.c_str(), &bind);
        tcp = std::make_unique<SimTcpServer>(module);
        aErr err = tcp->Start(options.port, ntohl(bind.s_addr));
        if (err != aErrNone) {
            fprintf(stderr, "tessaline-sim: cannot listen on %s:%u (%s)\n",
                    options.bindAddress.c_str(), options.port, aError_GetErrorText(err));
            return 1;
        }
        if (options.discovery) {
            responder = std::make_unique<SimDiscoveryResponder>(module, tcp->Port());
            err = responder->Start(bind.s_addr == htonl(INADDR_ANY) ? "" : options.bindAddress);
            if (err != aErrNone) {
                fprintf(stderr, "tessaline-sim: cannot answer discovery on %s (%s)\n",
                        options.bindAddress.c_str(), aError_GetErrorText(err));
                return 1;
            }
        }
        {
            std::lock_guard<std::mutex> lock(tcpRestarts->mutex);
            tcpRestarts->tcp = tcp.get();
        }
        sRestartOverTcp(*upgrade, module, tcpRestarts, options.upgrade.noReturn);
        printf("listening on %s:%u\n", options.bindAddress.c_str(), tcp->Port());
    } else {
        pty = std::make_unique<SimPty>(module);
        aErr err = pty->Open();
        if (err != aErrNone) {
            fprintf(stderr, "tessaline-sim: cannot open a pty (%s)\n", aError_GetErrorText(err));
            return 1;
        }
        printf("%s\n", pty->SlavePath().c_str());
    }
    fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    {
        std::lock_guard<std::mutex> lock(tcpRestarts->mutex);
        tcpRestarts->tcp = nullptr;
    }
    if (subRestarts) subRestarts->Close();
    responder.reset();
    tcp.reset();
    int status = 0;
    if (!options.reportPath.empty()) {
        std::vector<std::string> report = {
            SimReportLine(device, network ? &network->Bus() : nullptr)};
        if (network) {
            for (const auto& sub : network->SubModules())
                report.push_back(SimReportLine(*sub, nullptr));
        }
        if (!SimWriteReport(options.reportPath, report)) {
            fprintf(stderr, "tessaline-sim: cannot write %s\n", options.reportPath.c_str());
            status = 1;
        }
    }
    const std::string& flash = options.upgrade.flashPath;
    if (!flash.empty() && !upgrade->WriteImages(flash)) {
        fprintf(stderr, "tessaline-sim: cannot write %s or %s.loader\n", flash.c_str(),
                flash.c_str());
        status = 1;
    }
    pty.reset();
    upgrade.reset();
    device = SimDevice{};
    subRestarts.reset();
    network.reset();
    return status;
}
