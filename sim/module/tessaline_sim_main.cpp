// tessaline-sim: one simulated TessaLine module on a TCP port of 127.0.0.1 or on a pty, until
// SIGINT or SIGTERM. See README.md.

#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimCommandLine.h"
#include "SimModule.h"
#include "SimPty.h"
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

    auto module = std::make_shared<SimModule>(options.module);
    for (const SimFault& fault : options.faults) module->InjectFault(fault);

    std::unique_ptr<SimTcpServer> tcp;
    std::unique_ptr<SimPty> pty;
    if (options.transport == SimTransport::Tcp) {
        tcp = std::make_unique<SimTcpServer>(module);
        aErr err = tcp->Start(options.port);
        if (err != aErrNone) {
            fprintf(stderr, "tessaline-sim: cannot listen on 127.0.0.1:%u (%s)\n", options.port,
                    aError_GetErrorText(err));
            return 1;
        }
        printf("listening on 127.0.0.1:%u\n", tcp->Port());
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
    tcp.reset();
    pty.reset();
    return 0;
}
