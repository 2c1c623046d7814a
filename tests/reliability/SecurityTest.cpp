// SecurityTest.cpp - what must never get through the gateway: requests from
// clients that are not listed, items with control bytes or too long for a
// message, and card data into the log, the journal or any other file; and a
// crowd of silent connections must not keep a listed client from being
// served: each unlisted address may keep only so many waiting, and the
// descriptor limit is raised at start.
#include "reliability/ReliabilityHarness.h"

#include "Files.h"
#include "Run.h"
#include "Service.h"
#include "Transaction.h"
#include "support/Internals.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <malloc.h>
#else
#include <malloc.h>
#include <sys/resource.h>
#endif

// Memory is read as it is given back: while a test watches, every block a
// thread other than the test's own frees is searched for a pattern. The
// sanitizers keep their own allocators, so there it is not replaced.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FREED_MEMORY_READ 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FREED_MEMORY_READ 0
#endif
#endif
#ifndef FREED_MEMORY_READ
#define FREED_MEMORY_READ 1
#endif

namespace freed {
std::atomic<bool> watching{false};
std::thread::id tester;
std::vector<std::string> patterns;
std::atomic<int> largeBlocks{0}; // blocks of a request area's size or more, read
std::atomic<int> holding{0};     // blocks that still held the pattern

void Read(void* block) {
    if (block == nullptr || !watching.load() || std::this_thread::get_id() == tester)
        return;
#ifdef _WIN32
    size_t size = _msize(block);
#else
    size_t size = malloc_usable_size(block);
#endif
    if (size >= 2048)
        ++largeBlocks;
    const char* bytes = static_cast<const char*>(block);
    for (const std::string& pattern : patterns) {
        if (std::search(bytes, bytes + size, pattern.begin(), pattern.end()) != bytes + size)
            ++holding;
    }
}
} // namespace freed

#if FREED_MEMORY_READ
// The replacements below pair malloc with free themselves.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
    if (void* block = std::malloc(size != 0 ? size : 1))
        return block;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* block) noexcept {
    freed::Read(block);
    std::free(block);
}
void operator delete[](void* block) noexcept {
    operator delete(block);
}
void operator delete(void* block, size_t) noexcept {
    operator delete(block);
}
void operator delete[](void* block, size_t) noexcept {
    operator delete(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    operator delete(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    operator delete(block);
}
#endif

namespace {

const std::string Card = "4000056655665556";
const std::string Reference = "INV7731";

bool AcceptEveryReport(unsigned, unsigned, unsigned, unsigned, unsigned) {
    return true;
}

// A plain TCP relay from a free port to target that records every byte the
// gateway sends through it: what anyone on the line would see.
class RecordingRelay {
  public:
    explicit RecordingRelay(unsigned short target) : target_(target) {
        listener_ = PlatformTcpSocket();
        PlatformBind(listener_, "127.0.0.1", 0);
        PlatformListen(listener_, 8);
        port_ = PlatformLocalPort(listener_);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~RecordingRelay() {
        stopping_ = true;
        acceptor_.join();
        {
            std::lock_guard<std::mutex> hold(guard_);
            for (PlatformSocket socket : sockets_)
                PlatformShutdownSend(socket);
        }
        for (std::thread& pump : pumps_)
            pump.join();
        for (PlatformSocket socket : sockets_)
            PlatformCloseSocket(socket);
        PlatformCloseSocket(listener_);
    }
    unsigned short Port() const { return port_; }
    std::string Sent() const {
        std::lock_guard<std::mutex> hold(guard_);
        return sent_;
    }

  private:
    void Accept() {
        while (!stopping_) {
            if (PlatformWaitReadable(listener_, 50) != 1)
                continue;
            PlatformSocket gateway = PlatformAccept(listener_, nullptr, 0);
            PlatformSocket server = ConnectLoopback(target_);
            std::lock_guard<std::mutex> hold(guard_);
            sockets_.push_back(gateway);
            sockets_.push_back(server);
            pumps_.emplace_back([this, gateway, server] { Pump(gateway, server, true); });
            pumps_.emplace_back([this, gateway, server] { Pump(server, gateway, false); });
        }
    }
    void Pump(PlatformSocket from, PlatformSocket to, bool record) {
        char buffer[4096];
        for (;;) {
            int ready = PlatformWaitReadable(from, 50);
            if (ready == 0 && !stopping_)
                continue;
            long got = ready > 0 ? PlatformRecv(from, buffer, sizeof buffer) : 0;
            if (got <= 0)
                break;
            if (record) {
                std::lock_guard<std::mutex> hold(guard_);
                sent_.append(buffer, static_cast<size_t>(got));
            }
            PlatformSend(to, buffer, static_cast<size_t>(got));
        }
        PlatformShutdownSend(to);
    }

    unsigned short target_;
    unsigned short port_ = 0;
    PlatformSocket listener_ = PlatformNoSocket;
    std::atomic<bool> stopping_{false};
    mutable std::mutex guard_;
    std::vector<PlatformSocket> sockets_;
    std::vector<std::thread> pumps_;
    std::string sent_;
    std::thread acceptor_;
};

// Any six digits in a row of the card.
bool HasCardPiece(const std::string& bytes) {
    for (size_t i = 0; i + 6 <= Card.size(); ++i) {
        if (bytes.find(Card.substr(i, 6)) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

TEST_F(ReliabilityTest, UnlistedClientsNeverReachTheServer) {
    StartServer();
    StartGateway("AllowVoid=1\n", "127.0.0.1=5\n127.0.0.3=0\n");

    std::string wholeArea = "GET /Sale?" + Card + "+100+";
    wholeArea += std::string(2047 - wholeArea.size() - 13, 'R') + " HTTP/1.1\r\n\r\n";
    const std::vector<std::string> requests = {
        Get("/Sale?" + Card + "+100+" + Reference), Get("/FundsAvailable?" + Card + "+100"),
        Get("/Void?" + Card + "+100+" + Reference),
        Get("/Sale?" + Card + "+100+" + Reference +
            "\x1C"
            "99"),
        "POST /Sale?" + Card + "+100+" + Reference + " HTTP/1.1\r\n\r\n",
        "POST /x HTTP/1.1\r\nX: GET /Sale?" + Card + "+100+" + Reference + " HTTP/1.1\r\n\r\n",
        wholeArea, "GET /Sale?" + std::string(4000, '4') + "+1+2 HTTP/1.1\r\n\r\n",
        // A framed funds-available message, as if the till spoke the server's protocol.
        Framed(std::string("03") + FS + FS + "84" + FS + "1" + FS + FS + FS + FS + Card + FS + "2"),
        "", // closes at once
    };
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (const std::string& request : requests) {
            SCOPED_TRACE(std::string(from) + " " + request.substr(0, 60));
            int64_t elapsed = 0;
            EXPECT_ANSWER(Client(port, request, true, &elapsed, from), "403 Forbidden",
                          "Access denied.");
        }
    }
    // Not a byte: the gateway never even connected, and used no number.
    EXPECT_EQ(server->ConnectionsAccepted(), 0u);
    EXPECT_TRUE(server->Messages().empty());
    EXPECT_EQ(NextSequence(), 17);
    EXPECT_TRUE(JournalRows().empty()) << "refused before the exchange";

    // The same sale from the listed client goes through.
    ExpectServing(100);
    EXPECT_EQ(server->Messages().size(), 1u);
}

TEST_F(ReliabilityTest, ControlBytesInItemsAreRefusedBeforeTheServer) {
    StartServer();
    StartGateway("AllowVoid=1\n");
    const std::string items[] = {Card, "250", Reference};
    // Each control byte in the middle of each item that the message uses.
    // CR and LF end the request line and NUL ends the text, so they cannot
    // reach an item.
    const char controls[] = {'\x01', '\x08', '\x09', '\x0B', '\x0C', '\x1B',
                             '\x1C', '\x1D', '\x1E', '\x1F', '\x7F'};
    int refused = 0;
    for (const char* path : {"/Sale?", "/Void?", "/FundsAvailable?"}) {
        size_t used = std::string(path) == "/FundsAvailable?" ? 2 : 3;
        for (size_t position = 0; position < used; ++position) {
            for (char control : controls) {
                std::string query;
                for (size_t i = 0; i < used; ++i) {
                    std::string item = items[i];
                    if (i == position)
                        item.insert(1, 1, control);
                    query += (i > 0 ? "+" : "") + item;
                }
                SCOPED_TRACE(std::string(path) + " item " + std::to_string(position) + " byte " +
                             std::to_string(int(control)));
                EXPECT_ANSWER(Send(Get(path + query)), "400 Bad Request", "Syntax error.");
                ++refused;
            }
        }
    }
    EXPECT_EQ(refused, 88);
    EXPECT_EQ(server->ConnectionsAccepted(), 0u);
    EXPECT_EQ(NextSequence(), 17);
    EXPECT_TRUE(JournalRows().empty()) << "refused before the exchange";
    ExpectServing(100);
}

TEST_F(ReliabilityTest, ItemsTooLongForAMessageAreRefusedBeforeTheServer) {
    StartServer();
    StartGateway();
    // Funds available: 16 bytes around the first item with amount 1, so a
    // 239-byte item fills the 255-byte message exactly, and 240 is too many.
    std::string fits(239, '7');
    EXPECT_ANSWER(Send(Get("/FundsAvailable?" + fits + "+1")), "200 OK", FundsApproval(1));
    ASSERT_EQ(server->Messages().size(), 1u);
    EXPECT_EQ(server->Messages()[0].size(), 255u);
    EXPECT_EQ(server->Messages()[0].substr(0, 2), std::string("\x00\xFD", 2));

    EXPECT_ANSWER(Send(Get("/FundsAvailable?" + fits + "7+1")), "400 Bad Request", "Syntax error.");
    // A sale far over the limit uses no sequence number either.
    EXPECT_ANSWER(Send(Get("/Sale?" + std::string(200, '4') + "+1+" + std::string(60, 'R'))),
                  "400 Bad Request", "Syntax error.");
    EXPECT_ANSWER(Send(Get("/Sale?" + Card + "+1+" + std::string(300, 'R'))), "400 Bad Request",
                  "Syntax error.");
    EXPECT_EQ(server->Messages().size(), 1u);
    EXPECT_EQ(NextSequence(), 17);
    ExpectServing(100);
    // Refused items reached the exchange: rows without a number, not sent.
    EXPECT_EQ(JournalRows(),
              (std::vector<JournalFields>{
                  Row("funds", NoNumber, 1, "replied", 200, FundsApproval(1), "",
                      std::string(235, '*') + "7777"),
                  Row("funds", NoNumber, 1, "not-sent", 400, "Syntax error.", "",
                      std::string(236, '*') + "7777"),
                  Row("sale", NoNumber, 1, "not-sent", 400, "Syntax error.", std::string(60, 'R'),
                      std::string(196, '*') + "4444"),
                  Row("sale", NoNumber, 1, "not-sent", 400, "Syntax error.", std::string(300, 'R')),
                  Row("sale", 17, 100, "replied", 200, SaleApproval(17, 100)),
              }));
}

TEST_F(ReliabilityTest, CardDataNeverReachesTheLogOrTheConsole) {
    ServiceStatusReporter = AcceptEveryReport;
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "debug" : "service");
        std::remove(LogPath);
        StartServer();
        WriteSettings("AllowVoid=0\nReplyTimeout=1\n", "127.0.0.1=5\n");
        if (debug)
            testing::internal::CaptureStdout();
        DebugMode = debug;
        std::thread gateway([] { RunGateway(0, nullptr); });
        ASSERT_TRUE(WaitForListener());

        // Successes, refusals and every kind of failure, each carrying the card.
        const std::string sale = "/Sale?" + Card + "+250+" + Reference;
        int sequence = NextSequence();
        EXPECT_ANSWER(Send(Get(sale)), "200 OK", SaleApproval(sequence, 250));
        EXPECT_ANSWER(Send(Get("/FundsAvailable?" + Card + "+250")), "200 OK", FundsApproval(250));
        EXPECT_ANSWER(Send(Get("/Void?" + Card + "+250+" + Reference)), "404 Not Found",
                      "File not found");
        EXPECT_ANSWER(Send(Get("/Sale?" + Card + "\x1C+250+" + Reference)), "400 Bad Request",
                      "Syntax error.");
        EXPECT_ANSWER(Send(Get("/Sale?" + Card + "+250+" + std::string(300, 'R') + Reference)),
                      "400 Bad Request", "Syntax error.");
        EXPECT_ANSWER(Send(Get(sale), "127.0.0.2"), "403 Forbidden", "Access denied.");
        EXPECT_ANSWER(Send("POST " + sale + " HTTP/1.1\r\n\r\n"), "405 Method Not Allowed",
                      "Method not allowed.");
        TxSimOptions silent;
        silent.neverReply = true;
        server->SetOptions(silent);
        EXPECT_ANSWER(Send(Get(sale)), "504 Gateway Timeout", "Timeout error.");
        StopServer();
        EXPECT_ANSWER(Send(Get(sale)), "504 Gateway Timeout",
                      "Unable to connect to server: Error " +
                          std::to_string(ConnectionRefusedCode));

        ::StopGateway(); // the run sequence's own stop, as Ctrl+C gives it
        gateway.join();
        DebugMode = false;
        std::string console = debug ? testing::internal::GetCapturedStdout() : "";

        // Every file the gateway wrote: the card only ever masked, in the
        // journal's rows for the five requests that reached the exchange.
        size_t filesRead = 0;
        for (const auto& entry : std::filesystem::directory_iterator(files.Directory())) {
            std::string text = ReadWholeFile(entry.path().string());
            EXPECT_EQ(text.find(Card), std::string::npos) << entry.path();
            ++filesRead;
        }
        EXPECT_EQ(filesRead, 6u) << "settings, log, counter, journal, key, record";
        std::vector<JournalFields> rows = JournalRows();
        ASSERT_EQ(rows.size(), (debug ? 10u : 5u));
        for (const JournalFields& row : rows)
            EXPECT_EQ(row[6], "************5556");

        std::string log = files.ReadLog();
        EXPECT_EQ(LogMessages(log), (std::vector<std::string>{
                                        "Service started",
                                        "Transaction server address is 127.0.0.1.",
                                        "Service stopped",
                                    }))
            << log;
        for (const std::string& secret : {Card, Reference, std::string("Sale?")}) {
            EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in the log:\n" << log;
            EXPECT_EQ(console.find(secret), std::string::npos) << secret << " on the console:\n"
                                                               << console;
        }
        if (debug) {
            EXPECT_NE(console.find("Received connection: 127.0.0.2"), std::string::npos) << console;
        }
    }
    ServiceStatusReporter = PlatformSetServiceStatus;
}

// The request's memory is wiped before it is given back: the connection
// thread's copy of the request and its reply area, and the listener's own
// area, which every request passes through. The card item is looked for as
// the request holds it, behind "?" or behind the zero its decision cut the
// path with; the transaction server's copies have a field separator there.
TEST_F(ReliabilityTest, CardItemsAreWipedFromTheBuffersThatHeldThem) {
    if (!FREED_MEMORY_READ)
        GTEST_SKIP() << "the sanitizer's allocator is in place";
    ServiceStatusReporter = AcceptEveryReport;
    StartServer();
    WriteSettings("AllowVoid=1\n", "127.0.0.1=5\n");
    freed::patterns = {"?" + Card, std::string(1, '\0') + Card};
    freed::tester = std::this_thread::get_id();
    freed::largeBlocks = 0;
    freed::holding = 0;
    std::thread gateway([] { RunGateway(0, nullptr); });
    ASSERT_TRUE(WaitForListener());
    freed::watching = true;
    // Lines before the request line put the items beyond where an answer
    // is built, which would overwrite them anyway.
    const std::string lead = "X-Pad: " + std::string(400, 'p') + "\r\n";
    EXPECT_ANSWER(Send(Get("/Sale?" + Card + "+250"), "127.0.0.2"), "403 Forbidden",
                  "Access denied.");
    int sequence = NextSequence();
    EXPECT_ANSWER(Send(lead + Get("/Sale?" + Card + "+250+" + Reference)), "200 OK",
                  SaleApproval(sequence, 250));
    EXPECT_EQ(ParseAnswer(Send(lead + Get("/Void?" + Card + "+250+" + Reference))).status,
              "200 OK");
    // Each transaction's thread gives its area back after its answer.
    EXPECT_TRUE(WaitUntil([] { return freed::largeBlocks.load() >= 2; }));
    ::StopGateway();
    gateway.join();
    freed::watching = false;
    ServiceStatusReporter = PlatformSetServiceStatus;
    // The two areas of the transactions and the listener's own were read.
    EXPECT_GE(freed::largeBlocks.load(), 3);
    EXPECT_EQ(freed::holding.load(), 0);
}

// The duplicate window keeps no card item, and its key is in no file but the
// key file, where Windows keeps it sealed by DPAPI: neither as bytes nor as
// hex, nor on the console.
TEST_F(ReliabilityTest, DuplicateWindowWritesNoCardAndNoKey) {
    ServiceStatusReporter = AcceptEveryReport;
    StartServer();
    WriteSettings("DuplicateWindow=120\n", "127.0.0.1=5\n");
    testing::internal::CaptureStdout();
    DebugMode = true;
    std::thread gateway([] { RunGateway(0, nullptr); });
    ASSERT_TRUE(WaitForListener());
    int sequence = NextSequence();
    EXPECT_EQ(ParseAnswer(Sale(250, Card, Reference)).status, "200 OK");
    EXPECT_EQ(ParseAnswer(Sale(250, Card, Reference)).status, "409 Conflict");
    ::StopGateway();
    gateway.join();
    DebugMode = false;
    std::string console = testing::internal::GetCapturedStdout();
    ServiceStatusReporter = PlatformSetServiceStatus;
    EXPECT_EQ(NextSequence(), sequence + 1);

    unsigned char key[PlatformHmacSize];
    CopyDuplicateKey(key);
    std::string bytes(reinterpret_cast<char*>(key), sizeof key);
    char hex[2 * PlatformHmacSize + 1];
    for (size_t i = 0; i < sizeof key; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", key[i]);
    ASSERT_NE(bytes, std::string(sizeof key, '\0')) << "no key was made";
    std::vector<std::pair<std::string, std::string>> texts = {{"console", console}};
    for (const auto& entry : std::filesystem::directory_iterator(files.Directory()))
        texts.emplace_back(entry.path().string(), ReadWholeFile(entry.path().string()));
    EXPECT_EQ(texts.size(), 7u) << "console, settings, log, counter, journal, key, record";
    for (const auto& [name, text] : texts) {
        bool keyFile = name.size() > 4 && name.substr(name.size() - 4) == ".key";
#ifndef _WIN32
        if (keyFile) {
            EXPECT_EQ(text, bytes) << "the key file is the key";
            continue;
        }
#endif
        EXPECT_EQ(keyFile && text.size() < 64, false) << "a sealed key is more than the key";
        for (const std::string& secret : {Card, bytes, std::string(hex)})
            EXPECT_EQ(text.find(secret), std::string::npos) << name;
    }
}

TEST_F(ReliabilityTest, SilentCrowdDoesNotDelayAListedClient) {
    StartServer();
    StartGateway();
    constexpr int Crowd = 1000;
    std::vector<PlatformSocket> silent;
    silent.reserve(Crowd);
    int64_t start = PlatformMonotonicMs();
    for (int i = 0; i < Crowd; ++i) {
        PlatformSocket socket = ConnectLoopback(port, i % 2 == 0 ? "127.0.0.1" : "127.0.0.2");
        if (socket == PlatformNoSocket)
            break;
        silent.push_back(socket);
    }
    int64_t connectMs = PlatformMonotonicMs() - start;
    ASSERT_EQ(silent.size(), size_t(Crowd)) << "connections refused after " << silent.size();

    // Connections are accepted in the order they came: once a client that
    // closes at once has its answer, the whole crowd is held by the gateway.
    int64_t elapsed = 0;
    EXPECT_ANSWER(Client(port, "", true, &elapsed), "405 Method Not Allowed",
                  "Method not allowed.");
    int64_t caughtUpMs = PlatformMonotonicMs() - start;

    int64_t slowestSaleMs = 0;
    for (int amount : {100, 200}) {
        int sequence = NextSequence();
        int64_t before = PlatformMonotonicMs();
        EXPECT_ANSWER(Sale(amount), "200 OK", SaleApproval(sequence, amount));
        slowestSaleMs = std::max(slowestSaleMs, PlatformMonotonicMs() - before);
    }
    EXPECT_LT(slowestSaleMs, 1000) << "with " << Crowd << " silent connections";
    // The oldest of the crowd is still held, unanswered, so all of them were
    // sitting there while the sales went through.
    EXPECT_EQ(PlatformWaitReadable(silent.front(), 0), 0)
        << "the crowd was let go before the sales were done, " << PlatformMonotonicMs() - start
        << " ms after it came";
    for (PlatformSocket socket : silent)
        PlatformCloseSocket(socket);
    ExpectServing(400);
    std::printf("[ crowd ] %d silent connections: opened in %lld ms, all taken in after %lld ms,"
                " slowest sale %lld ms\n",
                Crowd, static_cast<long long>(connectMs), static_cast<long long>(caughtUpMs),
                static_cast<long long>(slowestSaleMs));
}

namespace {

// Opens count silent connections from an address.
std::vector<PlatformSocket> SilentCrowd(unsigned short port, const char* from, int count) {
    std::vector<PlatformSocket> crowd;
    for (int i = 0; i < count; ++i) {
        PlatformSocket socket = ConnectLoopback(port, from);
        if (socket == PlatformNoSocket)
            break;
        crowd.push_back(socket);
    }
    return crowd;
}

// How many of the crowd the gateway still holds (nothing to read yet), once
// those beyond the cap have had their 100 ms to send a request; the others
// must have been closed without a byte.
size_t StillHeld(const std::vector<PlatformSocket>& crowd) {
    PlatformSleepMs(300);
    size_t held = 0;
    for (PlatformSocket socket : crowd) {
        if (PlatformWaitReadable(socket, 0) == 0)
            ++held;
        else
            EXPECT_EQ(ReadUntilClosed(socket, 2000), "") << "a dropped connection got bytes";
    }
    return held;
}

void CloseAll(std::vector<PlatformSocket>& crowd) {
    for (PlatformSocket socket : crowd)
        PlatformCloseSocket(socket);
    crowd.clear();
}

} // namespace

TEST_F(ReliabilityTest, SilentCrowdsAreCappedPerUnlistedAddress) {
    StartServer();
    StartGateway(); // MaxPendingPerAddress unset: 32
    std::vector<PlatformSocket> second = SilentCrowd(port, "127.0.0.2", 40);
    std::vector<PlatformSocket> fourth = SilentCrowd(port, "127.0.0.4", 35);
    std::vector<PlatformSocket> listed = SilentCrowd(port, "127.0.0.1", 40);
    ASSERT_EQ(second.size() + fourth.size() + listed.size(), 115u);
    // Accepted in order: once this one has its answer, so have all before it.
    int64_t elapsed = 0;
    EXPECT_ANSWER(Client(port, "", true, &elapsed), "405 Method Not Allowed",
                  "Method not allowed.");
    // A new connection from an address at its cap is closed at once, unread
    // and unanswered, even with its request on the way.
    EXPECT_EQ(Client(port, Get("/Sale?" + Card + "+1+" + Reference), true, &elapsed, "127.0.0.2"),
              "");
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(StillHeld(second), 32u);
    EXPECT_EQ(StillHeld(fourth), 32u);
    EXPECT_EQ(StillHeld(listed), 40u) << "a listed address is never capped";
    ExpectServing(100);

    // A connection that has sent its request no longer counts.
    std::string request = Get("/Sale?" + Card + "+2+" + Reference);
    PlatformSend(second.front(), request.data(), request.size());
    EXPECT_ANSWER(ReadUntilClosed(second.front(), 5000), "403 Forbidden", "Access denied.");
    std::vector<PlatformSocket> more = SilentCrowd(port, "127.0.0.2", 2);
    EXPECT_EQ(StillHeld(more), 1u);
    EXPECT_EQ(server->ConnectionsAccepted(), 1u);
    CloseAll(second);
    CloseAll(fourth);
    CloseAll(listed);
    CloseAll(more);

    // 0: no cap.
    StopGateway();
    StartGateway("MaxPendingPerAddress=0\n");
    second = SilentCrowd(port, "127.0.0.2", 40);
    EXPECT_EQ(StillHeld(second), 40u);
    CloseAll(second);
}

TEST_F(ReliabilityTest, DescriptorLimitIsRaisedSoACrowdDoesNotHoldUpTills) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows sets no descriptor limit";
#else
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max < 1024)
        GTEST_SKIP() << "hard limit " << original.rlim_max << " leaves no room for the crowd";
    rlimit low = original;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    StartServer();
    StartGateway("MaxPendingPerAddress=0\n");
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(now.rlim_cur, original.rlim_max);
    bool lowLimit = original.rlim_max < 4096;
    EXPECT_EQ(files.ReadLog().find("descriptors may be open") != std::string::npos, lowLimit)
        << files.ReadLog();

    // Both ends are in this process: 300 connections take 600 descriptors,
    // far past the 256 it started with.
    std::vector<PlatformSocket> crowd = SilentCrowd(port, "127.0.0.1", 300);
    EXPECT_EQ(crowd.size(), 300u);
    int64_t before = PlatformMonotonicMs();
    ExpectServing(100);
    EXPECT_LT(PlatformMonotonicMs() - before, 1000) << "the sale waited behind the crowd";
    EXPECT_EQ(StillHeld(crowd), crowd.size());
    CloseAll(crowd);
    StopGateway();
    setrlimit(RLIMIT_NOFILE, &original);
#endif
}

// With ServerTls=1 the line carries TLS records only: a sale, a funds check
// and a void reach txsim exactly, and nothing of theirs is readable on the
// way. A plain server behind the relay gets a handshake and never the
// message: there is no fallback.
TEST_F(ReliabilityTlsTest, NoCardByteLeavesInPlainText) {
    StartServer();
    auto relay = std::make_unique<RecordingRelay>(serverPort);
    serverPort = relay->Port();
    StartGateway(TlsSettings("AllowVoid=1\n"));
    int sequence = NextSequence();
    EXPECT_ANSWER(Sale(250), "200 OK", SaleApproval(sequence, 250));
    EXPECT_ANSWER(Send(Get("/FundsAvailable?" + Card + "+250")), "200 OK", FundsApproval(250));
    EXPECT_EQ(ParseAnswer(Send(Get("/Void?" + Card + "+250+" + Reference))).status, "200 OK");
    ASSERT_EQ(server->Messages().size(), 3u);
    EXPECT_EQ(server->Messages()[0],
              Framed("03" + std::to_string(sequence) + FS + "5" + FS + "51" + FS + "250" + FS + FS +
                     Reference + FS + FS + Card + FS + "2"));
    StopGateway();
    std::string tls = relay->Sent();
    relay.reset();
    ASSERT_FALSE(tls.empty());
    EXPECT_EQ(tls[0], '\x16') << "a TLS handshake record";
    EXPECT_FALSE(HasCardPiece(tls));
    EXPECT_EQ(tls.find(Reference), std::string::npos);

    auto plain = std::make_unique<TxSim>();
    TxSimOptions direct;
    direct.port = 0;
    ASSERT_TRUE(plain->Start(direct));
    relay = std::make_unique<RecordingRelay>(plain->Port());
    serverPort = relay->Port();
    StartGateway(TlsSettings());
    EXPECT_ANSWER(Sale(260), "504 Gateway Timeout",
                  "Unable to connect to server: TLS handshake timed out");
    StopGateway();
    std::string refused = relay->Sent();
    relay.reset();
    EXPECT_TRUE(plain->Messages().empty());
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused[0], '\x16') << "a TLS handshake record";
    EXPECT_FALSE(HasCardPiece(refused));
    EXPECT_EQ(refused.find(Reference), std::string::npos);
}
