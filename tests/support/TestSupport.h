// TestSupport.h - what the suites share: temporary directories and gateway
// files, a fake transaction server that records every byte it receives, raw
// loopback clients, and the check of a whole answer.
#pragma once

#include "Platform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The field separator of the transaction server's messages.
inline const std::string FS = "\x1C";

// An environment variable's value; empty when it is not set.
std::string Env(const char* name);
// An environment variable holding a port number (the TLS peers' ports).
unsigned short EnvPort(const char* name);

// A settings file: "[Settings]" with the listen and server ports (each left
// out when 0) and the extra lines, then "[Allowed Clients]" with the
// clients' lines; lines end with newline (the profile rules take LF and CR LF).
std::string SettingsText(unsigned short listenPort, unsigned short serverPort,
                         const std::string& extra = "",
                         const std::string& clients = "127.0.0.1=1\n", const char* newline = "\n");

// Waits until condition() holds, polling every 5 ms; false on time-out.
template <typename Condition> bool WaitUntil(Condition condition, int timeoutMs = 5000) {
    for (int64_t end = PlatformMonotonicMs() + timeoutMs; PlatformMonotonicMs() < end;) {
        if (condition())
            return true;
        PlatformSleepMs(5);
    }
    return condition();
}

// A fresh directory, removed with everything in it afterwards.
class TempDirectory {
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const;

  private:
    std::string path_;
};

// Starts the socket library once per process (Windows Sockets).
void EnsureSockets();

// Sets the calling thread's last system error (SetLastError / errno), as a
// failed system call would.
void SetSystemError(int code);

// The transaction lock for a test process. On Windows the gateway's lock is
// named and shared machine-wide, so test processes running side by side
// under Wine would otherwise hold each other up; each gets a lock of its own.
PlatformMutex* TestTransactionLock();

// A fresh directory holding the gateway's files, as if beside "gateway.exe";
// points LogPath, SettingsPath, SequencePath and JournalStem at them and
// clears DebugMode.
class TempGatewayFiles {
  public:
    TempGatewayFiles();
    void WriteSettings(const std::string& text) const;
    void WriteSequence(const std::string& text) const;
    std::string ReadSequence() const;
    std::string ReadLog() const;
    const std::string& Directory() const { return directory_.Path(); }

  private:
    TempDirectory directory_;
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

// A port on 127.0.0.1 that drops every connect, as a server behind a
// firewall that drops SYNs does: a listener with backlog 0 whose queue is
// already full, so a connect to it hangs until its own limit (Linux, and
// Wine over it, drop the SYN rather than refuse it).
class SynDropper {
  public:
    SynDropper();
    ~SynDropper();
    SynDropper(const SynDropper&) = delete;
    SynDropper& operator=(const SynDropper&) = delete;
    unsigned short Port() const { return port_; }
    // Its queue is full: the last connect made to fill it timed out.
    bool Dropping() const { return dropping_; }

  private:
    PlatformSocket listener_ = PlatformNoSocket;
    std::vector<PlatformSocket> queued_;
    unsigned short port_ = 0;
    bool dropping_ = false;
};

// A TCP connection to 127.0.0.1:port, made from the given local address
// (null: any). PlatformNoSocket on failure.
PlatformSocket ConnectLoopback(unsigned short port, const char* fromAddress = nullptr);
// Reads until the peer closes or timeoutMs passes without data.
std::string ReadUntilClosed(PlatformSocket socket, int timeoutMs = 15000);
// Connects, sends the bytes, and returns everything read until the gateway closes.
std::string RawExchange(unsigned short port, const std::string& request,
                        const char* fromAddress = nullptr);

// Connects (from the given local address, or any), sends bytes (none:
// nothing), optionally ends the sending side, and returns what came back and
// how long the gateway kept the connection.
std::string Client(unsigned short port, const std::string& bytes, bool endSending,
                   int64_t* elapsedMs, const char* from = nullptr);

// RawExchange made again while the port does not accept yet (a gateway still
// starting); "<no connection>" when it never did within 10 s.
std::string ExchangeOnceListening(unsigned short port, const std::string& request,
                                  const char* fromAddress = nullptr);

// A sale of card 4111111111111111 and reference 0917 from 127.0.0.1, sent
// again while the gateway on port does not listen yet (see
// ExchangeOnceListening).
std::string SaleOnceListening(unsigned short port, int amount = 250);

// A port that was free a moment ago.
unsigned short FreePort();

// "GET <url> HTTP/1.1" with a Host line, as a till sends it.
std::string Get(const std::string& url);

// The parts of one response, after checking that the header block around
// the date is exactly the gateway's, with the given content type line.
struct Answer {
    std::string status;
    std::string date;
    std::string body;
    bool wellFormed = false;
};
constexpr char HtmlContentType[] = "Content-type: text/html";
constexpr char MetricsContentType[] = "Content-Type: text/plain; version=0.0.4";
Answer ParseAnswer(const std::string& response, const char* contentType = HtmlContentType);

// Asserts that response is exactly status and body with the gateway's headers.
// The response expression is evaluated once.
#define EXPECT_ANSWER(response, expectedStatus, expectedBody)                                      \
    do {                                                                                           \
        const std::string response_ = (response);                                                  \
        Answer answer_ = ParseAnswer(response_);                                                   \
        EXPECT_TRUE(answer_.wellFormed) << response_;                                              \
        EXPECT_EQ(answer_.status, expectedStatus) << response_;                                    \
        EXPECT_EQ(answer_.body, expectedBody) << response_;                                        \
    } while (0)

// The HTTP date of a UTC second, as the gateway writes it.
std::string HttpDateOf(int64_t utcSecond);
