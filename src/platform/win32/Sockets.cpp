// Sockets.cpp - the Windows platform layer: Windows Sockets 2.
#ifdef _WIN32

#include "Internal.h"

#include <cstring>
#include <new>
#include <vector>

// TCP sockets

extern const int PlatformErrorAddressInUse = WSAEADDRINUSE;
extern const int PlatformErrorAccessDenied = WSAEACCES;
extern const int PlatformErrorTimedOut = WSAETIMEDOUT;
extern const int PlatformErrorWouldBlock = WSAEWOULDBLOCK;

bool PlatformSocketStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void PlatformSocketCleanup() {
    WSACleanup();
}

int PlatformSocketError() {
    return WSAGetLastError();
}

PlatformSocket PlatformTcpSocket() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? PlatformNoSocket : PlatformSocket(s);
}

void PlatformCloseSocket(PlatformSocket socket) {
    if (socket != PlatformNoSocket)
        closesocket(SOCKET(socket));
}

bool PlatformSetKeepAlive(PlatformSocket socket) {
    BOOL on = TRUE;
    return setsockopt(SOCKET(socket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

static sockaddr_in WinAddress(const char* dottedAddress, unsigned short port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = dottedAddress != nullptr ? inet_addr(dottedAddress) : INADDR_ANY;
    return address;
}

int PlatformConnect(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    sockaddr_in address = WinAddress(dottedAddress, port);
    if (connect(SOCKET(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return WSAGetLastError();
    return 0;
}

int PlatformConnectWithin(PlatformSocket socket, const char* dottedAddress, unsigned short port,
                          int timeoutMs) {
    sockaddr_in address = WinAddress(dottedAddress, port);
    u_long nonBlocking = 1;
    if (ioctlsocket(SOCKET(socket), FIONBIO, &nonBlocking) != 0)
        return WSAGetLastError();
    int error = 0;
    if (connect(SOCKET(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            // Writable: connected; in the exception set: refused or failed.
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(SOCKET(socket), &writable);
            FD_SET(SOCKET(socket), &failed);
            timeval limit;
            limit.tv_sec = timeoutMs / 1000;
            limit.tv_usec = (timeoutMs % 1000) * 1000;
            int ready = select(0, nullptr, &writable, &failed, &limit);
            if (ready == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (FD_ISSET(SOCKET(socket), &failed)) {
                int length = sizeof error;
                if (getsockopt(SOCKET(socket), SOL_SOCKET, SO_ERROR,
                               reinterpret_cast<char*>(&error), &length) != 0 ||
                    error == 0)
                    error = WSAECONNREFUSED;
            } else {
                error = 0;
            }
        }
    }
    u_long blocking = 0;
    ioctlsocket(SOCKET(socket), FIONBIO, &blocking);
    WSASetLastError(error);
    return error;
}

int PlatformBind(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    // No SO_REUSEADDR: on Windows it would let a second listener take over a
    // port that is in use instead of failing with WSAEADDRINUSE.
    sockaddr_in address = WinAddress(dottedAddress, port);
    if (bind(SOCKET(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return WSAGetLastError();
    return 0;
}

int PlatformListen(PlatformSocket socket, int backlog) {
    if (listen(SOCKET(socket), backlog) != 0)
        return WSAGetLastError();
    return 0;
}

unsigned short PlatformLocalPort(PlatformSocket socket) {
    sockaddr_in address;
    int length = sizeof address;
    if (getsockname(SOCKET(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// Accepts one connection and copies the peer's dotted address; the socket
// keeps what it inherits from the listener.
static SOCKET WinAcceptWithPeer(PlatformSocket listener, char* peer, size_t peerSize) {
    sockaddr_in address;
    int length = sizeof address;
    SOCKET s = accept(SOCKET(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    const char* text = inet_ntoa(address.sin_addr);
    if (text == nullptr) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (peer != nullptr)
        WinCopyText(text, peer, peerSize);
    return s;
}

PlatformSocket PlatformAccept(PlatformSocket listener, char* peer, size_t peerSize) {
    SOCKET s = WinAcceptWithPeer(listener, peer, peerSize);
    if (s == INVALID_SOCKET)
        return PlatformNoSocket;
    // An accepted socket inherits the listener's event selection and with it
    // non-blocking mode; connection threads expect a plain blocking socket.
    u_long nonBlocking = 0;
    if (WSAEventSelect(s, nullptr, 0) != 0 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return PlatformNoSocket;
    }
    return PlatformSocket(s);
}

PlatformSocket PlatformAcceptNonBlocking(PlatformSocket listener, char* peer, size_t peerSize) {
    // The wait set's event selection makes the listener non-blocking, and an
    // accepted socket inherits that and the FD_ACCEPT selection, which a
    // connected socket never signals: a watch replaces it, a close ends it.
    SOCKET s = WinAcceptWithPeer(listener, peer, peerSize);
    return s == INVALID_SOCKET ? PlatformNoSocket : PlatformSocket(s);
}

long PlatformSend(PlatformSocket socket, const void* data, size_t size) {
    // Windows raises no signal for a closed peer; send simply fails.
    int sent = send(SOCKET(socket), static_cast<const char*>(data), int(WinClampSize(size)), 0);
    return sent == SOCKET_ERROR ? -1 : long(sent);
}

long PlatformRecv(PlatformSocket socket, void* buffer, size_t size) {
    if (size == 0)
        return 0;
    int got = recv(SOCKET(socket), static_cast<char*>(buffer), int(WinClampSize(size)), 0);
    return got == SOCKET_ERROR ? -1 : long(got);
}

long PlatformRecvWithin(PlatformSocket socket, void* buffer, size_t size, int timeoutMs) {
    int ready = PlatformWaitReadable(socket, timeoutMs);
    if (ready == 0)
        return PlatformTimedOut;
    if (ready < 0)
        return -1;
    return PlatformRecv(socket, buffer, size);
}

void PlatformShutdownSend(PlatformSocket socket) {
    shutdown(SOCKET(socket), SD_SEND);
}

int PlatformWaitReadable(PlatformSocket socket, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(socket), &readable);
    timeval limit;
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    int ready = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR)
        return -1;
    return ready > 0 ? 1 : 0;
}

int PlatformWaitAcceptOrEvent(PlatformSocket listener, PlatformEvent* event) {
    if (event == nullptr)
        return -1;
    WSAEVENT networkEvent = WSACreateEvent();
    if (networkEvent == WSA_INVALID_EVENT)
        return -1;
    int result = -1;
    // Selecting FD_ACCEPT signals at once when a connection is already
    // waiting, so nothing that arrived between two calls is missed.
    if (WSAEventSelect(SOCKET(listener), networkEvent, FD_ACCEPT) == 0) {
        HANDLE handles[2] = {networkEvent, event->handle};
        DWORD wait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) {
            // Clears the recorded FD_ACCEPT and resets the event object.
            WSANETWORKEVENTS happened;
            WSAEnumNetworkEvents(SOCKET(listener), networkEvent, &happened);
            result = 1;
        } else if (wait == WAIT_OBJECT_0 + 1) {
            result = 0;
        }
        // Drop the association before the event object goes; the listener
        // stays non-blocking, which PlatformAccept undoes for each connection.
        int error = WSAGetLastError();
        WSAEventSelect(SOCKET(listener), nullptr, 0);
        WSASetLastError(error);
    }
    WSACloseEvent(networkEvent);
    return result;
}

// One manual-reset network event carries FD_ACCEPT for the listener and
// FD_READ / FD_CLOSE for every watched socket; when it fires, WSAPoll tells
// which of them are ready. The event is reset before that poll, so whatever
// happens after the poll fires it again.
struct PlatformWaitSet {
    SOCKET listener;
    HANDLE stop;
    WSAEVENT network;
    std::vector<WSAPOLLFD> sockets; // [0] is the listener
    std::vector<void*> tags;        // parallel to sockets
};

// A socket that leaves the set no longer signals the set's event; it stays
// non-blocking, as it came from PlatformAcceptNonBlocking.
static void WinPlainSocket(SOCKET s) {
    WSAEventSelect(s, nullptr, 0);
}

PlatformWaitSet* PlatformCreateWaitSet(PlatformSocket listener, PlatformEvent* event) {
    if (event == nullptr)
        return nullptr;
    WSAEVENT network = WSACreateEvent();
    if (network == WSA_INVALID_EVENT)
        return nullptr;
    PlatformWaitSet* set =
        new (std::nothrow) PlatformWaitSet{SOCKET(listener), event->handle, network, {}, {}};
    if (set == nullptr || WSAEventSelect(SOCKET(listener), network, FD_ACCEPT) != 0) {
        delete set;
        WSACloseEvent(network);
        return nullptr;
    }
    set->sockets.push_back(WSAPOLLFD{SOCKET(listener), POLLRDNORM, 0});
    set->tags.push_back(nullptr);
    return set;
}

void PlatformDestroyWaitSet(PlatformWaitSet* set) {
    if (set == nullptr)
        return;
    for (size_t i = 1; i < set->sockets.size(); ++i)
        WinPlainSocket(set->sockets[i].fd);
    // The listener stays non-blocking, which PlatformAccept undoes for each connection.
    WSAEventSelect(set->listener, nullptr, 0);
    WSACloseEvent(set->network);
    delete set;
}

bool PlatformWatchSocket(PlatformWaitSet* set, PlatformSocket socket, void* tag) {
    if (WSAEventSelect(SOCKET(socket), set->network, FD_READ | FD_CLOSE) != 0)
        return false;
    set->sockets.push_back(WSAPOLLFD{SOCKET(socket), POLLRDNORM, 0});
    set->tags.push_back(tag);
    return true;
}

// The socket is about to be closed, which ends its event selection: it is
// only taken off the list.
void PlatformUnwatchSocket(PlatformWaitSet* set, PlatformSocket socket) {
    for (size_t i = 1; i < set->sockets.size(); ++i) {
        if (set->sockets[i].fd == SOCKET(socket)) {
            set->sockets.erase(set->sockets.begin() + std::ptrdiff_t(i));
            set->tags.erase(set->tags.begin() + std::ptrdiff_t(i));
            return;
        }
    }
}

bool PlatformWaitSetWait(PlatformWaitSet* set, int timeoutMs, void** ready, int maxReady,
                         PlatformWaitSetReport* report) {
    *report = PlatformWaitSetReport{false, false, 0};
    HANDLE handles[2] = {set->stop, set->network};
    DWORD wait =
        WaitForMultipleObjects(2, handles, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (wait == WAIT_FAILED)
        return false;
    if (wait == WAIT_TIMEOUT)
        return true;
    if (WaitForSingleObject(set->stop, 0) == WAIT_OBJECT_0) {
        report->eventSet = true;
        return true;
    }
    WSAResetEvent(set->network);
    for (WSAPOLLFD& entry : set->sockets)
        entry.revents = 0;
    if (WSAPoll(set->sockets.data(), ULONG(set->sockets.size()), 0) == SOCKET_ERROR)
        return false;
    report->connectionWaiting = set->sockets[0].revents != 0;
    size_t kept = 1;
    bool leftOver = false;
    for (size_t i = 1; i < set->sockets.size(); ++i) {
        if (set->sockets[i].revents != 0 && report->readyCount < maxReady) {
            ready[report->readyCount++] = set->tags[i];
            WinPlainSocket(set->sockets[i].fd);
            continue;
        }
        leftOver = leftOver || set->sockets[i].revents != 0;
        set->sockets[kept] = set->sockets[i];
        set->tags[kept] = set->tags[i];
        ++kept;
    }
    set->sockets.resize(kept);
    set->tags.resize(kept);
    // Their FD_READ has been taken already: the next wait must not sleep.
    if (leftOver)
        WSASetEvent(set->network);
    return true;
}

bool PlatformResolveIPv4(const char* host, char* out, size_t size) {
    if (host == nullptr || out == nullptr || size == 0)
        return false;
    // The run sequence resolves before the listener has started Windows
    // Sockets, so this holds its own reference for the look-up.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    bool ok = false;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
        for (addrinfo* entry = found; entry != nullptr && !ok; entry = entry->ai_next) {
            if (entry->ai_family != AF_INET || entry->ai_addr == nullptr)
                continue;
            const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            const char* text = inet_ntoa(address->sin_addr);
            ok = text != nullptr && WinCopyText(text, out, size);
        }
        freeaddrinfo(found);
    }
    WSACleanup();
    return ok;
}

#endif // _WIN32
