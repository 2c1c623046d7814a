// TxSim.cpp - the transaction-server simulator: one accept thread, one thread
// per connection, message parsing and the configurable ways of answering.
// Waits are sliced (PollSliceMs) or on a condition variable so that Stop()
// ends every thread within a slice.
#include "TxSim.h"

#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>

namespace {

constexpr char FieldSeparator = '\x1C';
constexpr int PollSliceMs = 20;
constexpr size_t MaxReplyLength = 0xFFFF;

// One parsed request: numbers kept as the text that came on the wire.
struct Request {
    int code = 0;
    std::string terminal;
    std::string sequence;
    std::string client;
    std::string amount;
    std::string reference;
    std::string card;
    std::string entryMode;
};

bool IsDecimal(const std::string& text, bool signAllowed) {
    size_t start = (signAllowed && !text.empty() && text[0] == '-') ? 1 : 0;
    if (text.size() <= start)
        return false;
    return std::all_of(text.begin() + start, text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == FieldSeparator)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// Both layouts have nine fields once split on FS; the code in the third field
// tells them apart. On failure *why names the first thing found wrong.
bool ParseRequest(const std::string& text, unsigned terminalDigits, Request* out,
                  std::string* why) {
    std::vector<std::string> f = SplitFields(text);
    if (f.size() != 9) {
        *why = "expected 9 fields, got " + std::to_string(f.size());
        return false;
    }
    Request r;
    if (f[2] == "84") {
        r.code = 84;
        if (!f[1].empty() || !f[4].empty() || !f[5].empty() || !f[6].empty()) {
            *why = "fields 2, 5, 6 and 7 of a funds-available message must be empty";
            return false;
        }
        if (!IsDecimal(f[0], false) || f[0].size() < 2) {
            *why = "bad terminal address";
            return false;
        }
        r.terminal = f[0];
    } else if (f[2] == "51" || f[2] == "52") {
        r.code = f[2] == "51" ? 51 : 52;
        if (!f[4].empty() || !f[6].empty()) {
            *why = "fields 5 and 7 of a sale or void message must be empty";
            return false;
        }
        if (!IsDecimal(f[0], false) || f[0].size() <= terminalDigits) {
            *why = "bad terminal address and sequence number";
            return false;
        }
        if (!IsDecimal(f[1], true)) {
            *why = "bad client number";
            return false;
        }
        r.terminal = f[0].substr(0, terminalDigits);
        r.sequence = f[0].substr(terminalDigits);
        r.client = f[1];
        r.reference = f[5];
    } else {
        *why = "unknown transaction code";
        return false;
    }
    if (!IsDecimal(f[3], true)) {
        *why = "bad amount";
        return false;
    }
    if (!IsDecimal(f[8], true)) {
        *why = "bad entry mode";
        return false;
    }
    r.amount = f[3];
    r.card = f[7];
    r.entryMode = f[8];
    *out = r;
    return true;
}

std::string ApprovalText(const Request& r) {
    if (r.code == 84)
        return "FUNDS AVAILABLE TERMINAL=" + r.terminal + " AMOUNT=" + r.amount;
    return std::string(r.code == 51 ? "APPROVED SALE" : "APPROVED VOID") +
           " TERMINAL=" + r.terminal + " SEQ=" + r.sequence + " CLIENT=" + r.client +
           " AMOUNT=" + r.amount;
}

// Items may be card data: the verbose line shows only their last four
// characters, and nothing of a short item.
std::string Masked(const std::string& item) {
    std::string shown(item.size(), '*');
    if (item.size() > 4)
        shown.replace(item.size() - 4, 4, item, item.size() - 4, 4);
    return shown;
}

// The framed bytes of one reply, with the surplus when it shares the write.
std::string FrameReply(const std::string& text, const TxSimOptions& options) {
    std::string body = text;
    if (options.longReplyLength > 0) {
        size_t length = std::min(options.longReplyLength, MaxReplyLength);
        // A digit pattern, so that a reader can tell which bytes went missing.
        for (size_t i = body.size(); i < length; ++i)
            body += char('0' + i % 10);
        body.resize(length);
    }
    body.resize(std::min(body.size(), MaxReplyLength));
    std::string framed;
    if (options.garbageLength) {
        framed = "\xFF\xFF";
    } else {
        framed += char(body.size() >> 8);
        framed += char(body.size() & 0xFF);
    }
    framed += body;
    if (options.surplusDelayMs == 0)
        framed += options.surplus;
    return framed;
}

struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
    PlatformSocket socket = PlatformNoSocket;
    size_t number = 0;
};

} // namespace

struct TxSimState {
    TxSimOptions options; // guarded by mutex after Start
    PlatformSocket listener = PlatformNoSocket;
    unsigned short port = 0;
    bool socketsStarted = false;
    bool stopped = false; // Stop() has run; the records stay readable

    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    mutable std::condition_variable changed; // stopping set, or a message recorded
    std::vector<std::string> messages;
    size_t connectionsAccepted = 0;

    std::thread acceptThread;
    std::list<Connection> connections; // touched by the accept thread, then Stop

    TxSimOptions Options() const {
        std::lock_guard<std::mutex> lock(mutex);
        return options;
    }

    // Sleeps up to ms; true when the simulator is stopping.
    bool WaitOrStop(unsigned ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms),
                                [this] { return stopping.load(); });
    }
};

namespace {

void Record(TxSimState* state, const std::string& framed, const TxSimOptions& options) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->messages.push_back(framed);
    if (!options.recordPath.empty()) {
        if (std::FILE* file = std::fopen(options.recordPath.c_str(), "ab")) {
            std::fwrite(framed.data(), 1, framed.size(), file);
            std::fclose(file);
        }
    }
    state->changed.notify_all();
}

void PrintVerbose(TxSimState* state, const Connection& connection, const std::string& text,
                  const std::string& reply, const TxSimOptions& options) {
    Request r;
    std::string why;
    std::string line = "txsim: connection " + std::to_string(connection.number) + ": ";
    if (ParseRequest(text, options.terminalDigits, &r, &why)) {
        line += r.code == 84 ? "funds-available" : r.code == 51 ? "sale" : "void";
        line += " terminal=" + r.terminal;
        if (r.code != 84)
            line += " seq=" + r.sequence + " client=" + r.client;
        line += " amount=" + r.amount;
        if (r.code != 84)
            line += " reference=" + Masked(r.reference);
        line += " card=" + Masked(r.card) + " entry=" + r.entryMode;
    } else {
        line += std::to_string(text.size()) + " bytes, unreadable";
    }
    if (options.neverReply)
        line += " -> held, no reply";
    else if (options.closeBeforeReply)
        line += " -> closed, no reply";
    else
        line += " -> \"" + reply + "\"";
    line += '\n';
    std::lock_guard<std::mutex> lock(state->mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// Sends all bytes, in pieces when asked to. False when the connection failed
// or the simulator is stopping.
bool SendReply(TxSimState* state, PlatformSocket socket, const std::string& bytes, size_t pieceSize,
               unsigned pauseMs) {
    if (pieceSize == 0)
        pieceSize = bytes.size();
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (sent > 0 && state->WaitOrStop(pauseMs))
            return false;
        size_t end = std::min(bytes.size(), sent + pieceSize);
        while (sent < end) {
            long n = PlatformSend(socket, bytes.data() + sent, end - sent);
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
    }
    return true;
}

// Answers one complete message. False when the connection is to be closed.
bool Answer(TxSimState* state, Connection& connection, const std::string& framed) {
    TxSimOptions options = state->Options();
    Record(state, framed, options);
    std::string text = framed.substr(2);
    std::string reply = TxSimReplyText(text, options.terminalDigits);
    if (options.verbose)
        PrintVerbose(state, connection, text, reply, options);
    if (options.neverReply)
        return true;
    if (options.closeBeforeReply)
        return false;
    if (options.replyDelayMs > 0 && state->WaitOrStop(options.replyDelayMs))
        return false;
    if (!SendReply(state, connection.socket, FrameReply(reply, options), options.splitBytes,
                   options.splitPauseMs))
        return false;
    if (options.surplusDelayMs > 0 && !options.surplus.empty()) {
        if (state->WaitOrStop(options.surplusDelayMs) ||
            !SendReply(state, connection.socket, options.surplus, 0, 0))
            return false;
    }
    return !options.closeAfterReply;
}

void Serve(TxSimState* state, Connection* connection) {
    std::string pending;
    char buffer[4096];
    int64_t lastActive = PlatformMonotonicMs();
    bool open = true;
    while (open && !state->stopping) {
        int slice = PollSliceMs;
        if (unsigned idleMs = state->Options().idleCloseMs) {
            int64_t left = lastActive + idleMs - PlatformMonotonicMs();
            if (left <= 0)
                break;
            slice = int(std::min<int64_t>(slice, left));
        }
        int ready = PlatformWaitReadable(connection->socket, slice);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        long n = PlatformRecv(connection->socket, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.append(buffer, size_t(n));
        // Several messages may have come in one read, or one in several.
        while (open && pending.size() >= 2) {
            size_t length = (size_t(uint8_t(pending[0])) << 8) | uint8_t(pending[1]);
            if (pending.size() < length + 2)
                break;
            std::string framed = pending.substr(0, length + 2);
            pending.erase(0, length + 2);
            open = Answer(state, *connection, framed);
            lastActive = PlatformMonotonicMs();
        }
    }
    // Ending our side first lets the peer read a clean end of stream.
    PlatformShutdownSend(connection->socket);
    PlatformCloseSocket(connection->socket);
    connection->done = true;
}

void JoinFinished(TxSimState* state) {
    for (auto it = state->connections.begin(); it != state->connections.end();) {
        if (it->done) {
            it->thread.join();
            it = state->connections.erase(it);
        } else {
            ++it;
        }
    }
}

void AcceptLoop(TxSimState* state) {
    while (!state->stopping) {
        int ready = PlatformWaitReadable(state->listener, PollSliceMs);
        JoinFinished(state);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        char peer[32];
        PlatformSocket socket = PlatformAccept(state->listener, peer, sizeof peer);
        if (socket == PlatformNoSocket) {
            // The pending connection went away; don't spin on a broken listener.
            state->WaitOrStop(PollSliceMs);
            continue;
        }
        Connection& connection = state->connections.emplace_back();
        connection.socket = socket;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            connection.number = ++state->connectionsAccepted;
        }
        connection.thread = std::thread(Serve, state, &connection);
    }
    PlatformCloseSocket(state->listener);
    state->listener = PlatformNoSocket;
}

} // namespace

std::string TxSimReplyText(const std::string& text, unsigned terminalDigits) {
    Request request;
    std::string why;
    if (!ParseRequest(text, terminalDigits, &request, &why))
        return "ERROR unreadable message: " + why;
    return ApprovalText(request);
}

TxSim::TxSim() = default;

TxSim::~TxSim() {
    Stop();
}

bool TxSim::Start(const TxSimOptions& options, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (state_ && !state_->stopped) {
        why = "already running";
        return false;
    }
    auto state = std::make_unique<TxSimState>();
    state->options = options;
    if (!PlatformSocketStartup()) {
        why = "cannot start sockets: error " + std::to_string(PlatformSocketError());
        return false;
    }
    state->socketsStarted = true;
    const char* address = options.bindAddress == "0.0.0.0" ? nullptr : options.bindAddress.c_str();
    state->listener = PlatformTcpSocket();
    int failure = 0;
    if (state->listener == PlatformNoSocket)
        failure = PlatformSocketError();
    else if ((failure = PlatformBind(state->listener, address, options.port)) != 0)
        why = "cannot bind " + options.bindAddress + ":" + std::to_string(options.port) +
              ": error " + std::to_string(failure);
    else if ((failure = PlatformListen(state->listener, 16)) != 0)
        why = "cannot listen: error " + std::to_string(failure);
    if (state->listener == PlatformNoSocket || failure != 0) {
        if (why.empty())
            why = "cannot create a socket: error " + std::to_string(failure);
        if (state->listener != PlatformNoSocket)
            PlatformCloseSocket(state->listener);
        PlatformSocketCleanup();
        return false;
    }
    state->port = PlatformLocalPort(state->listener);
    state->acceptThread = std::thread(AcceptLoop, state.get());
    state_ = std::move(state);
    return true;
}

void TxSim::Stop() {
    if (!state_ || state_->stopped)
        return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    state_->acceptThread.join();
    for (Connection& connection : state_->connections)
        connection.thread.join();
    state_->connections.clear();
    if (state_->socketsStarted)
        PlatformSocketCleanup();
    state_->stopped = true;
}

unsigned short TxSim::Port() const {
    return state_ ? state_->port : 0;
}

void TxSim::SetOptions(const TxSimOptions& options) {
    if (!state_ || state_->stopped)
        return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    TxSimOptions kept = state_->options;
    state_->options = options;
    state_->options.bindAddress = kept.bindAddress;
    state_->options.port = kept.port;
}

std::vector<std::string> TxSim::Messages() const {
    if (!state_)
        return {};
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->messages;
}

bool TxSim::WaitForMessages(size_t count, unsigned timeoutMs) const {
    if (!state_)
        return false;
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->messages.size() >= count; });
}

size_t TxSim::ConnectionsAccepted() const {
    if (!state_)
        return 0;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->connectionsAccepted;
}
