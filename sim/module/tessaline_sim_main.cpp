// tessaline-sim: one simulated TessaLine module on a TCP port of 127.0.0.1 or on a pty, until
// SIGINT or SIGTERM. See README.md.

#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimCommandLine.h"
#include "SimDevice.h"
#include "SimDiscoveryResponder.h"
#include "SimModule.h"
#include "SimPty.h"
#include "SimReport.h"
#include "SimTcpServer.h"

using namespace sim::tessaline;

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
    SimDevice device;
    if (options.subModules.empty()) {
        device = MakeSimDevice(options.module);
    } else {
        network = std::make_unique<SimRoutedNetwork>(options.module);
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
        }
    }
    device.system->SetBusy(options.busy);
    std::shared_ptr<SimModule> module = device.module;
    for (const SimFault& fault : options.faults) module->InjectFault(fault);

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
    responder.reset();
    tcp.reset();
    if (!options.reportPath.empty()) {
        std::vector<std::string> report = {
            SimReportLine(device, network ? &network->Bus() : nullptr)};
        if (network) {
            for (const auto& sub : network->SubModules())
                report.push_back(SimReportLine(*sub, nullptr));
        }
        if (!SimWriteReport(options.reportPath, report))
            fprintf(stderr, "tessaline-sim: cannot write %s\n", options.reportPath.c_str());
    }
    pty.reset();
    device = SimDevice{};
    network.reset();
    return 0;
}
