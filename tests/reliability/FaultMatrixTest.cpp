// FaultMatrixTest.cpp - the gateway against a transaction server that fails
// in every way txsim can, and against clients that misbehave. Each case
// checks the exact HTTP answer the gateway owes for that failure, the journal
// row it leaves (not sent, replied or in doubt), and then that the gateway
// keeps serving: the next sale gets its own approval.
#include "reliability/ReliabilityHarness.h"

#include "Files.h"
#include "Journal.h"
#include "Metrics.h"
#include "Records.h"
#include "Text.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// The text txsim pads a reply to longReplyLength with: a digit pattern that
// continues the position count after the approval text.
std::string Padded(const std::string& text, size_t length) {
    std::string padded = text;
    for (size_t i = padded.size(); i < length; ++i)
        padded += char('0' + i % 10);
    return padded;
}

std::string LengthBytes(size_t length) {
    return std::string{char(length >> 8), char(length & 0xFF)};
}

// A TCP relay on a port of its own to another port, which the test can turn
// away: while down it accepts and closes each connection at once, so a TLS
// handshake through it fails without the port ever being let go.
class Relay {
  public:
    explicit Relay(unsigned short target) : target_(target) {
        listener_ = PlatformTcpSocket();
        PlatformBind(listener_, "127.0.0.1", 0);
        PlatformListen(listener_, 16);
        port_ = PlatformLocalPort(listener_);
        stop_ = PlatformCreateEvent();
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~Relay() {
        PlatformSetEvent(stop_);
        acceptor_.join();
        PlatformCloseSocket(listener_);
        for (auto& thread : pumps_)
            thread.join();
    }
    unsigned short Port() const { return port_; }
    void SetDown(bool down) { down_ = down; }
    int Relayed() const { return relayed_; }

  private:
    void Accept() {
        while (PlatformWaitAcceptOrEvent(listener_, stop_) == 1) {
            PlatformSocket client = PlatformAccept(listener_, nullptr, 0);
            if (down_) {
                PlatformCloseSocket(client);
                continue;
            }
            PlatformSocket server = ConnectLoopback(target_);
            ++relayed_;
            pumps_.emplace_back([this, client, server] { Pump(client, server); });
        }
    }
    // Both ways on one thread, until either side closes or the relay stops.
    void Pump(PlatformSocket a, PlatformSocket b) {
        char buffer[4096];
        for (bool open = true; open && !PlatformEventIsSet(stop_);) {
            for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
                long got = PlatformRecvWithin(from, buffer, sizeof buffer, 10);
                if (got == PlatformTimedOut)
                    continue;
                if (got <= 0 || PlatformSend(to, buffer, static_cast<size_t>(got)) != got)
                    open = false;
            }
        }
        PlatformCloseSocket(a);
        PlatformCloseSocket(b);
    }

    unsigned short target_;
    unsigned short port_ = 0;
    PlatformSocket listener_;
    PlatformEvent* stop_;
    std::atomic<bool> down_{false};
    std::atomic<int> relayed_{0};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};

} // namespace

TEST_F(ReliabilityTest, ServerDownAtStartThenUp) {
    StartGateway();
    const std::string refused =
        "Unable to connect to server: Error " + std::to_string(ConnectionRefusedCode);
    // The sale takes its number before it connects, so the failed one uses 17.
    EXPECT_ANSWER(Sale(100), "504 Gateway Timeout", refused);
    EXPECT_EQ(NextSequence(), 18);
    // Still down: every transaction tries to connect again and fails alike.
    EXPECT_ANSWER(Send(Get("/FundsAvailable?4000056655665556+300")), "504 Gateway Timeout",
                  refused);
    EXPECT_EQ(NextSequence(), 18);

    StartServer();
    ExpectServing();
    ASSERT_EQ(server->Messages().size(), 1u);
    EXPECT_EQ(server->ConnectionsAccepted(), 1u);
    // Nothing left: not sent, though the sale took its number.
    EXPECT_EQ(JournalRows(), (std::vector<JournalFields>{
                                 Row("sale", 17, 100, "not-sent", 504, refused),
                                 Row("funds", NoNumber, 300, "not-sent", 504, refused),
                                 Row("sale", 18, 4242, "replied", 200, SaleApproval(18, 4242)),
                             }));
}

TEST_F(ReliabilityTest, ServerGoesAwayAndRefusesConnections) {
    StartServer();
    StartGateway();
    ExpectServing(100);
    // The server shuts down: it closes the gateway's connection and refuses
    // new ones. The gateway notices the closed connection before sending and
    // tries to connect anew.
    StopServer();
    const std::string refused =
        "Unable to connect to server: Error " + std::to_string(ConnectionRefusedCode);
    EXPECT_ANSWER(Sale(200), "504 Gateway Timeout", refused);
    EXPECT_ANSWER(Sale(300), "504 Gateway Timeout", refused);
    EXPECT_EQ(NextSequence(), 20);

    StartServer();
    ExpectServing(400);
    EXPECT_EQ(server->Messages().size(), 1u);
    EXPECT_EQ(JournalRows(), (std::vector<JournalFields>{
                                 Row("sale", 17, 100, "replied", 200, SaleApproval(17, 100)),
                                 Row("sale", 18, 200, "not-sent", 504, refused),
                                 Row("sale", 19, 300, "not-sent", 504, refused),
                                 Row("sale", 20, 400, "replied", 200, SaleApproval(20, 400)),
                             }));
}

// 64 tills selling at once, and the server going away part way through. The
// numbers reach the server strictly increasing and each once; the journal
// holds every number taken once, consecutive; a number whose sale gave up
// before sending (not-sent) never reaches the server, and no number is
// taken twice. Sales queued behind a failed connect (numbered with their
// records as they queued) are answered with its error; those that come once
// the server is known down are answered at once, without a number.
TEST_F(ReliabilityTest, SixtyFourTillsAtOnceWithTheServerGoingAwayMidway) {
    TxSimOptions slow;
    slow.replyDelayMs = 20; // the burst lasts well past the server's stop
    StartServer(slow);
    StartGateway();
    const int tills = 64;
    std::vector<std::string> answers(tills);
    std::vector<std::thread> clients;
    for (int i = 0; i < tills; ++i)
        clients.emplace_back([&, i] { answers[i] = Sale(1000 + i); });
    ASSERT_TRUE(server->WaitForMessages(16, 10000));
    StopServer();
    for (auto& client : clients)
        client.join();

    std::vector<int> wire;
    for (const std::string& message : server->Messages())
        wire.push_back(std::stoi(message.substr(4, message.find(FS) - 4)));
    ASSERT_GE(wire.size(), 16u);
    for (size_t i = 1; i < wire.size(); ++i)
        EXPECT_LT(wire[i - 1], wire[i]) << i;
    int notSent = 0;
    std::vector<JournalFields> rows = JournalRows();
    ASSERT_EQ(rows.size(), static_cast<size_t>(tills));
    // The rows of the sales that were sent follow the numbers; a sale that
    // gave up waiting writes its row as it gives up.
    std::stable_sort(rows.begin(), rows.end(), [](const JournalFields& a, const JournalFields& b) {
        return !a[4].empty() && (b[4].empty() || std::stoi(a[4]) < std::stoi(b[4]));
    });
    int sequence = 16;
    for (int i = 0; i < tills; ++i) {
        const JournalFields& row = rows[i];
        if (row[4].empty()) {
            ++notSent;
            EXPECT_EQ(row[8], "not-sent");
            int till = std::stoi(row[5]) - 1000;
            ASSERT_TRUE(till >= 0 && till < tills) << row[5];
            EXPECT_ANSWER(answers[till], "504 Gateway Timeout",
                          "Unable to connect to server: Error " +
                              std::to_string(ConnectionRefusedCode));
            continue;
        }
        ASSERT_EQ(row[4], std::to_string(++sequence));
        int till = std::stoi(row[5]) - 1000;
        ASSERT_TRUE(till >= 0 && till < tills) << row[5];
        bool onWire = std::find(wire.begin(), wire.end(), sequence) != wire.end();
        if (row[8] == "replied") {
            EXPECT_TRUE(onWire) << sequence;
            EXPECT_ANSWER(answers[till], "200 OK", SaleApproval(sequence, 1000 + till));
        } else if (row[8] == "not-sent") {
            ++notSent;
            EXPECT_FALSE(onWire) << sequence;
            // Refused at the connect; or at the send, when the server went
            // between the look at the idle connection and the send.
            Answer answer = ParseAnswer(answers[till]);
            EXPECT_EQ(answer.status, "504 Gateway Timeout");
            EXPECT_TRUE(answer.body == "Unable to connect to server: Error " +
                                           std::to_string(ConnectionRefusedCode) ||
                        answer.body.rfind("Unable to send data: Error ", 0) == 0)
                << answer.body;
        } else {
            EXPECT_EQ(row[8], "in-doubt") << sequence;
        }
    }
    EXPECT_GE(notSent, 30);
    // Numbers reserved for the sales that were then answered without one go
    // to the next sales: the counter file may be ahead, never behind.
    StartServer();
    EXPECT_ANSWER(Sale(4242), "200 OK", SaleApproval(sequence + 1, 4242));
    EXPECT_GE(NextSequence(), sequence + 2);
}

TEST_F(ReliabilityTest, IdleConnectionClosedByServerIsReplacedBeforeSending) {
    TxSimOptions idleClose;
    idleClose.idleCloseMs = 300;
    StartServer(idleClose);
    StartGateway();
    ExpectServing(100);
    PlatformSleepMs(900);
    // The closed connection is found before the message goes out, so this
    // sale is not lost to it.
    ExpectServing(200);
    EXPECT_EQ(server->ConnectionsAccepted(), 2u);
    EXPECT_EQ(server->Messages().size(), 2u);
}

TEST_F(ReliabilityTest, ServerClosesBeforeOrDuringTheReply) {
    TxSimOptions closeFirst;
    closeFirst.closeBeforeReply = true;
    StartServer(closeFirst);
    StartGateway();
    // Not a byte of the reply came: the body is empty.
    EXPECT_ANSWER(Sale(100), "504 Gateway Timeout", "");
    SetServerOptions({});
    ExpectServing(110);

    // The length bytes promise 65535 bytes; the text comes and then the
    // server closes. The body is what arrived, length bytes included, up to
    // the first zero byte.
    TxSimOptions garbled;
    garbled.garbageLength = true;
    garbled.closeAfterReply = true;
    SetServerOptions(garbled);
    int sequence = NextSequence();
    EXPECT_ANSWER(Sale(120), "504 Gateway Timeout", "\xFF\xFF" + SaleApproval(sequence, 120));
    SetServerOptions({});
    ExpectServing(130);
    // The message went out and no whole reply came: in doubt, with the
    // server time up to the failure and the text the till got.
    EXPECT_EQ(JournalRows(),
              (std::vector<JournalFields>{
                  Row("sale", 17, 100, "in-doubt", 504, ""),
                  Row("sale", 18, 110, "replied", 200, SaleApproval(18, 110)),
                  Row("sale", 19, 120, "in-doubt", 504, "\xFF\xFF" + SaleApproval(19, 120)),
                  Row("sale", 20, 130, "replied", 200, SaleApproval(20, 130)),
              }));
}

TEST_F(ReliabilityTest, ServerStopsHalfwayThroughASplitReply) {
    StartServer();
    StartGateway();
    // The reply comes in pieces; after the first piece the server goes down.
    // The body is the partial reply from its first byte up to the first zero
    // byte, so it is empty while the high length byte is 0.
    auto stopAfterFirstPiece = [this](size_t replyLength, size_t pieceSize) {
        TxSimOptions split;
        split.splitBytes = pieceSize;
        split.splitPauseMs = 10000;
        split.longReplyLength = replyLength;
        SetServerOptions(split);
        size_t before = server->Messages().size();
        std::string response;
        std::thread client([&] { response = Sale(500); });
        // Once the message is in, the first piece follows at once; the
        // second would come ten seconds later.
        EXPECT_TRUE(server->WaitForMessages(before + 1, 5000));
        PlatformSleepMs(300);
        StopServer();
        client.join();
        StartServer();
        return response;
    };

    EXPECT_ANSWER(stopAfterFirstPiece(0, 6), "504 Gateway Timeout", "");
    ExpectServing(510);

    int sequence = NextSequence();
    const std::string partial =
        LengthBytes(600) + Padded(SaleApproval(sequence, 500), 600).substr(0, 98);
    EXPECT_ANSWER(stopAfterFirstPiece(600, 100), "504 Gateway Timeout", partial);
    ExpectServing(520);
    EXPECT_EQ(JournalRows(),
              (std::vector<JournalFields>{
                  Row("sale", 17, 500, "in-doubt", 504, ""),
                  Row("sale", 18, 510, "replied", 200, SaleApproval(18, 510)),
                  // "500" and the padding are one run of 49 digits.
                  Row("sale", 19, 500, "in-doubt", 504,
                      LengthBytes(600) + "APPROVED SALE TERMINAL=03 SEQ=19 CLIENT=5 AMOUNT=" +
                          std::string(45, '*') + "4567"),
                  Row("sale", 20, 520, "replied", 200, SaleApproval(20, 520)),
              }));
}

TEST_F(ReliabilityTest, ReplyLaterThanReplyTimeout) {
    TxSimOptions slow;
    slow.replyDelayMs = 2500;
    StartServer(slow);
    StartGateway("ReplyTimeout=1\n");
    int64_t start = PlatformMonotonicMs();
    EXPECT_ANSWER(Sale(100), "504 Gateway Timeout", "Timeout error.");
    int64_t elapsed = PlatformMonotonicMs() - start;
    EXPECT_GE(elapsed, 900);
    EXPECT_LT(elapsed, 2400);

    // The late reply to the abandoned sale never becomes this sale's answer:
    // the gateway left that connection and connects anew.
    SetServerOptions({});
    ExpectServing(200);
    EXPECT_EQ(server->ConnectionsAccepted(), 2u);

    // ReplyTimeout is read for every transaction; 0 waits as long as it takes.
    std::string settings = ReadWholeFile(SettingsPath);
    settings.replace(settings.find("ReplyTimeout=1"), 14, "ReplyTimeout=0");
    files.WriteSettings(settings);
    slow.replyDelayMs = 1500;
    SetServerOptions(slow);
    int sequence = NextSequence();
    EXPECT_ANSWER(Sale(300), "200 OK", SaleApproval(sequence, 300));
    std::vector<JournalFields> read;
    EXPECT_EQ(JournalRows(&read), (std::vector<JournalFields>{
                                      Row("sale", 17, 100, "in-doubt", 504, "Timeout error."),
                                      Row("sale", 18, 200, "replied", 200, SaleApproval(18, 200)),
                                      Row("sale", 19, 300, "replied", 200, SaleApproval(19, 300)),
                                  }));
    // The in-doubt sale's server time runs to the time-out.
    ASSERT_EQ(read.size(), 3u);
    EXPECT_GE(std::stod(read[0][10]), 900.0);
    EXPECT_LT(std::stod(read[0][10]), 2400.0);
}

TEST_F(ReliabilityTest, SurplusBytesAfterTheReply) {
    TxSimOptions sameWrite;
    sameWrite.surplus = " EXTRA";
    StartServer(sameWrite);
    StartGateway();
    // In the reply's own write the surplus is read with it and passed on.
    int sequence = NextSequence();
    EXPECT_ANSWER(Sale(100), "200 OK", SaleApproval(sequence, 100) + " EXTRA");
    SetServerOptions({});
    ExpectServing(110);

    // In a later write it waits on the idle connection and looks like a
    // complete reply; it is discarded before the next sale is sent, and the
    // connection is kept.
    TxSimOptions laterWrite;
    laterWrite.surplus = LengthBytes(4) + "LATE";
    laterWrite.surplusDelayMs = 200;
    SetServerOptions(laterWrite);
    sequence = NextSequence();
    EXPECT_ANSWER(Sale(120), "200 OK", SaleApproval(sequence, 120));
    PlatformSleepMs(700);
    SetServerOptions({});
    ExpectServing(130);
    EXPECT_EQ(server->ConnectionsAccepted(), 1u);
    EXPECT_EQ(JournalRows(),
              (std::vector<JournalFields>{
                  Row("sale", 17, 100, "replied", 200, SaleApproval(17, 100) + " EXTRA"),
                  Row("sale", 18, 110, "replied", 200, SaleApproval(18, 110)),
                  Row("sale", 19, 120, "replied", 200, SaleApproval(19, 120)),
                  Row("sale", 20, 130, "replied", 200, SaleApproval(20, 130)),
              }));
}

TEST_F(ReliabilityTest, RepliesAtAndBeyondTheReplyArea) {
    StartServer();
    StartGateway();
    // 1021 text bytes and their two length bytes fill the 1023 usable bytes
    // exactly: complete.
    TxSimOptions full;
    full.longReplyLength = 1021;
    SetServerOptions(full);
    int sequence = NextSequence();
    EXPECT_ANSWER(Sale(100), "200 OK", Padded(SaleApproval(sequence, 100), 1021));
    // The amount and the padding are one run of 972 digits: the journal
    // shows its last four.
    const std::string masked =
        "APPROVED SALE TERMINAL=03 SEQ=17 CLIENT=5 AMOUNT=" + std::string(968, '*') + "7890";
    EXPECT_EQ(JournalRows().back(), Row("sale", sequence, 100, "replied", 200, masked));

    // One byte more can never be complete: the area fills, reads return
    // nothing, and the body is the first 1023 bytes, length bytes included.
    for (size_t length : {size_t(1022), size_t(1500)}) {
        SCOPED_TRACE(length);
        TxSimOptions tooLong;
        tooLong.longReplyLength = length;
        SetServerOptions(tooLong);
        sequence = NextSequence();
        const std::string partial = LengthBytes(length) + Padded(SaleApproval(sequence, 200), 1021);
        EXPECT_ANSWER(Sale(200), "504 Gateway Timeout", partial);
        EXPECT_EQ(JournalRows().back(),
                  Row("sale", sequence, 200, "in-doubt", 504,
                      LengthBytes(length) +
                          "APPROVED SALE TERMINAL=03 SEQ=" + std::to_string(sequence) +
                          " CLIENT=5 AMOUNT=" + std::string(968, '*') + "7890"));
        // The rest of that reply must not be taken for the next one.
        SetServerOptions({});
        ExpectServing(210);
    }
    EXPECT_EQ(server->ConnectionsAccepted(), 3u);
}

TEST_F(ReliabilityTest, GarbageLengthBytesRunIntoTheReplyTimeout) {
    TxSimOptions garbled;
    garbled.garbageLength = true;
    StartServer(garbled);
    StartGateway("ReplyTimeout=1\n");
    EXPECT_ANSWER(Sale(100), "504 Gateway Timeout", "Timeout error.");
    SetServerOptions({});
    ExpectServing(200);
    EXPECT_EQ(server->ConnectionsAccepted(), 2u);
    EXPECT_EQ(JournalRows().front(), Row("sale", 17, 100, "in-doubt", 504, "Timeout error."));
}

TEST_F(ReliabilityTest, ServerThatNeverRepliesHoldsUpQueuedClients) {
    TxSimOptions silent;
    silent.neverReply = true;
    StartServer(silent);
    StartGateway("ReplyTimeout=13\n");

    std::string first;
    int64_t firstStart = PlatformMonotonicMs();
    int64_t firstElapsed = 0;
    std::thread holder([&] {
        first = Sale(100);
        firstElapsed = PlatformMonotonicMs() - firstStart;
    });
    ASSERT_TRUE(server->WaitForMessages(1, 5000));

    // These wait for the transaction lock behind the unanswered sale.
    const std::vector<std::string> queued = {
        Get("/FundsAvailable?4000056655665556+300"),
        Get("/Sale?4000056655665556+400+INV1"),
        Get("/Sale?4000056655665556+500+INV2"),
    };
    std::vector<std::string> answers(queued.size());
    std::vector<int64_t> waited(queued.size());
    std::vector<std::thread> clients;
    for (size_t i = 0; i < queued.size(); ++i) {
        clients.emplace_back([&, i] {
            int64_t start = PlatformMonotonicMs();
            answers[i] = Send(queued[i]);
            waited[i] = PlatformMonotonicMs() - start;
        });
    }
    for (auto& client : clients)
        client.join();
    for (size_t i = 0; i < queued.size(); ++i) {
        SCOPED_TRACE(queued[i]);
        EXPECT_ANSWER(answers[i], "504 Gateway Timeout", "Timeout error.");
        EXPECT_GE(waited[i], 9500);
        EXPECT_LT(waited[i], 12000);
    }
    holder.join();
    EXPECT_ANSWER(first, "504 Gateway Timeout", "Timeout error.");
    EXPECT_GE(firstElapsed, 12500);

    // The queued sales were recorded with their numbers, 18 and 19 in the
    // order they came, and never sent.
    EXPECT_EQ(NextSequence(), 20);
    EXPECT_EQ(server->Messages().size(), 1u);
    SetServerOptions({});
    ExpectServing(600);

    // Their rows come first, in the order their waits ended, not sent; the
    // held sale's row is in doubt.
    std::vector<JournalFields> rows = JournalRows();
    ASSERT_EQ(rows.size(), 5u);
    std::vector<JournalFields> expected = {
        Row("funds", NoNumber, 300, "not-sent", 504, "Timeout error."),
        Row("sale", 18, 400, "not-sent", 504, "Timeout error.", "INV1"),
        Row("sale", 19, 500, "not-sent", 504, "Timeout error.", "INV2"),
        Row("sale", 17, 100, "in-doubt", 504, "Timeout error."),
    };
    if (std::find(rows.begin(), rows.begin() + 3, expected[1]) == rows.begin() + 3) {
        expected[1] =
            Row("sale", 19, 400, "not-sent", 504, "Timeout error.", "INV1"); // came second
        expected[2] = Row("sale", 18, 500, "not-sent", 504, "Timeout error.", "INV2");
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(std::find(rows.begin(), rows.begin() + 3, expected[i]), rows.begin() + 3) << i;
    EXPECT_EQ(rows[3], expected[3]);

    // Every record has its outcome: a restart finds nothing in doubt.
    StopGateway();
    StartGateway("ReplyTimeout=13\n");
    for (const std::string& line : LogMessages(files.ReadLog()))
        EXPECT_EQ(line.find("from before the last stop"), std::string::npos) << line;
    EXPECT_EQ(JournalRows().size(), 5u);
}

TEST_F(ReliabilityTest, ClientsThatSendNothingHalfARequestOrCloseAtOnce) {
    StartServer();
    StartGateway("", "127.0.0.1=5\n");
    int64_t elapsed = 0;

    // Silent: dropped after five seconds without a word.
    EXPECT_EQ(Client(port, "", false, &elapsed), "");
    EXPECT_GE(elapsed, 4800);
    EXPECT_LT(elapsed, 7000);
    ExpectServing(100);

    // Half a request that stays open: judged on what came first. Without a
    // "?" it is a syntax error; with two items it is too short.
    EXPECT_ANSWER(Client(port, "GET /Sa", false, &elapsed), "400 Bad Request", "Syntax error.");
    EXPECT_ANSWER(Client(port, "GET /Sale?4000056655665556+1", false, &elapsed), "400 Bad Request",
                  "Syntax error.");
    // A first piece that already holds three items is served as it stands.
    int sequence = NextSequence();
    EXPECT_ANSWER(Client(port, "GET /Sale?4000056655665556+150+IN", false, &elapsed), "200 OK",
                  SaleApproval(sequence, 150));
    ASSERT_EQ(server->Messages().size(), 2u);
    EXPECT_EQ(server->Messages()[1],
              Framed("03" + std::to_string(sequence) + FS + "5" + FS + "51" + FS + "150" + FS + FS +
                     "IN" + FS + FS + "4000056655665556" + FS + "2"));
    ExpectServing(200);

    // Closed at once: still answered, 405 for a listed client, 403 otherwise.
    EXPECT_ANSWER(Client(port, "", true, &elapsed), "405 Method Not Allowed",
                  "Method not allowed.");
    EXPECT_ANSWER(Client(port, "", true, &elapsed, "127.0.0.2"), "403 Forbidden", "Access denied.");
    ExpectServing(300);
    EXPECT_EQ(server->Messages().size(), 4u);
    EXPECT_EQ(JournalRows(), (std::vector<JournalFields>{
                                 Row("sale", 17, 100, "replied", 200, SaleApproval(17, 100)),
                                 Row("sale", 18, 150, "replied", 200, SaleApproval(18, 150), "IN"),
                                 Row("sale", 19, 200, "replied", 200, SaleApproval(19, 200)),
                                 Row("sale", 20, 300, "replied", 200, SaleApproval(20, 300)),
                             }));
}

// With DuplicateWindow on, a till's repeat never reaches the server: two
// identical sales at once send one message and the other is told the first
// is in progress; a later repeat gets the first one's reply, and the repeat
// of an in-doubt sale is told to check it first. The journal shows each
// repeat as a duplicate of its own, without a number.
TEST_F(ReliabilityTest, RepeatsInsideTheDuplicateWindowReachTheServerOnce) {
    const std::string item = "90000001";
    const std::string masked = "****0001";
    TxSimOptions slow;
    slow.replyDelayMs = 300;
    StartServer(slow);
    StartGateway("DuplicateWindow=120\n");
    std::string answers[2];
    std::thread first([&] { answers[0] = Sale(100, item); });
    std::thread second([&] { answers[1] = Sale(100, item); });
    first.join();
    second.join();
    const std::string inProgress = "Duplicate of a transaction in progress.";
    int approved = ParseAnswer(answers[0]).status == "200 OK" ? 0 : 1;
    EXPECT_ANSWER(answers[approved], "200 OK", SaleApproval(17, 100));
    EXPECT_ANSWER(answers[1 - approved], "409 Conflict", inProgress);
    const std::string answered = "Duplicate of sequence 17, answered: " + SaleApproval(17, 100);
    EXPECT_ANSWER(Sale(100, item), "409 Conflict", answered);
    EXPECT_EQ(server->Messages().size(), 1u);

    TxSimOptions closing;
    closing.closeBeforeReply = true;
    SetServerOptions(closing);
    EXPECT_ANSWER(Sale(200, item), "504 Gateway Timeout", "");
    SetServerOptions({});
    const std::string inDoubt = "Duplicate of sequence 18, whose outcome is unknown: check it with "
                                "the transaction server before trying again.";
    EXPECT_ANSWER(Sale(200, item), "409 Conflict", inDoubt);
    EXPECT_EQ(server->Messages().size(), 2u);
    EXPECT_EQ(NextSequence(), 19);
    EXPECT_EQ(JournalRows(),
              (std::vector<JournalFields>{
                  Row("sale", NoNumber, 100, "duplicate", 409, inProgress, "INV7731", masked),
                  Row("sale", 17, 100, "replied", 200, SaleApproval(17, 100), "INV7731", masked),
                  Row("sale", NoNumber, 100, "duplicate", 409, answered, "INV7731", masked),
                  Row("sale", 18, 200, "in-doubt", 504, "", "INV7731", masked),
                  Row("sale", NoNumber, 200, "duplicate", 409, inDoubt, "INV7731", masked),
              }));
}

// The window and the sales in flight outlast a stop that was a crash. A
// sale whose outcome never reached its record takes its journal row's; one
// whose row was lost too is journaled in doubt, once, with the log's line;
// a last journal row cut short is cut off. Their repeats are answered 409
// from the records and never reach the server, after a second start too.
TEST_F(ReliabilityTest, WindowAndSalesInFlightOutlastAStop) {
    StartServer();
    StartGateway("DuplicateWindow=120\n");
    for (int i = 0; i < 3; ++i)
        EXPECT_ANSWER(Sale(100 * (i + 1), "4000056655665556", std::string(1, char('A' + i))),
                      "200 OK", SaleApproval(17 + i, 100 * (i + 1)));
    StopGateway();
    // The files let go as the process's end would: Windows lets no one
    // write a file that is held.
    CloseRecords();
    StopJournal();
    // Slots are taken lowest first: 18's and 19's outcomes are spoiled, as
    // if they never left the page cache; 19's row is cut short.
    char record[GatewayPathSize + 8];
    RecordFilePath(0, record, sizeof record);
    std::string bytes = ReadWholeFile(record);
    for (int slot : {1, 2})
        bytes.replace(4096 + slot * 1536 + 512, 1024, std::string(1024, '\0'));
    WriteWholeFile(record, bytes);
    ASSERT_EQ(ReadWholeFile(record), bytes);
    std::vector<JournalFields> raw;
    ASSERT_EQ(JournalRows(&raw).size(), 3u);
    PlatformLocalTime today;
    PlatformLocalNow(&today);
    char day[JournalDayPathSize];
    JournalDayPath(today.year, today.month, today.day, day, sizeof day);
    std::string journal = ReadWholeFile(day);
    journal.resize(journal.rfind(raw[2][0]) + 40);
    WriteWholeFile(day, journal);
    ASSERT_EQ(ReadWholeFile(day), journal);

    long long recovered = MetricValue("qhg_recovered_in_doubt_total");
    long long inDoubt = MetricValue("qhg_transactions_total{kind=\"sale\",outcome=\"in_doubt\"}");
    StartGateway("DuplicateWindow=120\n");
    const std::string stopped = "The gateway stopped before the reply came.";
    const std::string line = "1 transaction from before the last stop is in doubt: sequence 19.";
    std::vector<std::string> log = LogMessages(files.ReadLog());
    EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << files.ReadLog();
    EXPECT_EQ(MetricValue("qhg_recovered_in_doubt_total"), recovered + 1);
    EXPECT_EQ(MetricValue("qhg_transactions_total{kind=\"sale\",outcome=\"in_doubt\"}"),
              inDoubt + 1);
    const std::string unknown = "Duplicate of sequence 19, whose outcome is unknown: check it "
                                "with the transaction server before trying again.";
    std::vector<std::string> repeats = {
        "Duplicate of sequence 17, answered: " + SaleApproval(17, 100),
        "Duplicate of sequence 18, answered: " + SaleApproval(18, 200), unknown};
    for (int start = 0; start < 2; ++start) {
        if (start == 1) {
            StopGateway();
            StartGateway("DuplicateWindow=120\n");
        }
        for (int i = 0; i < 3; ++i)
            EXPECT_ANSWER(Sale(100 * (i + 1), "4000056655665556", std::string(1, char('A' + i))),
                          "409 Conflict", repeats[i]);
    }
    log = LogMessages(files.ReadLog());
    EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << "recovered twice";
    EXPECT_EQ(server->Messages().size(), 3u);
    JournalFields lost = Row("sale", 19, 300, "in-doubt", 504, stopped, "C");
    lost[10] = ""; // no time was measured
    std::vector<JournalFields> rows = JournalRows();
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(std::vector<JournalFields>(rows.begin(), rows.begin() + 3),
              (std::vector<JournalFields>{
                  Row("sale", 17, 100, "replied", 200, SaleApproval(17, 100), "A"),
                  Row("sale", 18, 200, "replied", 200, SaleApproval(18, 200), "B"), lost}));
    EXPECT_EQ(rows[8], Row("sale", NoNumber, 300, "duplicate", 409, unknown, "C"));
}

// Once every entry of the window is live, a sale that is no repeat is
// refused rather than sent unchecked: nothing sent, no number taken, a
// not-sent row. Repeats are still found; once they expire, they are fresh
// sales and there is room again.
TEST_F(ReliabilityTest, FullDuplicateWindowRefusesRatherThanGoUnchecked) {
    StartServer();
    StartGateway("DuplicateWindow=600\n");
    constexpr int Entries = 4096;
    constexpr int Clients = 8;
    std::atomic<int> approved{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < Clients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = c; i < Entries; i += Clients)
                approved += Sale(1, "90000001", "R" + std::to_string(i)).find("200 OK") == 9;
        });
    }
    for (std::thread& client : clients)
        client.join();
    ASSERT_EQ(approved, Entries);
    const std::string full = "Too many recent transactions to check for duplicates.";
    EXPECT_ANSWER(Sale(2, "90000001", "R0"), "503 Service Unavailable", full);
    EXPECT_EQ(ParseAnswer(Sale(1, "90000001", "R7")).status, "409 Conflict");
    EXPECT_EQ(server->Messages().size(), size_t(Entries));
    EXPECT_EQ(NextSequence(), 17 + Entries);
    std::vector<JournalFields> rows = JournalRows();
    ASSERT_EQ(rows.size(), size_t(Entries + 2));
    EXPECT_EQ(rows[Entries], Row("sale", NoNumber, 2, "not-sent", 503, full, "R0", "****0001"));

    // The window is read on every request and runs from each first request.
    WriteSettings("DuplicateWindow=1\n");
    PlatformSleepMs(1100);
    EXPECT_ANSWER(Sale(1, "90000001", "R7"), "200 OK", SaleApproval(17 + Entries, 1));
}

// Over TLS, the same faults end the same way: the server's close is its
// close_notify, and each new connection costs one handshake, never one per
// message.
TEST_F(ReliabilityTlsTest, FaultsOverTlsEndAsOverTcp) {
    const std::string ok = "qhg_server_tls_handshakes_total{result=\"ok\"}";
    long long handshakes = MetricValue(ok);
    StartServer();
    StartGateway(TlsSettings("ReplyTimeout=1\n"));
    ExpectServing(100);
    ExpectServing(105);
    EXPECT_EQ(server->ConnectionsAccepted(), 1u);
    EXPECT_EQ(MetricValue(ok), handshakes + 1);

    TxSimOptions closeFirst;
    closeFirst.closeBeforeReply = true;
    SetServerOptions(closeFirst);
    EXPECT_ANSWER(Sale(110), "504 Gateway Timeout", "");
    SetServerOptions({});
    ExpectServing(120);

    // A partial reply: the length bytes promise more than comes before the close.
    TxSimOptions garbled;
    garbled.garbageLength = true;
    garbled.closeAfterReply = true;
    SetServerOptions(garbled);
    EXPECT_ANSWER(Sale(130), "504 Gateway Timeout", "\xFF\xFF" + SaleApproval(21, 130));
    SetServerOptions({});
    ExpectServing(140);

    TxSimOptions silent;
    silent.neverReply = true;
    SetServerOptions(silent);
    EXPECT_ANSWER(Sale(150), "504 Gateway Timeout", "Timeout error.");
    SetServerOptions({});
    ExpectServing(160);
    EXPECT_EQ(server->ConnectionsAccepted(), 4u);

    // Surplus in a later record waits in the socket; surplus in the reply's
    // own record beyond the reply area is already decrypted inside the
    // session. Both are discarded before the next message, on the same
    // connection.
    TxSimOptions later;
    later.surplus = std::string("\x00\x04LATE", 6);
    later.surplusDelayMs = 200;
    SetServerOptions(later);
    EXPECT_ANSWER(Sale(170), "200 OK", SaleApproval(25, 170));
    PlatformSleepMs(500);
    SetServerOptions({});
    ExpectServing(180);
    TxSimOptions sameRecord;
    sameRecord.longReplyLength = 1000;
    sameRecord.surplus = std::string(100, 'S');
    SetServerOptions(sameRecord);
    std::string padded = SaleApproval(27, 190);
    for (size_t i = padded.size(); i < 1000; ++i)
        padded += char('0' + i % 10);
    EXPECT_ANSWER(Sale(190), "200 OK", padded + std::string(21, 'S'));
    SetServerOptions({});
    ExpectServing(200);
    EXPECT_EQ(server->ConnectionsAccepted(), 4u);

    // A connection the server closes while idle is replaced before sending.
    TxSimOptions idleClose;
    idleClose.idleCloseMs = 300;
    SetServerOptions(idleClose);
    ExpectServing(210);
    PlatformSleepMs(900);
    ExpectServing(220);
    EXPECT_EQ(server->ConnectionsAccepted(), 5u);
    EXPECT_EQ(MetricValue(ok), handshakes + 5);

    std::vector<JournalFields> rows = JournalRows();
    ASSERT_EQ(rows.size(), 14u);
    EXPECT_EQ(rows[2], Row("sale", 19, 110, "in-doubt", 504, ""));
    EXPECT_EQ(rows[4], Row("sale", 21, 130, "in-doubt", 504, "\xFF\xFF" + SaleApproval(21, 130)));
    EXPECT_EQ(rows[6], Row("sale", 23, 150, "in-doubt", 504, "Timeout error."));
    EXPECT_EQ(rows[8], Row("sale", 25, 170, "replied", 200, SaleApproval(25, 170)));
    EXPECT_EQ(server->Messages().size(), 14u);
}

TEST_F(ReliabilityTlsTest, ResetOverTlsIsASocketError) {
    serverPort = EnvPort("QHG_TLS_RESET_PORT");
    StartServer();
    StartGateway(TlsSettings());
    ExpectServing(100);
    TxSimOptions closeFirst;
    closeFirst.closeBeforeReply = true;
    SetServerOptions(closeFirst);
#ifdef _WIN32
    const std::string reset = "Socket error 10054.";
    std::string answer = Sale(110);
    // Wine hands a reset that has already arrived to recv as an orderly end.
    if (ParseAnswer(answer).body == "") {
        std::printf("[ NOTE     ] the reset came as an orderly end, as Wine reports one\n");
        EXPECT_ANSWER(answer, "504 Gateway Timeout", "");
    } else {
        EXPECT_ANSWER(answer, "504 Gateway Timeout", reset);
    }
#else
    const std::string reset = "Socket error 104.";
    EXPECT_ANSWER(Sale(110), "504 Gateway Timeout", reset);
    EXPECT_EQ(JournalRows().back(), Row("sale", 18, 110, "in-doubt", 504, reset));
#endif
    SetServerOptions({});
    ExpectServing(120);
    EXPECT_EQ(server->ConnectionsAccepted(), 2u);
}

// Every refusal ends the handshake before a byte of the message: the till
// gets the reason, the journal says not sent, the next transaction tries a
// new handshake, and the log has one line per reason however often it
// recurs; "check" says the same of the client certificate. A TLS 1.3 server
// refuses the client certificate after the handshake, with the reply to the
// message it never read: not sent all the same. The only case in this
// executable that refuses handshakes: the once-an-hour rule spans the whole
// process.
TEST_F(ReliabilityTlsTest, EachRefusalAnswers504AndSendsNothing) {
    StartServer();
    std::string pin = Env("QHG_TLS_SHA256");
    ASSERT_EQ(pin.size(), 95u);
    std::string wrongPin = pin;
    wrongPin.back() = wrongPin.back() == '0' ? '1' : '0';
    struct Case {
        const char* what;
        const char* port;
        std::string settings;
        std::string reason;
        enum { Refused, Failed, NoHandshake } counted;
        std::string checkSays = ""; // words of an error line of "check", when asked
    };
    const std::string certificate = Env("QHG_TLS_CLIENT_CERT"), key = Env("QHG_TLS_CLIENT_KEY");
    const std::string required = "the server requires a client certificate";
    const unsigned short statusPort = FreePort();
    const Case cases[] = {
        {"another CA", "QHG_TLS_UNTRUSTED_PORT", TlsSettings(), "certificate not trusted",
         Case::Refused},
        {"the system's store", "QHG_TLS_GOOD_PORT", TlsSettings("", ""), "certificate not trusted",
         Case::Refused},
        {"expired", "QHG_TLS_EXPIRED_PORT", TlsSettings(), "certificate expired", Case::Refused},
        {"not yet valid", "QHG_TLS_FUTURE_PORT", TlsSettings(), "certificate not yet valid",
         Case::Refused},
        {"ServerAddress not carried", "QHG_TLS_OTHER_NAME_PORT", TlsSettings(), "name mismatch",
         Case::Refused},
        {"ServerTlsName not carried", "QHG_TLS_GOOD_PORT",
         TlsSettings("ServerTlsName=wrong.test\n"), "name mismatch", Case::Refused},
        {"fingerprint", "QHG_TLS_GOOD_PORT",
         TlsSettings("ServerCertificateHash=" + wrongPin + "\n"), "fingerprint mismatch",
         Case::Refused},
        {"TLS 1.1", "QHG_TLS_OLD_PORT", TlsSettings(), "TLS 1.2 or later required", Case::Refused},
        {"no such CA file", "QHG_TLS_GOOD_PORT", TlsSettings("", "missing.pem"),
         "ServerCaFile missing.pem does not exist", Case::Failed},
        {"a hash too short", "QHG_TLS_GOOD_PORT",
         TlsSettings("ServerCertificateHash=" + pin.substr(3) + "\n"),
         "ServerCertificateHash is not a SHA-256 fingerprint", Case::NoHandshake},
        {"no client certificate for a host that asks", "QHG_TLS_REQUIRE12_PORT", TlsSettings(),
         required, Case::Refused, required},
#ifndef _WIN32
        {"no client certificate, judged after the handshake", "QHG_TLS_REQUIRE_PORT", TlsSettings(),
         required, Case::Refused, required},
        {"the same on a link of several", "QHG_TLS_REQUIRE_PORT",
         TlsSettings("TerminalAddresses=3,4\n"), required, Case::Refused},
#endif
        {"client certificate expired", "QHG_TLS_REQUIRE_PORT",
         TlsSettings(
             ClientSettings(Env("QHG_TLS_CLIENT_EXPIRED"), key, "QHG_TLS_CLIENT_EXPIRED_SHA256") +
             "StatusPort=" + std::to_string(statusPort) + "\n"),
         "client certificate expired", Case::Refused, "client certificate expired"},
        {"client key of another certificate", "QHG_TLS_REQUIRE_PORT",
         TlsSettings(ClientSettings(certificate, Env("QHG_TLS_CLIENT_OTHER_KEY"),
                                    "QHG_TLS_CLIENT_MISMATCH_SHA256")),
         "client key does not match the certificate", Case::Refused,
         "client key does not match the certificate"},
#ifdef _WIN32
        {"client certificate not in the store", "QHG_TLS_REQUIRE_PORT",
         TlsSettings(ClientSettings("", "", "QHG_TLS_SHA256")), "client certificate not found",
         Case::Refused, "client certificate not found"},
#else
        {"client key open to the group", "QHG_TLS_REQUIRE_PORT",
         TlsSettings(ClientSettings(certificate, Env("QHG_TLS_CLIENT_LOOSE_KEY"), nullptr)),
         "client key file is readable by group or others", Case::Refused,
         "ServerClientKeyFile " + Env("QHG_TLS_CLIENT_LOOSE_KEY") +
             " is readable by group or others"},
#endif
    };
    const std::string refusedSample = "qhg_server_tls_handshakes_total{result=\"refused\"}";
    const std::string failedSample = "qhg_server_tls_handshakes_total{result=\"failed\"}";
    const std::string expiry = "qhg_server_certificate_expiry_timestamp_seconds";
    long long refused = MetricValue(refusedSample), failed = MetricValue(failedSample);
    std::vector<JournalFields> expected;
    int sequence = NextSequence();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serverPort = EnvPort(c.port);
        StartGateway(c.settings);
        // Twice: a refusal leaves the link to be made anew.
        for (int amount : {100, 200}) {
            std::string body = ParseAnswer(Sale(amount)).body;
            const std::string head = "Unable to connect to server: ";
            EXPECT_EQ(body.substr(0, head.size()), head);
            EXPECT_GE(body.size(), head.size() + c.reason.size());
            EXPECT_EQ(body.substr(body.size() - std::min(body.size(), c.reason.size())), c.reason);
            expected.push_back(Row("sale", sequence++, amount, "not-sent", 504, body));
            char reason[256];
            EXPECT_FALSE(ServerHealthy(reason, sizeof reason));
            EXPECT_EQ(reason, body);
        }
        if (!c.checkSays.empty()) {
            std::string out = CheckOutput();
            size_t at = out.find(c.checkSays);
            ASSERT_NE(at, std::string::npos) << out;
            EXPECT_EQ(out.compare(out.rfind('\n', at) + 1, 7, "error: "), 0) << out;
        }
        if (c.reason == "client certificate expired") {
            // The status page says which certificate ended: ours.
            std::string page = ParseAnswer(RawExchange(statusPort, "GET / HTTP/1.1\r\n\r\n")).body;
            size_t at = page.find("<p id=\"client-certificate\">Our client certificate ends "
                                  "<span class=\"bad\">");
            ASSERT_NE(at, std::string::npos) << page;
            EXPECT_EQ(page.substr(page.find("</span>", at) - 9, 16), ", expired</span>");
        }
        StopGateway();
        refused += c.counted == Case::Refused ? 2 : 0;
        failed += c.counted == Case::Failed ? 2 : 0;
        EXPECT_EQ(MetricValue(refusedSample), refused);
        EXPECT_EQ(MetricValue(failedSample), failed);
        if (std::string(c.what) == "expired") {
            EXPECT_EQ(MetricValue(expiry), 1609459200); // 2021-01-01, its notAfter
        }
    }
    PlatformSleepMs(300); // anything a front still forwarded is in by now
    EXPECT_TRUE(server->Messages().empty());
    EXPECT_EQ(JournalRows(), expected);

    std::vector<std::string> logged, atStart;
    for (const std::string& message : LogMessages(files.ReadLog())) {
        if (message.find("TLS handshake") != std::string::npos)
            logged.push_back(message.substr(0, message.find(" (certificate ")));
        if (message.find(": no ") != std::string::npos)
            atStart.push_back(message);
    }
    // Settings that refuse every connection are said at start, the CA
    // file's full path in the log only.
    EXPECT_EQ(atStart,
              (std::vector<std::string>{
                  "ServerCaFile " +
                      std::string(SettingsPath,
                                  static_cast<size_t>(FileNameOf(SettingsPath) - SettingsPath)) +
                      "missing.pem does not exist: no TLS connection can be made.",
                  "ServerCertificateHash is not a SHA-256 fingerprint (64 hex digits, "
                  "colons allowed): no connection is made to the transaction server "
                  "127.0.0.1:" +
                      std::to_string(EnvPort("QHG_TLS_GOOD_PORT")) + "."}));
    const std::string front = "TLS handshake with the transaction server 127.0.0.1:";
    auto line = [&](const char* port, const char* reason) {
        return front + std::to_string(EnvPort(port)) + " refused: " + reason;
    };
    EXPECT_EQ(logged, (std::vector<std::string>{
                          line("QHG_TLS_UNTRUSTED_PORT", "certificate not trusted"),
                          line("QHG_TLS_EXPIRED_PORT", "certificate expired"),
                          line("QHG_TLS_FUTURE_PORT", "certificate not yet valid"),
                          line("QHG_TLS_OTHER_NAME_PORT", "name mismatch"),
                          line("QHG_TLS_GOOD_PORT", "fingerprint mismatch"),
                          line("QHG_TLS_OLD_PORT", "TLS 1.2 or later required"),
                          line("QHG_TLS_REQUIRE12_PORT", required.c_str()),
                          line("QHG_TLS_REQUIRE_PORT", "client certificate expired"),
                          line("QHG_TLS_REQUIRE_PORT", "client key does not match the certificate"),
#ifdef _WIN32
                          line("QHG_TLS_REQUIRE_PORT", "client certificate not found"),
#else
                          line("QHG_TLS_REQUIRE_PORT",
                               "client key file is readable by group or others"),
#endif
                      }));

    // The pin in another form, and the CA file named beside the executable.
    WriteWholeFile(files.Directory() + "/ca.pem", ReadWholeFile(Env("QHG_TLS_CA")));
    std::string bare;
    for (char c : pin)
        if (c != ':')
            bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    serverPort = EnvPort("QHG_TLS_GOOD_PORT");
    StartGateway(TlsSettings("ServerCertificateHash=" + bare + "\n", "ca.pem"));
    ExpectServing(300);
    char reason[256];
    EXPECT_TRUE(ServerHealthy(reason, sizeof reason));
    EXPECT_EQ(MetricValue(expiry), std::atoll(Env("QHG_TLS_NOT_AFTER").c_str()));
}

// A host that asks for the client certificate gets it, with its chain, and
// the sale goes through; a host that does not ask gets none. /metrics has the
// certificate's end, and "check" shows the certificate and whether it went.
// A backup that asks gets the same certificate from every connection.
TEST_F(ReliabilityTlsTest, ClientCertificateGoesToAHostThatAsksAndOnlyThere) {
    StartServer();
#ifdef _WIN32
    std::printf("[ NOTE     ] Wine's Schannel sends no chain: TLS 1.2 to a front that trusts "
                "the intermediate\n");
    const unsigned short asking = EnvPort("QHG_TLS_REQUIRE12_PORT");
#else
    const unsigned short asking = EnvPort("QHG_TLS_REQUIRE_PORT");
#endif
    serverPort = asking;
    const std::string client = ClientSettings(Env("QHG_TLS_CLIENT_CERT"), Env("QHG_TLS_CLIENT_KEY"),
                                              "QHG_TLS_CLIENT_SHA256");
    StartGateway(TlsSettings(client));
    ExpectServing(100);
    ExpectServing(110);
    EXPECT_EQ(server->ConnectionsAccepted(), 1u);
    EXPECT_EQ(MetricValue("qhg_client_certificate_expiry_timestamp_seconds"),
              std::atoll(Env("QHG_TLS_CLIENT_NOT_AFTER").c_str()));
    std::string out = CheckOutput();
    for (const std::string& line : {"\nClient certificate: " + Env("QHG_TLS_CLIENT_SUBJECT") + "\n",
                                    "  issued by: " + Env("QHG_TLS_CLIENT_ISSUER") + "\n",
                                    "  SHA-256:   " + Env("QHG_TLS_CLIENT_SHA256") + "\n",
                                    std::string("\nClient certificate asked for: yes, sent\n")})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    StopGateway();

    const std::string log = Env("QHG_TLS_GOOD_LOG");
    auto unasked = [&] {
        std::string text = ReadWholeFile(log);
        size_t count = 0;
        for (size_t at = text.find("no peer certificate"); at != std::string::npos;
             at = text.find("no peer certificate", at + 1))
            ++count;
        return count;
    };
    size_t before = unasked();
    serverPort = EnvPort("QHG_TLS_GOOD_PORT");
    StartGateway(TlsSettings(client));
    ExpectServing(120);
    EXPECT_TRUE(WaitUntil([&] { return unasked() == before + 1; }, 2000));
    out = CheckOutput();
    EXPECT_NE(out.find("\nClient certificate asked for: no, none sent\n"), std::string::npos)
        << out;
    StopGateway();

    // The transaction server closed, two sales at once on the connections of
    // two terminal addresses, each to the backup that asks.
    serverPort = FreePort();
    TxSimOptions slow;
    slow.replyDelayMs = 500;
    SetServerOptions(slow);
    PlatformSleepMs(300); // what a front still forwarded for check's probe is in by now
    size_t connections = server->ConnectionsAccepted();
    StartGateway(TlsSettings(client + "TerminalAddresses=3,4\nBackupServerAddress=127.0.0.1\n" +
                             "BackupServerPort=" + std::to_string(asking) + "\n"));
    std::string answers[2];
    std::thread other([&] { answers[1] = Sale(140); });
    answers[0] = Sale(130);
    other.join();
    for (const std::string& answer : answers)
        EXPECT_EQ(ParseAnswer(answer).body.rfind("APPROVED SALE", 0), 0u) << answer;
    EXPECT_EQ(server->ConnectionsAccepted(), connections + 2);
}

// Twelve tills paying at once against a server that answers in 1.5 s: with
// four terminal addresses, four connections carry them side by side, each
// message with its connection's address, every number once, and each
// connection's numbers in the order it sent them (a sale's number is taken
// with its record before it waits for a connection).
TEST_F(ReliabilityTest, TwelveTillsShareFourTerminalAddressesAgainstASlowServer) {
    TxSimOptions slow;
    slow.replyDelayMs = 1500;
    StartServer(slow);
    unsigned short status = FreePort();
    StartGateway("TerminalAddresses=3,4,5,6\nStatusPort=" + std::to_string(status) + "\n");
    const int tills = 12;
    std::vector<std::string> answers(tills);
    std::vector<std::thread> clients;
    int64_t start = PlatformMonotonicMs();
    for (int i = 0; i < tills; ++i)
        clients.emplace_back([&, i] { answers[i] = Sale(2000 + i); });
    for (auto& client : clients)
        client.join();
    EXPECT_LT(PlatformMonotonicMs() - start, 9000);
    for (const std::string& answer : answers) {
        Answer parsed = ParseAnswer(answer);
        EXPECT_EQ(parsed.status, "200 OK") << answer;
        EXPECT_EQ(parsed.body.rfind("APPROVED SALE TERMINAL=0", 0), 0u) << answer;
    }
    std::map<std::string, int> perTerminal;
    std::map<std::string, int> lastNumber;
    std::set<int> numbers;
    for (const std::string& message : server->Messages()) {
        const std::string terminal = message.substr(2, 2);
        ++perTerminal[terminal];
        int number = std::stoi(message.substr(4, message.find(FS) - 4));
        numbers.insert(number);
        EXPECT_GT(number, lastNumber.count(terminal) ? lastNumber[terminal] : -1)
            << "terminal " << terminal << " sent " << number << " after a later number";
        lastNumber[terminal] = number;
    }
    EXPECT_EQ(perTerminal,
              (std::map<std::string, int>{{"03", 3}, {"04", 3}, {"05", 3}, {"06", 3}}));
    std::set<int> expected;
    for (int n = 17; n < 17 + tills; ++n)
        expected.insert(n);
    EXPECT_EQ(numbers, expected);
    EXPECT_EQ(server->ConnectionsAccepted(), 4u);
    std::set<int> journalled;
    for (const JournalFields& row : JournalRows()) {
        EXPECT_EQ(row[8], "replied");
        journalled.insert(std::stoi(row[4]));
    }
    EXPECT_EQ(journalled, expected);
    EXPECT_EQ(NextSequence(), 17 + tills);
    EXPECT_EQ(MetricValue("qhg_server_connected"), 4);
    // The status page shows each of the four.
    const std::string page = ParseAnswer(RawExchange(status, "GET / HTTP/1.1\r\n\r\n")).body;
    EXPECT_NE(page.find("<tr><td class=\"n\">3</td><td>06</td><td>127.0.0.1:" +
                        std::to_string(serverPort) + "</td><td class=\"ok\">connected</td>"),
              std::string::npos)
        << page;
}

// The transaction server's TLS front turns connections away: the backup
// (TLS too, checked by the same rules) carries the sales, said once; after
// ServerFailBackSeconds the server takes them back, said once.
TEST_F(ReliabilityTlsTest, BackupCarriesTheSalesUntilTheServerTakesThemBack) {
    StartServer();
    Relay relay(EnvPort("QHG_TLS_GOOD_PORT"));
    relay.SetDown(true);
    unsigned short backup = EnvPort("QHG_TLS_TLS12_PORT");
    unsigned short status = FreePort();
    serverPort = relay.Port();
    StartGateway(
        TlsSettings("BackupServerAddress=127.0.0.1\nBackupServerPort=" + std::to_string(backup) +
                    "\nServerFailBackSeconds=1\nStatusPort=" + std::to_string(status) + "\n"));
    auto health = [&] {
        return ParseAnswer(RawExchange(status, "GET /health HTTP/1.1\r\n\r\n")).body;
    };
    const std::string primaryWhere = "127.0.0.1:" + std::to_string(relay.Port());
    const std::string backupWhere = "127.0.0.1:" + std::to_string(backup);
    auto page = [&] { return ParseAnswer(RawExchange(status, "GET / HTTP/1.1\r\n\r\n")).body; };
    // Before the first sale the link has no host, so no encryption is claimed.
    EXPECT_NE(page().find("<td>none yet</td><td class=\"bad\">not connected</td><td></td>"),
              std::string::npos)
        << page();
    ExpectServing(100);
    ExpectServing(101);
    EXPECT_EQ(MetricValue("qhg_server_backup_in_use"), 1);
    EXPECT_EQ(health(), "OK, on the backup transaction server " + backupWhere);
    const std::string onBackup = page();
    for (const std::string& part :
         {"<td>" + backupWhere + " (backup)</td><td class=\"ok\">connected</td><td>TLS</td>" +
              "<td><span class=\"ok\">" + HttpDateOf(std::atoll(Env("QHG_TLS_NOT_AFTER").c_str())),
          "New connections go to the backup server " + backupWhere + ".</p>"})
        EXPECT_NE(onBackup.find(part), std::string::npos) << part << "\n" << onBackup;

    relay.SetDown(false);
    PlatformSleepMs(1100);
    ExpectServing(110);
    ExpectServing(111);
    EXPECT_EQ(relay.Relayed(), 1);
    EXPECT_EQ(MetricValue("qhg_server_backup_in_use"), 0);
    EXPECT_EQ(health(), "OK");
    EXPECT_EQ(server->ConnectionsAccepted(), 2u);
    std::vector<std::string> lines = LogMessages(files.ReadLog());
    for (const std::string& line : {"Using the backup transaction server " + backupWhere,
                                    "Back on the transaction server " + primaryWhere})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
}
