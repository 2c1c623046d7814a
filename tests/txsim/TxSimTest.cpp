// TxSimTest.cpp - drives an in-process transaction-server simulator over
// loopback with raw framed bytes and checks every byte it sends back.
#include "TxSim.h"

#include "Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Frame(const std::string& text) {
    std::string framed;
    framed += char(text.size() >> 8);
    framed += char(text.size() & 0xFF);
    return framed + text;
}

std::string FundsText(const std::string& terminal, const std::string& amount,
                      const std::string& first, const std::string& entry = "2") {
    return terminal + FS + FS + "84" + FS + amount + FS + FS + FS + FS + first + FS + entry;
}

std::string SaleText(const std::string& terminalAndSequence, const std::string& client,
                     const std::string& code, const std::string& amount, const std::string& third,
                     const std::string& first, const std::string& entry = "2") {
    return terminalAndSequence + FS + client + FS + code + FS + amount + FS + FS + third + FS + FS +
           first + FS + entry;
}

// A blocking loopback client that reads with time limits.
class RawClient {
  public:
    explicit RawClient(unsigned short port) {
        socket_ = PlatformTcpSocket();
        if (socket_ != PlatformNoSocket && PlatformConnect(socket_, "127.0.0.1", port) != 0) {
            PlatformCloseSocket(socket_);
            socket_ = PlatformNoSocket;
        }
    }
    ~RawClient() {
        if (socket_ != PlatformNoSocket)
            PlatformCloseSocket(socket_);
    }
    bool Connected() const { return socket_ != PlatformNoSocket; }

    void Send(const std::string& bytes) {
        ASSERT_EQ(PlatformSend(socket_, bytes.data(), bytes.size()), long(bytes.size()));
    }

    // Reads until count bytes have come, the peer closes or timeoutMs passes;
    // bytes beyond count are kept for the next read.
    std::string Read(size_t count, int timeoutMs = 3000) {
        int64_t deadline = PlatformMonotonicMs() + timeoutMs;
        while (pending_.size() < count) {
            std::string chunk = ReadChunk(int(deadline - PlatformMonotonicMs()));
            if (chunk.empty())
                break;
            pending_ += chunk;
        }
        std::string got = pending_.substr(0, count);
        pending_.erase(0, got.size());
        return got;
    }

    // One recv's worth; empty on time-out or end of stream (see closed_).
    std::string ReadChunk(int timeoutMs) {
        if (timeoutMs < 0 || PlatformWaitReadable(socket_, timeoutMs) != 1)
            return {};
        char buffer[8192];
        long n = PlatformRecv(socket_, buffer, sizeof buffer);
        if (n <= 0) {
            closed_ = true;
            return {};
        }
        return std::string(buffer, size_t(n));
    }

    // True when the peer ends the connection within timeoutMs without
    // sending anything more.
    bool ClosesWithin(int timeoutMs) {
        if (!pending_.empty())
            return false;
        std::string extra = ReadChunk(timeoutMs);
        return extra.empty() && closed_;
    }

    // True when nothing at all (no data, no end of stream) comes for ms.
    bool QuietFor(int ms) { return pending_.empty() && PlatformWaitReadable(socket_, ms) == 0; }

  private:
    PlatformSocket socket_ = PlatformNoSocket;
    bool closed_ = false;
    std::string pending_;
};

class TxSimTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(PlatformSocketStartup()); }
    void TearDown() override {
        sim.Stop();
        PlatformSocketCleanup();
    }

    void Start(TxSimOptions options = {}) {
        options.port = 0;
        std::string error;
        ASSERT_TRUE(sim.Start(options, &error)) << error;
        ASSERT_NE(sim.Port(), 0);
    }

    // Sends one message and returns the reply, expected to be framed.
    std::string Exchange(RawClient& client, const std::string& text) {
        client.Send(Frame(text));
        std::string head = client.Read(2);
        if (head.size() < 2)
            return "<no reply>";
        size_t length = (size_t(uint8_t(head[0])) << 8) | uint8_t(head[1]);
        std::string body = client.Read(length);
        EXPECT_EQ(body.size(), length);
        return body;
    }

    TxSim sim;
};

const std::string SaleExample = SaleText("0317", "5", "51", "250", "ABC", "12345");
const std::string SaleReply = "APPROVED SALE TERMINAL=03 SEQ=17 CLIENT=5 AMOUNT=250";

TEST_F(TxSimTest, AnswersEveryKindOnOnePersistentConnection) {
    Start();
    RawClient client(sim.Port());
    ASSERT_TRUE(client.Connected());

    client.Send(Frame(SaleExample));
    EXPECT_EQ(client.Read(2 + SaleReply.size()), Frame(SaleReply));
    EXPECT_EQ(Exchange(client, FundsText("03", "500", "12345")),
              "FUNDS AVAILABLE TERMINAL=03 AMOUNT=500");
    EXPECT_EQ(Exchange(client, SaleText("0318", "5", "52", "-40", "ABC", "12345", "1")),
              "APPROVED VOID TERMINAL=03 SEQ=18 CLIENT=5 AMOUNT=-40");
    // Terminal 7 and sequence number 5 arrive as "075".
    EXPECT_EQ(Exchange(client, SaleText("075", "12", "51", "1", "", "")),
              "APPROVED SALE TERMINAL=07 SEQ=5 CLIENT=12 AMOUNT=1");

    // A three-digit terminal address needs to be announced to be split off.
    TxSimOptions wide;
    wide.terminalDigits = 3;
    sim.SetOptions(wide);
    EXPECT_EQ(Exchange(client, SaleText("1235", "5", "51", "9", "X", "Y")),
              "APPROVED SALE TERMINAL=123 SEQ=5 CLIENT=5 AMOUNT=9");
    EXPECT_EQ(Exchange(client, FundsText("123", "9", "Y")),
              "FUNDS AVAILABLE TERMINAL=123 AMOUNT=9");
    EXPECT_EQ(sim.ConnectionsAccepted(), 1u);
}

TEST_F(TxSimTest, AnswersUnreadableMessagesWithAnErrorAndKeepsServing) {
    Start();
    RawClient client(sim.Port());
    const std::string prefix = "ERROR unreadable message: ";
    struct Case {
        std::string text;
        std::string reason;
    } cases[] = {
        {"", "expected 9 fields, got 1"},
        {"0317" + FS + "5" + FS + "51", "expected 9 fields, got 3"},
        {SaleText("0317", "5", "53", "250", "ABC", "12345"), "unknown transaction code"},
        {SaleText("0317", "5", "5", "250", "ABC", "12345"), "unknown transaction code"},
        {SaleText("03", "5", "51", "250", "ABC", "12345"),
         "bad terminal address and sequence number"},
        {SaleText("03a7", "5", "51", "250", "ABC", "12345"),
         "bad terminal address and sequence number"},
        {SaleText("0317", "", "51", "250", "ABC", "12345"), "bad client number"},
        {SaleText("0317", "5", "51", "25x", "ABC", "12345"), "bad amount"},
        {SaleText("0317", "5", "51", "", "ABC", "12345"), "bad amount"},
        {SaleText("0317", "5", "51", "250", "ABC", "12345", ""), "bad entry mode"},
        {"0317" + FS + "5" + FS + "51" + FS + "250" + FS + "Z" + FS + "ABC" + FS + FS + "1" + FS +
             "2",
         "fields 5 and 7 of a sale or void message must be empty"},
        {"03" + FS + "5" + FS + "84" + FS + "500" + FS + FS + FS + FS + "1" + FS + "2",
         "fields 2, 5, 6 and 7 of a funds-available message must be empty"},
        {FundsText("3", "500", "12345"), "bad terminal address"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Exchange(client, c.text), prefix + c.reason) << "message: " << c.text;
    EXPECT_EQ(Exchange(client, SaleExample), SaleReply);
}

TEST_F(TxSimTest, ReassemblesMessagesWhateverTheirTcpPieces) {
    Start();
    RawClient client(sim.Port());
    std::string framed = Frame(SaleExample);
    // Length bytes one at a time, then the text in three writes.
    client.Send(framed.substr(0, 1));
    PlatformSleepMs(20);
    client.Send(framed.substr(1, 1));
    PlatformSleepMs(20);
    client.Send(framed.substr(2, 5));
    PlatformSleepMs(20);
    client.Send(framed.substr(7, 10));
    EXPECT_TRUE(client.QuietFor(60)) << "answered a partial message";
    client.Send(framed.substr(17));
    EXPECT_EQ(client.Read(2 + SaleReply.size()), Frame(SaleReply));

    // Two messages in one write get two replies, in order.
    std::string funds = FundsText("03", "500", "12345");
    client.Send(Frame(funds) + framed);
    std::string fundsReply = Frame("FUNDS AVAILABLE TERMINAL=03 AMOUNT=500");
    EXPECT_EQ(client.Read(fundsReply.size() + 2 + SaleReply.size()), fundsReply + Frame(SaleReply));

    // A length whose low byte has its top bit set (0x00 0xC8) is unsigned.
    std::string longItem(200 - SaleText("0317", "5", "51", "250", "ABC", "").size(), '4');
    std::string longSale = SaleText("0317", "5", "51", "250", "ABC", longItem);
    ASSERT_EQ(longSale.size(), 200u);
    EXPECT_EQ(Exchange(client, longSale), SaleReply);

    ASSERT_TRUE(sim.WaitForMessages(4, 1000));
    std::vector<std::string> messages = sim.Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], framed);
    EXPECT_EQ(messages[1], Frame(funds));
    EXPECT_EQ(messages[3], Frame(longSale));
    EXPECT_EQ(messages[3].substr(0, 2), std::string("\x00\xC8", 2));
}

TEST_F(TxSimTest, DelaysAndSplitsReplies) {
    TxSimOptions options;
    options.replyDelayMs = 200;
    Start(options);
    RawClient client(sim.Port());
    int64_t sent = PlatformMonotonicMs();
    client.Send(Frame(SaleExample));
    EXPECT_TRUE(client.QuietFor(100)) << "replied before the delay";
    EXPECT_EQ(client.Read(2 + SaleReply.size()), Frame(SaleReply));
    EXPECT_GE(PlatformMonotonicMs() - sent, 180);

    options.replyDelayMs = 0;
    options.splitBytes = 8;
    options.splitPauseMs = 50;
    sim.SetOptions(options);
    std::string expected = Frame(SaleReply);
    client.Send(Frame(SaleExample));
    std::vector<std::string> chunks;
    std::string got;
    while (got.size() < expected.size()) {
        std::string chunk = client.ReadChunk(2000);
        if (chunk.empty())
            break;
        chunks.push_back(chunk);
        got += chunk;
    }
    EXPECT_EQ(got, expected);
    EXPECT_GE(chunks.size(), 3u);
    for (const std::string& chunk : chunks)
        EXPECT_LE(chunk.size(), 8u);
}

TEST_F(TxSimTest, ClosesBeforeOrAfterReplyingOrWhenIdle) {
    TxSimOptions options;
    options.closeBeforeReply = true;
    Start(options);
    {
        RawClient client(sim.Port());
        client.Send(Frame(SaleExample));
        EXPECT_TRUE(client.ClosesWithin(2000)) << "expected end of stream with no bytes";
        EXPECT_EQ(sim.Messages(), std::vector<std::string>{Frame(SaleExample)});
    }

    options.closeBeforeReply = false;
    options.closeAfterReply = true;
    sim.SetOptions(options);
    {
        RawClient client(sim.Port());
        client.Send(Frame(SaleExample));
        EXPECT_EQ(client.Read(2 + SaleReply.size()), Frame(SaleReply));
        EXPECT_TRUE(client.ClosesWithin(2000));
    }

    options.closeAfterReply = false;
    options.idleCloseMs = 200;
    sim.SetOptions(options);
    {
        RawClient client(sim.Port());
        // Each message restarts the idle time.
        for (int i = 0; i < 2; ++i) {
            PlatformSleepMs(100);
            EXPECT_EQ(Exchange(client, SaleExample), SaleReply);
        }
        int64_t replied = PlatformMonotonicMs();
        EXPECT_TRUE(client.ClosesWithin(2000));
        EXPECT_GE(PlatformMonotonicMs() - replied, 180);
    }
    EXPECT_EQ(sim.ConnectionsAccepted(), 3u);
}

TEST_F(TxSimTest, SendsSurplusBytesInTheSameOrALaterWrite) {
    const std::string surplus("\x00\x02OK", 4);
    TxSimOptions options;
    options.surplus = surplus;
    Start(options);
    RawClient client(sim.Port());
    client.Send(Frame(SaleExample));
    std::string expected = Frame(SaleReply) + surplus;
    EXPECT_EQ(client.Read(expected.size()), expected);
    EXPECT_TRUE(client.QuietFor(50));

    options.surplusDelayMs = 150;
    sim.SetOptions(options);
    client.Send(Frame(SaleExample));
    EXPECT_EQ(client.Read(2 + SaleReply.size()), Frame(SaleReply));
    EXPECT_TRUE(client.QuietFor(60)) << "surplus came with the reply";
    EXPECT_EQ(client.Read(surplus.size()), surplus);
    EXPECT_TRUE(client.QuietFor(50));
}

TEST_F(TxSimTest, SendsOversizedAndGarbledReplies) {
    TxSimOptions options;
    options.longReplyLength = 1500;
    Start(options);
    RawClient client(sim.Port());
    client.Send(Frame(SaleExample));
    std::string reply = client.Read(1502);
    ASSERT_EQ(reply.size(), 1502u);
    EXPECT_EQ(reply.substr(0, 2), "\x05\xDC");
    EXPECT_EQ(reply.substr(2, SaleReply.size()), SaleReply);
    for (size_t i = SaleReply.size(); i < 1500; ++i)
        ASSERT_EQ(reply[2 + i], char('0' + i % 10)) << "filler byte " << i;
    EXPECT_TRUE(client.QuietFor(50));

    options.longReplyLength = 0;
    options.garbageLength = true;
    sim.SetOptions(options);
    client.Send(Frame(SaleExample));
    EXPECT_EQ(client.Read(2 + SaleReply.size()), "\xFF\xFF" + SaleReply);
    EXPECT_TRUE(client.QuietFor(50)) << "sent more than the short body";
}

TEST_F(TxSimTest, NeverReplyingKeepsMessagesAndHoldsTheConnection) {
    TxSimOptions options;
    options.neverReply = true;
    Start(options);
    RawClient client(sim.Port());
    client.Send(Frame(SaleExample));
    client.Send(Frame(FundsText("03", "500", "12345")));
    EXPECT_TRUE(sim.WaitForMessages(2, 2000));
    EXPECT_TRUE(client.QuietFor(150)) << "replied or closed";
}

TEST_F(TxSimTest, RecordsExactBytesInMemoryAndInTheFile) {
    namespace fs = std::filesystem;
    fs::path record = fs::temp_directory_path() /
                      ("txsim-record-" + std::to_string(PlatformUtcMilliseconds()) + ".bin");
    {
        std::FILE* file = std::fopen(record.string().c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("old", file);
        std::fclose(file);
    }
    TxSimOptions options;
    options.recordPath = record.string();
    Start(options);
    std::vector<std::string> sent = {Frame(SaleExample), Frame(FundsText("03", "500", "12345")),
                                     Frame(std::string("\x01\x02\x1C\xFF", 4))};
    {
        RawClient first(sim.Port());
        first.Send(sent[0] + sent[1]);
        ASSERT_TRUE(sim.WaitForMessages(2, 2000));
    }
    {
        RawClient second(sim.Port());
        second.Send(sent[2]);
        ASSERT_TRUE(sim.WaitForMessages(3, 2000));
    }
    EXPECT_EQ(sim.Messages(), sent);
    EXPECT_EQ(sim.ConnectionsAccepted(), 2u);

    std::string contents;
    if (std::FILE* file = std::fopen(record.string().c_str(), "rb")) {
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            contents.append(buffer, n);
        std::fclose(file);
    }
    EXPECT_EQ(contents, "old" + sent[0] + sent[1] + sent[2]);
    std::error_code ignored;
    fs::remove(record, ignored);
}

TEST_F(TxSimTest, PrintsOneMaskedLineOnlyWhenVerbose) {
    Start();
    ::testing::internal::CaptureStdout();
    {
        RawClient client(sim.Port());
        EXPECT_EQ(Exchange(client, SaleText("0317", "5", "51", "250", "ABC", "4111222233334444")),
                  SaleReply);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    TxSimOptions options;
    options.verbose = true;
    sim.SetOptions(options);
    ::testing::internal::CaptureStdout();
    {
        RawClient client(sim.Port());
        EXPECT_EQ(Exchange(client, SaleText("0317", "5", "51", "250", "ABC", "4111222233334444")),
                  SaleReply);
        EXPECT_EQ(Exchange(client, "junk"), "ERROR unreadable message: expected 9 fields, got 1");
    }
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "txsim: connection 2: sale terminal=03 seq=17 client=5 amount=250 reference=*** "
                   "card=************4444 entry=2 -> \"" +
                       SaleReply +
                       "\"\n"
                       "txsim: connection 2: 4 bytes, unreadable -> \"ERROR unreadable message: "
                       "expected 9 fields, got 1\"\n");
}

TEST_F(TxSimTest, StopsPromptlyWithBusyConnections) {
    TxSimOptions options;
    options.replyDelayMs = 10000;
    Start(options);
    unsigned short port = sim.Port();
    RawClient waiting(port);
    RawClient idle(port);
    waiting.Send(Frame(SaleExample));
    ASSERT_TRUE(sim.WaitForMessages(1, 2000));

    int64_t before = PlatformMonotonicMs();
    sim.Stop();
    EXPECT_LT(PlatformMonotonicMs() - before, 500);
    EXPECT_TRUE(waiting.ClosesWithin(1000));
    EXPECT_TRUE(idle.ClosesWithin(1000));
    EXPECT_EQ(sim.Messages().size(), 1u) << "records stay readable after a stop";
    EXPECT_FALSE(RawClient(port).Connected()) << "listener still open";

    // Tests start and stop simulators by the dozen.
    for (int i = 0; i < 10; ++i) {
        TxSim quick;
        TxSimOptions o;
        o.port = 0;
        ASSERT_TRUE(quick.Start(o));
        RawClient client(quick.Port());
        EXPECT_EQ(Exchange(client, SaleExample), SaleReply);
    }
}

TEST_F(TxSimTest, RefusesAPortThatIsInUse) {
    Start();
    TxSim second;
    TxSimOptions options;
    options.port = sim.Port();
    std::string error;
    EXPECT_FALSE(second.Start(options, &error));
    EXPECT_EQ(error.rfind("cannot bind 127.0.0.1:" + std::to_string(sim.Port()), 0), 0u) << error;
    // The first one is unharmed.
    RawClient client(sim.Port());
    EXPECT_EQ(Exchange(client, SaleExample), SaleReply);
}

// Every option at once, in both forms, each number different: a value that
// reaches another option's field shows as two wrong fields.
TEST_F(TxSimTest, CommandLineSetsEachOptionsOwnField) {
    const char* argv[] = {"txsim",
                          "--port",
                          "4321",
                          "--bind=0.0.0.0",
                          "--terminal-digits",
                          "3",
                          "--delay=1001",
                          "--split",
                          "7",
                          "--split-pause",
                          "1002",
                          "--close-before-reply",
                          "--close-after-reply",
                          "--idle-close=1003",
                          "--surplus",
                          "\\x00\\x02OK\\\\",
                          "--surplus-delay",
                          "1004",
                          "--long-reply=1500",
                          "--garbage-length",
                          "--never-reply",
                          "--record",
                          "messages.bin",
                          "--verbose=ignored"};
    TxSimOptions o;
    std::string error;
    ASSERT_EQ(TxSimParseCommandLine(int(std::size(argv)), argv, &o, &error), TxSimCommandLine::Run)
        << error;
    EXPECT_EQ(o.port, 4321);
    EXPECT_EQ(o.bindAddress, "0.0.0.0");
    EXPECT_EQ(o.terminalDigits, 3u);
    EXPECT_EQ(o.replyDelayMs, 1001u);
    EXPECT_EQ(o.splitBytes, 7u);
    EXPECT_EQ(o.splitPauseMs, 1002u);
    EXPECT_EQ(o.idleCloseMs, 1003u);
    EXPECT_EQ(o.surplus, std::string("\x00\x02OK\\", 5));
    EXPECT_EQ(o.surplusDelayMs, 1004u);
    EXPECT_EQ(o.longReplyLength, 1500u);
    EXPECT_EQ(o.recordPath, "messages.bin");
    EXPECT_TRUE(o.closeBeforeReply && o.closeAfterReply && o.garbageLength && o.neverReply &&
                o.verbose);
}

TEST_F(TxSimTest, CommandLineStopsAtHelpOrAtTheFirstFault) {
    struct Case {
        std::vector<const char*> args;
        TxSimCommandLine outcome;
        std::string error;
    } cases[] = {
        {{}, TxSimCommandLine::Run, ""},
        {{"--port", "1", "-h", "--bogus"}, TxSimCommandLine::Help, ""},
        {{"/?"}, TxSimCommandLine::Help, ""},
        {{"--help=x"}, TxSimCommandLine::Help, ""},
        {{"--bogus=3"}, TxSimCommandLine::Error, "unknown option --bogus=3"},
        {{"-h=1"}, TxSimCommandLine::Error, "unknown option -h=1"},
        // The value is the next argument, whatever it looks like.
        {{"--port", "80", "stray"}, TxSimCommandLine::Error, "unknown option stray"},
        {{"--port", "--help"},
         TxSimCommandLine::Error,
         "--port needs a port number from 0 to 65535"},
        {{"--port"}, TxSimCommandLine::Error, "--port needs a port number from 0 to 65535"},
        {{"--port=65536"}, TxSimCommandLine::Error, "--port needs a port number from 0 to 65535"},
        {{"--terminal-digits", "0"},
         TxSimCommandLine::Error,
         "--terminal-digits needs a count from 1 to 9"},
        {{"--terminal-digits", "10"},
         TxSimCommandLine::Error,
         "--terminal-digits needs a count from 1 to 9"},
        {{"--delay=-1"}, TxSimCommandLine::Error, "--delay needs milliseconds"},
        {{"--idle-close", "3600001"}, TxSimCommandLine::Error, "--idle-close needs milliseconds"},
        {{"--split", "8x"}, TxSimCommandLine::Error, "--split needs a piece size in bytes"},
        {{"--long-reply", "65536"},
         TxSimCommandLine::Error,
         "--long-reply needs a reply length up to 65535"},
        {{"--bind="}, TxSimCommandLine::Error, "--bind needs a dotted IPv4 address"},
        {{"--record"}, TxSimCommandLine::Error, "--record needs a file name"},
        {{"--surplus", "\\q"},
         TxSimCommandLine::Error,
         "--surplus needs a text (\\xHH for a byte, \\\\ for a backslash)"},
        {{"--surplus", "\\x4"},
         TxSimCommandLine::Error,
         "--surplus needs a text (\\xHH for a byte, \\\\ for a backslash)"},
    };
    for (Case& c : cases) {
        c.args.insert(c.args.begin(), "txsim");
        TxSimOptions o;
        std::string error;
        EXPECT_EQ(TxSimParseCommandLine(int(c.args.size()), c.args.data(), &o, &error), c.outcome)
            << c.args.size() - 1 << " arguments, the first "
            << (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(error, c.error);
    }
    // An empty surplus is a surplus of nothing, not a missing one.
    TxSimOptions o;
    std::string error;
    const char* empty[] = {"txsim", "--surplus="};
    EXPECT_EQ(TxSimParseCommandLine(2, empty, &o, &error), TxSimCommandLine::Run);
    EXPECT_EQ(o.surplus, "");
}

} // namespace
