// Sockets.cpp - the Linux platform layer: IPv4 TCP sockets.
#ifndef _WIN32

#include "Internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

// Sockets

const int PlatformErrorAddressInUse = EADDRINUSE;
const int PlatformErrorAccessDenied = EACCES;
const int PlatformErrorTimedOut = ETIMEDOUT;
const int PlatformErrorWouldBlock = EAGAIN;

bool PlatformSocketStartup() {
    return true;
}

void PlatformSocketCleanup() {}

int PlatformSocketError() {
    return errno;
}

static int PosixFd(PlatformSocket socket) {
    return static_cast<int>(socket);
}

PlatformSocket PlatformTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? PlatformNoSocket : static_cast<PlatformSocket>(fd);
}

void PlatformCloseSocket(PlatformSocket socket) {
    if (socket != PlatformNoSocket)
        close(PosixFd(socket));
}

bool PlatformSetKeepAlive(PlatformSocket socket) {
    int on = 1;
    return setsockopt(PosixFd(socket), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
}

static bool PosixAddress(const char* dotted, unsigned short port, sockaddr_in* address) {
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (dotted == nullptr) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, dotted, &address->sin_addr) == 1;
}

// The address a socket is to connect to: 0, or the error code that ends
// the connect before it starts.
static int PosixConnectTarget(PlatformSocket socket, const char* dotted, unsigned short port,
                              sockaddr_in* address) {
    if (socket == PlatformNoSocket)
        return errno != 0 ? errno : EBADF;
    if (!PosixAddress(dotted, port, address)) {
        errno = EINVAL;
        return errno;
    }
    return 0;
}

int PlatformConnect(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    sockaddr_in address;
    if (int error = PosixConnectTarget(socket, dottedAddress, port, &address))
        return error;
    int result;
    do {
        result = connect(PosixFd(socket), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int PlatformConnectWithin(PlatformSocket socket, const char* dottedAddress, unsigned short port,
                          int timeoutMs) {
    sockaddr_in address;
    if (int error = PosixConnectTarget(socket, dottedAddress, port, &address))
        return error;
    int fd = PosixFd(socket);
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        // Interrupted or not, the connect goes on in the background.
        if (error == EINPROGRESS || error == EINTR) {
            pollfd entry{fd, POLLOUT, 0};
            int64_t deadline = PlatformMonotonicMs() + timeoutMs;
            int ready;
            do {
                int64_t left = deadline - PlatformMonotonicMs();
                ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t length = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    errno = error;
    return error;
}

int PlatformBind(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    sockaddr_in address;
    if (!PosixAddress(dottedAddress, port, &address)) {
        errno = EINVAL;
        return errno;
    }
    // On Linux this only permits binding over connections that have closed
    // and linger; a second live listener still fails with EADDRINUSE.
    int on = 1;
    setsockopt(PosixFd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(PosixFd(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return errno;
    return 0;
}

int PlatformListen(PlatformSocket socket, int backlog) {
    if (listen(PosixFd(socket), backlog) != 0)
        return errno;
    // Non-blocking, so an accept after a connection vanished cannot hang the listener.
    int flags = fcntl(PosixFd(socket), F_GETFL);
    fcntl(PosixFd(socket), F_SETFL, flags | O_NONBLOCK);
    return 0;
}

unsigned short PlatformLocalPort(PlatformSocket socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(PosixFd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// Like inet_ntop() for IPv4, without its general machinery; every accepted
// connection needs one. An area too small gets an empty text.
static void PosixDottedAddress(in_addr address, char* out, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
    char text[16];
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned value = bytes[i];
        if (value >= 100)
            text[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10)
            text[length++] = static_cast<char>('0' + value / 10 % 10);
        text[length++] = static_cast<char>('0' + value % 10);
        text[length++] = i < 3 ? '.' : '\0';
    }
    if (length > size) {
        out[0] = '\0';
        return;
    }
    memcpy(out, text, length);
}

static PlatformSocket PosixAccept(PlatformSocket listener, char* peer, size_t peerSize, int flags) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int fd;
    do {
        fd = accept4(PosixFd(listener), reinterpret_cast<sockaddr*>(&address), &length, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return PlatformNoSocket;
    if (peer != nullptr && peerSize > 0)
        PosixDottedAddress(address.sin_addr, peer, peerSize);
    return static_cast<PlatformSocket>(fd);
}

PlatformSocket PlatformAccept(PlatformSocket listener, char* peer, size_t peerSize) {
    // accept4 does not pass the listener's O_NONBLOCK on: the socket blocks.
    return PosixAccept(listener, peer, peerSize, SOCK_CLOEXEC);
}

PlatformSocket PlatformAcceptNonBlocking(PlatformSocket listener, char* peer, size_t peerSize) {
    return PosixAccept(listener, peer, peerSize, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

long PlatformSend(PlatformSocket socket, const void* data, size_t size) {
    ssize_t n;
    do {
        n = send(PosixFd(socket), data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long PlatformRecv(PlatformSocket socket, void* buffer, size_t size) {
    ssize_t n;
    do {
        n = recv(PosixFd(socket), buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long PlatformRecvWithin(PlatformSocket socket, void* buffer, size_t size, int timeoutMs) {
    // A request usually arrives with its connection: try before waiting.
    ssize_t n;
    do {
        n = recv(PosixFd(socket), buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        return static_cast<long>(n);
    int ready = PlatformWaitReadable(socket, timeoutMs);
    if (ready == 0)
        return PlatformTimedOut;
    if (ready < 0)
        return -1;
    return PlatformRecv(socket, buffer, size);
}

void PlatformShutdownSend(PlatformSocket socket) {
    shutdown(PosixFd(socket), SHUT_WR);
}

int PlatformWaitReadable(PlatformSocket socket, int timeoutMs) {
    // poll, not select: a busy gateway holds descriptors above FD_SETSIZE.
    pollfd entry{PosixFd(socket), POLLIN, 0};
    int64_t deadline = timeoutMs < 0 ? 0 : PlatformMonotonicMs() + timeoutMs;
    for (;;) {
        int wait = timeoutMs < 0 ? -1 : static_cast<int>(deadline - PlatformMonotonicMs());
        if (timeoutMs >= 0 && wait < 0)
            wait = 0;
        int result = poll(&entry, 1, wait);
        if (result > 0)
            return 1;
        if (result == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int PlatformWaitAcceptOrEvent(PlatformSocket listener, PlatformEvent* event) {
    pollfd entries[2] = {{event->fd, POLLIN, 0}, {PosixFd(listener), POLLIN, 0}};
    for (;;) {
        if (event->set.load())
            return 0;
        int result = poll(entries, 2, -1);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return -1;
        if (event->set.load() || (entries[0].revents & POLLIN))
            return 0;
        if (entries[1].revents & (POLLERR | POLLNVAL))
            return -1;
        if (entries[1].revents & POLLIN)
            return 1;
    }
}

// Level-triggered for the listener and the event; each watched socket is
// one-shot, so it is reported once and stays in the set, disarmed, until it
// is closed or watched again.
struct PlatformWaitSet {
    int epoll;
    PlatformEvent* event;
};

// Tags of the listener and the event; a watched socket's tag is never null.
static char PosixListenerTag;

PlatformWaitSet* PlatformCreateWaitSet(PlatformSocket listener, PlatformEvent* event) {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return nullptr;
    epoll_event stop{};
    stop.events = EPOLLIN;
    stop.data.ptr = nullptr;
    epoll_event accept{};
    accept.events = EPOLLIN;
    accept.data.ptr = &PosixListenerTag;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, event->fd, &stop) != 0 ||
        epoll_ctl(epoll, EPOLL_CTL_ADD, PosixFd(listener), &accept) != 0) {
        close(epoll);
        return nullptr;
    }
    return new PlatformWaitSet{epoll, event};
}

void PlatformDestroyWaitSet(PlatformWaitSet* set) {
    if (set == nullptr)
        return;
    close(set->epoll);
    delete set;
}

bool PlatformWatchSocket(PlatformWaitSet* set, PlatformSocket socket, void* tag) {
    epoll_event entry{};
    entry.events = EPOLLIN | EPOLLONESHOT;
    entry.data.ptr = tag;
    if (epoll_ctl(set->epoll, EPOLL_CTL_ADD, PosixFd(socket), &entry) == 0)
        return true;
    // Reported before and still in the set: arm it again.
    return errno == EEXIST && epoll_ctl(set->epoll, EPOLL_CTL_MOD, PosixFd(socket), &entry) == 0;
}

void PlatformUnwatchSocket(PlatformWaitSet* set, PlatformSocket socket) {
    epoll_ctl(set->epoll, EPOLL_CTL_DEL, PosixFd(socket), nullptr);
}

bool PlatformWaitSetWait(PlatformWaitSet* set, int timeoutMs, void** ready, int maxReady,
                         PlatformWaitSetReport* report) {
    *report = PlatformWaitSetReport{false, false, 0};
    // At most maxReady entries in all, so every socket reported fits; the
    // listener and the event stay ready and come again if left out.
    constexpr int MaxEvents = 64;
    epoll_event events[MaxEvents];
    if (maxReady > MaxEvents)
        maxReady = MaxEvents;
    if (maxReady < 1)
        return false;
    int count = epoll_wait(set->epoll, events, maxReady, timeoutMs < 0 ? -1 : timeoutMs);
    if (count < 0)
        return errno == EINTR;
    for (int i = 0; i < count; ++i) {
        void* tag = events[i].data.ptr;
        if (tag == nullptr)
            report->eventSet = true;
        else if (tag == &PosixListenerTag)
            report->connectionWaiting = true;
        else
            ready[report->readyCount++] = tag;
    }
    report->eventSet = report->eventSet || set->event->set.load();
    return true;
}

bool PlatformResolveIPv4(const char* host, char* out, size_t size) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    bool ok = inet_ntop(AF_INET, &address->sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
    freeaddrinfo(found);
    return ok;
}

#endif // !_WIN32
