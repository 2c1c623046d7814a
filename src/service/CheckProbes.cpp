// CheckProbes.cpp - what "check" tries beyond the file, changing nothing: a
// connect to the transaction server with nothing sent, a bind of each port
// let go at once, and a read of the counter.
#include "Check.h"

#include "Counter.h"
#include "Files.h"
#include "Platform.h"

#include <cstdio>

namespace {

constexpr int ConnectLimitMs = 5000;

} // namespace

std::string ErrorWords(int code) {
    char text[256];
    FormatErrorText(code, text, sizeof text);
    return text;
}

void ProbeServer(CheckReport* report, const CheckTargets& targets) {
    unsigned short port = static_cast<unsigned short>(targets.serverPort & 0xFFFF);
    if (targets.serverAddress.empty() || port == 0) {
        std::printf("Transaction server: not tried\n");
        return;
    }
    std::string where = targets.serverAddress + ":" + std::to_string(port);
    PlatformSocket socket = PlatformTcpSocket();
    int error =
        socket == PlatformNoSocket
            ? PlatformSocketError()
            : PlatformConnectWithin(socket, targets.serverAddress.c_str(), port, ConnectLimitMs);
    PlatformCloseSocket(socket);
    if (error == 0)
        std::printf("Transaction server %s: connected\n", where.c_str());
    else
        ReportNow(report, true,
                  "cannot connect to the transaction server " + where + ": " + ErrorWords(error));
}

// Binds the port as its listener would and lets it go at once.
void ProbePort(CheckReport* report, const char* what, const char* address, int configured) {
    unsigned short port = static_cast<unsigned short>(configured & 0xFFFF);
    if (port == 0)
        return;
    PlatformSocket socket = PlatformTcpSocket();
    int error =
        socket == PlatformNoSocket ? PlatformSocketError() : PlatformBind(socket, address, port);
    PlatformCloseSocket(socket);
    std::string name = std::string(what) + " " + std::to_string(port);
    if (error == 0)
        std::printf("%s: free\n", name.c_str());
    else if (error == PlatformErrorAddressInUse)
        ReportNow(report, false, name + " is in use: the gateway may already be running");
    else if (error == PlatformErrorAccessDenied)
        ReportNow(report, false,
                  name + " may not be bound by this account (" + ErrorWords(error) +
                      "); the gateway's account needs that right");
    else
        ReportNow(report, true, name + " cannot be bound: " + ErrorWords(error));
}

void ShowSequence(CheckReport* report) {
    int next = 0;
    int error = PeekSequenceNumber(&next);
    if (error == 0)
        std::printf("Next sequence number: %d\n", next);
    else if (error == PlatformFileNotFound)
        std::printf("Next sequence number: 0 (no counter file yet)\n");
    else
        ReportNow(report, false,
                  std::string("the counter file cannot be read: ") + ErrorWords(error));
}
