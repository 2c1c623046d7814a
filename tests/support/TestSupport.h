// TestSupport.h - what the suites share: gateway files in a fresh directory,
// a fake transaction server that records every byte it receives, and raw
// loopback clients.
#pragma once

#include "platform/Platform.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Starts the socket library once per process (Windows Sockets).
void EnsureSockets();

// The transaction lock for a test process. On Windows the gateway's lock is
// named and shared machine-wide, so test processes running side by side
// under Wine would otherwise hold each other up; each gets a lock of its own.
PlatformMutex* TestTransactionLock();

// A fresh directory holding the gateway's three files; points LogPath,
// SettingsPath and SequencePath at them and clears DebugMode.
class TempGatewayFiles {
  public:
    TempGatewayFiles();
    ~TempGatewayFiles();
    void WriteSettings(const std::string& text) const;
    void WriteSequence(const std::string& text) const;
    std::string ReadSequence() const;
    std::string ReadLog() const;
    const std::string& Directory() const { return directory_; }

  private:
    std::string directory_;
};

std::string ReadWholeFile(const std::string& path);
// The log's messages, each line's date and time cut off.
std::vector<std::string> LogMessages(const std::string& log);
void WriteWholeFile(const std::string& path, const std::string& text);

// Frames text the way the transaction server does: two length bytes, high first.
std::string Framed(const std::string& text);

// One accepted connection of a FakeServer, as seen by its handler.
class FakeConnection {
  public:
    explicit FakeConnection(PlatformSocket socket) : socket_(socket) {}
    void Send(const std::string& bytes) const;
    // Closes the connection now; the handler must not send afterwards.
    void Close();
    bool IsOpen() const { return socket_ != PlatformNoSocket; }
    PlatformSocket Socket() const { return socket_; }

  private:
    PlatformSocket socket_;
};

// A transaction server on 127.0.0.1 and a free port, or the port given. Each
// complete framed message it receives is recorded and passed to the handler,
// which answers (or misbehaves) through the connection. With no handler it
// answers every message with Framed("OK").
class FakeServer {
  public:
    using Handler = std::function<void(FakeConnection&, const std::string& message)>;
    explicit FakeServer(Handler handler = nullptr, unsigned short port = 0);
    ~FakeServer();
    unsigned short Port() const { return port_; }
    // Every framed message received so far, length bytes included.
    std::vector<std::string> Messages() const;
    // Every byte received so far, on all connections, in order.
    std::string Received() const;
    int Connections() const { return connections_.load(); }
    // Stops accepting and closes every connection.
    void Stop();

  private:
    void AcceptLoop();
    void Serve(PlatformSocket socket);

    Handler handler_;
    PlatformSocket listener_ = PlatformNoSocket;
    PlatformEvent* stop_ = nullptr;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex guard_;
    std::vector<std::string> messages_;
    std::string received_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// A TCP connection to 127.0.0.1:port, made from the given local address
// (null: any). PlatformNoSocket on failure.
PlatformSocket ConnectLoopback(unsigned short port, const char* fromAddress = nullptr);
// Reads until the peer closes or timeoutMs passes without data.
std::string ReadUntilClosed(PlatformSocket socket, int timeoutMs = 15000);
// Connects, sends the bytes, and returns everything read until the gateway closes.
std::string RawExchange(unsigned short port, const std::string& request,
                        const char* fromAddress = nullptr);

// A port that was free a moment ago.
unsigned short FreePort();
