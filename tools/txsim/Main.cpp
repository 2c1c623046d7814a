// Main.cpp - the txsim command line: parses the options, starts one simulator
// and runs until Ctrl+C (SIGINT or SIGTERM on Linux).
#include "TxSim.h"

#include "Platform.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex StopMutex;
std::condition_variable StopSignal;
bool StopRequested = false;

bool OnConsoleCtrl(unsigned /*event*/) {
    {
        std::lock_guard<std::mutex> lock(StopMutex);
        StopRequested = true;
    }
    StopSignal.notify_all();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    TxSimOptions options;
    std::string error;
    switch (TxSimParseCommandLine(argc, argv, &options, &error)) {
    case TxSimCommandLine::Run:
        break;
    case TxSimCommandLine::Help:
        std::fputs(TxSimUsage().c_str(), stdout);
        return 0;
    case TxSimCommandLine::Error:
        std::fprintf(stderr, "txsim: %s (see --help)\n", error.c_str());
        return 2;
    }

    // Before the simulator's threads exist: on Linux they inherit the signal
    // mask that routes Ctrl+C to the handler's own thread.
    if (!PlatformSetConsoleCtrlHandler(OnConsoleCtrl))
        std::fprintf(stderr, "txsim: Ctrl+C handler not installed; end the process to stop\n");
    TxSim simulator;
    if (!simulator.Start(options, &error)) {
        std::fprintf(stderr, "txsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("txsim listening on %s:%u\n", options.bindAddress.c_str(),
                unsigned(simulator.Port()));
    std::fflush(stdout);

    std::unique_lock<std::mutex> lock(StopMutex);
    StopSignal.wait(lock, [] { return StopRequested; });
    lock.unlock();
    simulator.Stop();
    return 0;
}
