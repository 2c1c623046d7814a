// TxSim.h - a stand-in payment transaction server for demos, tests and
// benchmarks. It accepts the gateway's length-framed funds-available, sale
// and void messages, answers each with a framed reply text of its own, keeps
// every message it received, and can misbehave on request (slow, split,
// surplus, oversized or garbled replies, dropped or held connections).
// The txsim tool is a thin command line around it; tests run it in-process.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

constexpr unsigned short TxSimDefaultPort = 3770;

// How the simulator listens and answers. Every misbehaviour is off by
// default; several may be combined. SetOptions() changes all but the
// listening fields of a running simulator, for the messages that follow.
struct TxSimOptions {
    std::string bindAddress = "127.0.0.1";  // "0.0.0.0": all local addresses
    unsigned short port = TxSimDefaultPort; // 0: an ephemeral port

    // Digits of the terminal address in front of a sale's or void's sequence
    // number; the two are joined without a separator on the wire.
    unsigned terminalDigits = 2;

    unsigned replyDelayMs = 0;  // wait before each reply
    size_t splitBytes = 0;      // send each reply in pieces of this many bytes
    unsigned splitPauseMs = 50; // pause between those pieces
    bool closeBeforeReply = false;
    bool closeAfterReply = false;
    unsigned idleCloseMs = 0;    // close this long after the last reply (or accept)
    std::string surplus;         // raw bytes sent after each reply
    unsigned surplusDelayMs = 0; // 0: in the reply's own write; else later
    size_t longReplyLength = 0;  // pad each reply text to this length (max 65535)
    bool garbageLength = false;  // reply length bytes 0xFF 0xFF, short body
    bool neverReply = false;     // read and keep messages, answer none

    std::string recordPath; // append every framed message here, back to back
    bool verbose = false;   // one readable line per message on stdout
};

struct TxSimState;

// One running simulator. Stops on destruction.
class TxSim {
  public:
    TxSim();
    ~TxSim();
    TxSim(const TxSim&) = delete;
    TxSim& operator=(const TxSim&) = delete;

    // Binds, listens and starts accepting. False with a reason in *error
    // (when given) if the listener could not be set up.
    bool Start(const TxSimOptions& options, std::string* error = nullptr);
    // Closes the listener and every connection and joins all threads.
    void Stop();

    // The bound port (the ephemeral one when started on port 0).
    unsigned short Port() const;
    // Replaces the options; bindAddress and port are ignored.
    void SetOptions(const TxSimOptions& options);

    // Every complete message received so far, length bytes included, in the
    // order of arrival. Still readable after Stop().
    std::vector<std::string> Messages() const;
    // Waits until at least count messages have arrived; false on time-out.
    bool WaitForMessages(size_t count, unsigned timeoutMs) const;
    size_t ConnectionsAccepted() const;

  private:
    std::unique_ptr<TxSimState> state_;
};

// The reply text the simulator gives to one message text (length bytes
// removed): an approval for a well-formed message, an error text otherwise.
std::string TxSimReplyText(const std::string& text, unsigned terminalDigits = 2);

// What the txsim command line asks for.
enum class TxSimCommandLine { Run, Help, Error };

// Reads txsim's command line (argv[1] on) into *options, in order: an option's
// value is the next argument, or follows '=' in the same one. Help as soon as
// --help (-h, /?) comes; Error, with the reason in *error, at an unknown
// option or a missing or unfit value.
TxSimCommandLine TxSimParseCommandLine(int argc, const char* const* argv, TxSimOptions* options,
                                       std::string* error);
// The text txsim --help prints.
std::string TxSimUsage();
