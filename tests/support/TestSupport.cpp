// TestSupport.cpp - shared fixtures and loopback helpers for the suites.
#include "support/TestSupport.h"

#include "Files.h"
#include "HttpText.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

unsigned short EnvPort(const char* name) {
    return static_cast<unsigned short>(std::atoi(Env(name).c_str()));
}

std::string SettingsText(unsigned short listenPort, unsigned short serverPort,
                         const std::string& extra, const std::string& clients,
                         const char* newline) {
    std::string text = "[Settings]\n";
    if (listenPort != 0)
        text += "ListenPortNumber=" + std::to_string(listenPort) + "\n";
    if (serverPort != 0)
        text += "ServerPortNumber=" + std::to_string(serverPort) + "\n";
    text += extra + "[Allowed Clients]\n" + clients;
    std::string lines;
    for (char c : text) {
        if (c == '\n')
            lines += newline;
        else
            lines += c;
    }
    return lines;
}

void SetSystemError(int code) {
#ifdef _WIN32
    SetLastError(static_cast<DWORD>(code));
#else
    errno = code;
#endif
}

void EnsureSockets() {
    static std::once_flag once;
    std::call_once(once, [] { PlatformSocketStartup(); });
}

PlatformMutex* TestTransactionLock() {
    static PlatformMutex* lock = [] {
        std::random_device random;
        std::string name =
            "QhgTestLock-" + std::to_string(random()) + "-" + std::to_string(random());
        return PlatformCreateMutex(name.c_str());
    }();
    return lock;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> LogMessages(const std::string& log) {
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t colon = line.find(": ");
        messages.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
        start = end + 1;
    }
    return messages;
}

void WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

TempDirectory::TempDirectory() {
    std::random_device random;
    fs::path dir = fs::temp_directory_path() /
                   ("qhg-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    fs::create_directories(dir);
    path_ = dir.string();
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDirectory::File(const std::string& name) const {
    return (fs::path(path_) / name).string();
}

TempGatewayFiles::TempGatewayFiles() {
    DeriveFilePaths(directory_.File("gateway.exe").c_str());
    DebugMode = false;
}

void TempGatewayFiles::WriteSettings(const std::string& text) const {
    WriteWholeFile(SettingsPath, text);
}

void TempGatewayFiles::WriteSequence(const std::string& text) const {
    WriteWholeFile(SequencePath, text);
}

std::string TempGatewayFiles::ReadSequence() const {
    return ReadWholeFile(SequencePath);
}

std::string TempGatewayFiles::ReadLog() const {
    return ReadWholeFile(LogPath);
}

std::string Framed(const std::string& text) {
    std::string framed;
    framed += static_cast<char>((text.size() >> 8) & 0xFF);
    framed += static_cast<char>(text.size() & 0xFF);
    return framed + text;
}

void FakeConnection::Send(const std::string& bytes) const {
    if (socket_ != PlatformNoSocket)
        PlatformSend(socket_, bytes.data(), bytes.size());
}

void FakeConnection::Close() {
    PlatformCloseSocket(socket_);
    socket_ = PlatformNoSocket;
}

FakeServer::FakeServer(Handler handler, unsigned short port) : handler_(std::move(handler)) {
    EnsureSockets();
    if (!handler_)
        handler_ = [](FakeConnection& connection, const std::string&) {
            connection.Send(Framed("OK"));
        };
    stop_ = PlatformCreateEvent();
    listener_ = PlatformTcpSocket();
    if (PlatformBind(listener_, "127.0.0.1", port) != 0 || PlatformListen(listener_, 64) != 0) {
        PlatformCloseSocket(listener_);
        listener_ = PlatformNoSocket;
        return;
    }
    port_ = PlatformLocalPort(listener_);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeServer::~FakeServer() {
    Stop();
}

void FakeServer::Stop() {
    if (stopping_.exchange(true))
        return;
    PlatformSetEvent(stop_);
    if (acceptor_.joinable())
        acceptor_.join();
    PlatformCloseSocket(listener_);
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(guard_);
        threads.swap(threads_);
    }
    for (auto& thread : threads)
        thread.join();
}

void FakeServer::AcceptLoop() {
    while (PlatformWaitAcceptOrEvent(listener_, stop_) == 1) {
        PlatformSocket socket = PlatformAccept(listener_, nullptr, 0);
        if (socket == PlatformNoSocket)
            continue;
        ++connections_;
        std::lock_guard lock(guard_);
        threads_.emplace_back([this, socket] { Serve(socket); });
    }
}

void FakeServer::Serve(PlatformSocket socket) {
    FakeConnection connection(socket);
    std::string pending;
    char buffer[4096];
    while (!stopping_ && connection.IsOpen()) {
        int ready = PlatformWaitReadable(socket, 20);
        if (ready == 0)
            continue;
        long got = ready > 0 ? PlatformRecv(socket, buffer, sizeof buffer) : -1;
        if (got <= 0)
            break;
        {
            std::lock_guard lock(guard_);
            received_.append(buffer, static_cast<size_t>(got));
        }
        pending.append(buffer, static_cast<size_t>(got));
        while (pending.size() >= 2 && connection.IsOpen()) {
            size_t length = (static_cast<unsigned char>(pending[0]) << 8) |
                            static_cast<unsigned char>(pending[1]);
            if (pending.size() < length + 2)
                break;
            std::string message = pending.substr(0, length + 2);
            pending.erase(0, length + 2);
            {
                std::lock_guard lock(guard_);
                messages_.push_back(message);
            }
            handler_(connection, message);
        }
    }
    connection.Close();
}

std::vector<std::string> FakeServer::Messages() const {
    std::lock_guard lock(guard_);
    return messages_;
}

std::string FakeServer::Received() const {
    std::lock_guard lock(guard_);
    return received_;
}

PlatformSocket ConnectLoopback(unsigned short port, const char* fromAddress) {
    EnsureSockets();
    PlatformSocket socket = PlatformTcpSocket();
    if (socket == PlatformNoSocket)
        return socket;
    if ((fromAddress != nullptr && PlatformBind(socket, fromAddress, 0) != 0) ||
        PlatformConnect(socket, "127.0.0.1", port) != 0) {
        PlatformCloseSocket(socket);
        return PlatformNoSocket;
    }
    return socket;
}

std::string ReadUntilClosed(PlatformSocket socket, int timeoutMs) {
    std::string text;
    char buffer[4096];
    while (PlatformWaitReadable(socket, timeoutMs) == 1) {
        long got = PlatformRecv(socket, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

std::string RawExchange(unsigned short port, const std::string& request, const char* fromAddress) {
    PlatformSocket socket = ConnectLoopback(port, fromAddress);
    if (socket == PlatformNoSocket)
        return "<no connection>";
    if (!request.empty())
        PlatformSend(socket, request.data(), request.size());
    std::string response = ReadUntilClosed(socket);
    PlatformCloseSocket(socket);
    return response;
}

SynDropper::SynDropper() {
    EnsureSockets();
    listener_ = PlatformTcpSocket();
    if (PlatformBind(listener_, "127.0.0.1", 0) != 0 || PlatformListen(listener_, 0) != 0)
        return;
    port_ = PlatformLocalPort(listener_);
    // Connects that complete fill the queue; the first one that hangs shows
    // it is full.
    for (int i = 0; i < 8 && !dropping_; ++i) {
        queued_.push_back(PlatformTcpSocket());
        dropping_ =
            PlatformConnectWithin(queued_.back(), "127.0.0.1", port_, 300) == PlatformErrorTimedOut;
    }
}

SynDropper::~SynDropper() {
    for (PlatformSocket socket : queued_)
        PlatformCloseSocket(socket);
    PlatformCloseSocket(listener_);
}

unsigned short FreePort() {
    EnsureSockets();
    PlatformSocket socket = PlatformTcpSocket();
    PlatformBind(socket, "127.0.0.1", 0);
    unsigned short port = PlatformLocalPort(socket);
    PlatformCloseSocket(socket);
    return port;
}

std::string Client(unsigned short port, const std::string& bytes, bool endSending,
                   int64_t* elapsedMs, const char* from) {
    PlatformSocket socket = ConnectLoopback(port, from);
    if (socket == PlatformNoSocket)
        return "<no connection>";
    int64_t start = PlatformMonotonicMs();
    if (!bytes.empty())
        PlatformSend(socket, bytes.data(), bytes.size());
    if (endSending)
        PlatformShutdownSend(socket);
    std::string received = ReadUntilClosed(socket, 15000);
    *elapsedMs = PlatformMonotonicMs() - start;
    PlatformCloseSocket(socket);
    return received;
}

std::string ExchangeOnceListening(unsigned short port, const std::string& request,
                                  const char* fromAddress) {
    std::string response;
    WaitUntil(
        [&] {
            response = RawExchange(port, request, fromAddress);
            return response != "<no connection>";
        },
        10000);
    return response;
}

std::string SaleOnceListening(unsigned short port, int amount) {
    return ExchangeOnceListening(port, "GET /Sale?4111111111111111+" + std::to_string(amount) +
                                           "+0917 HTTP/1.0\r\n\r\n");
}

std::string Get(const std::string& url) {
    return "GET " + url + " HTTP/1.1\r\nHost: gateway\r\n\r\n";
}

Answer ParseAnswer(const std::string& response, const char* contentType) {
    Answer answer;
    const std::string start = "HTTP/1.1 ";
    if (response.compare(0, start.size(), start) != 0)
        return answer;
    size_t statusEnd = response.find("\r\n");
    answer.status = response.substr(start.size(), statusEnd - start.size());
    const std::string server = "\r\nServer: BraskHollinServer\r\nDate: ";
    if (response.compare(statusEnd, server.size(), server) != 0)
        return answer;
    // "Tue, 06 Oct 2009 08:05:09 GMT" is always 29 characters.
    size_t date = statusEnd + server.size();
    const std::string rest = "\r\n" + std::string(contentType) +
                             "\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";
    if (response.size() < date + 29 || response.compare(date + 25, 4, " GMT") != 0 ||
        response.compare(date + 29, rest.size(), rest) != 0)
        return answer;
    answer.date = response.substr(date, 29);
    answer.body = response.substr(date + 29 + rest.size());
    answer.wellFormed = true;
    return answer;
}

std::string HttpDateOf(int64_t utcSecond) {
    char text[64];
    FormatHttpDate(utcSecond * 1000, text, sizeof text);
    return text;
}
