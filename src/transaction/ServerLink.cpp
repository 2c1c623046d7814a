// ServerLink.cpp - the one persistent connection to the transaction server:
// made when first needed and after every failure, checked and drained before
// each message, never retried once a send has started.
#include "Exchange.h"
#include "Transaction.h"

#include "Metrics.h"
#include "Platform.h"
#include "Settings.h"
#include "Text.h"

#include <cstdio>
#include <cstring>

namespace {

// Set by StartServerLink before the listener starts; read-only afterwards.
char ServerAddress[32] = "127.0.0.1";
int ServerPort = 3770;

// Touched only while the transaction lock is held.
PlatformSocket ServerSocket = PlatformNoSocket;
bool ReconnectNeeded = true;
// The failure text for the status port, with card numbers masked.
char MaskedFailure[ReplyAreaSize];

// More than this waiting on an idle connection is not a stray reply.
constexpr long MaxStrayBytes = 64 * 1024;

// Discards bytes waiting on the idle connection: they are a late or surplus
// reply to an earlier transaction and must not be taken for this one's.
// Returns false when the server has closed or reset the connection.
bool DrainIdleConnection() {
    char scratch[1024];
    long discarded = 0;
    for (;;) {
        int ready = PlatformWaitReadable(ServerSocket, 0);
        if (ready == 0)
            return true;
        if (ready < 0)
            return false;
        long got = PlatformRecv(ServerSocket, scratch, sizeof scratch);
        if (got <= 0)
            return false;
        discarded += got;
        if (discarded > MaxStrayBytes)
            return false;
    }
}

bool ConnectToServer(char* replyArea) {
    PlatformCloseSocket(ServerSocket);
    ServerSocket = PlatformTcpSocket();
    // A socket that could not be made, or keep-alive that could not be set,
    // shows up as the connect's failure below.
    if (ServerSocket != PlatformNoSocket)
        PlatformSetKeepAlive(ServerSocket);
    int error = PlatformConnect(ServerSocket, ServerAddress,
                                static_cast<unsigned short>(ServerPort & 0xFFFF));
    if (error != 0) {
        snprintf(replyArea, ReplyAreaSize, "Unable to connect to server: Error %d", error);
        NoteExchange(false, replyArea);
        return false;
    }
    NoteServerConnected();
    return true;
}

// The reply source of a real exchange: the persistent server connection.
long ReceiveFromServer(void*, char* buffer, size_t size, int waitMs, int* error) {
    if (waitMs >= 0 && PlatformWaitReadable(ServerSocket, waitMs) == 0)
        return ReceiveTimedOut;
    long got = PlatformRecv(ServerSocket, buffer, size);
    if (got < 0) {
        *error = PlatformSocketError();
        return ReceiveFailed;
    }
    return got;
}

} // namespace

bool StartServerLink() {
    ServerPort = ReadSetting("ServerPortNumber");
    char configured[sizeof ServerAddress];
    ReadSettingText("ServerAddress", configured, sizeof configured);
    char dotted[sizeof ServerAddress];
    bool resolved = PlatformResolveIPv4(configured, dotted, sizeof dotted);
    std::snprintf(ServerAddress, sizeof ServerAddress, "%s", resolved ? dotted : configured);
    return resolved;
}

const char* ServerLinkAddress() {
    return ServerAddress;
}

unsigned short ServerLinkPort() {
    return static_cast<unsigned short>(ServerPort & 0xFFFF);
}

bool ReadyServerLink(char* replyArea) {
    if (!ReconnectNeeded && !DrainIdleConnection())
        ReconnectNeeded = true;
    if (ReconnectNeeded && !ConnectToServer(replyArea))
        return false;
    ReconnectNeeded = false;
    return true;
}

bool SendToServer(const char* message, int length, char* replyArea) {
    if (PlatformSend(ServerSocket, message, static_cast<size_t>(length)) >= 0)
        return true;
    ReconnectNeeded = true;
    snprintf(replyArea, ReplyAreaSize, "Unable to send data: Error %d", PlatformSocketError());
    NoteExchange(false, replyArea);
    return false;
}

int CollectServerReply(char* replyArea, int replyTimeoutSeconds) {
    int result =
        CollectReply(replyArea, replyTimeoutSeconds, ReplyReceiver{ReceiveFromServer, nullptr});
    NoteExchange(result == TransactionDone, replyArea);
    // A reply that failed or stopped short leaves the connection out of step.
    if (result != TransactionDone)
        ReconnectNeeded = true;
    return result;
}

void NoteExchange(bool reached, const char* failure) {
    if (reached) {
        NoteServerExchange(true, "");
        return;
    }
    size_t length = std::strlen(failure);
    if (length >= sizeof MaskedFailure)
        length = sizeof MaskedFailure - 1;
    std::memcpy(MaskedFailure, failure, length);
    MaskedFailure[length] = '\0';
    MaskDigitRuns(MaskedFailure, length);
    NoteServerExchange(false, MaskedFailure);
}

void CloseServerConnection() {
    PlatformCloseSocket(ServerSocket);
    ServerSocket = PlatformNoSocket;
    ReconnectNeeded = true;
    NoteServerClosed();
}
