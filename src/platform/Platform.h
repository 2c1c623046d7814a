// Platform.h - the one header through which the gateway reaches the operating
// system. win32/*.cpp implement it with the Windows interfaces and
// posix/*.cpp give the same behaviour on Linux, one file per concern with the
// same name on both sides (Crypto, Files, Keys, Service, Settings, Sockets,
// Sync, System, Threads, Tls). No OS type leaks out: sockets are a PlatformSocket number,
// kernel objects are opaque pointers.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Errors

// Every error code the platform layer gives is the system's own: a Win32
// code on Windows, an errno value elsewhere, so that PlatformErrorSentence
// always says what happened.

// What a second writer gets (ERROR_SHARING_VIOLATION, EWOULDBLOCK).
extern const int PlatformSharingViolation;
// The code for a file that does not exist, the same on both platforms
// (ERROR_FILE_NOT_FOUND, ENOENT).
constexpr int PlatformFileNotFound = 2;

// The calling thread's last system error (GetLastError / errno).
int PlatformLastError();

// The system's one-line sentence for an error code, without a line end.
// Returns false when the system has no text for the code.
bool PlatformErrorSentence(int code, char* out, size_t size);

// ---------------------------------------------------------------------------
// Console, time, process

void PlatformSleepMs(unsigned ms);

// Writes text to the console (standard output) in one piece, without holding
// the C library's stream lock, so many threads' lines neither mix nor queue
// behind each other.
void PlatformConsoleWrite(const char* text, size_t size);

// Local date in the system locale's short form and local 24-hour time with
// seconds, both for the log line.
void PlatformLocalDateTime(char* date, size_t dateSize, char* time, size_t timeSize);

// The local wall-clock time to the millisecond, with its offset from UTC.
struct PlatformLocalTime {
    int year, month, day; // month and day from 1
    int hour, minute, second, millisecond;
    int utcOffsetMinutes; // local time minus UTC
};
void PlatformLocalNow(PlatformLocalTime* out);

// Milliseconds since 1970-01-01 UTC, and monotonic millisecond and
// microsecond clocks.
int64_t PlatformUtcMilliseconds();
int64_t PlatformMonotonicMs();
int64_t PlatformMonotonicUs();

// Full path of the running executable. Returns false if it cannot be read.
bool PlatformExecutablePath(char* out, size_t size);

// The account the process runs under. Returns false if it cannot be read.
bool PlatformUserName(char* out, size_t size);

// Refuses Windows 95 and anything older than NT 4.0; always true elsewhere.
bool PlatformIsSupportedSystem();

// Raises the soft limit on open descriptors to the hard limit where the
// system has one (Linux) and returns the limit now in force; -1 where there
// is no such limit (Windows).
long PlatformRaiseDescriptorLimit();

// ---------------------------------------------------------------------------
// Random bytes and keyed hashes

// Fills buffer with size bytes from the system's cryptographic random source
// (getrandom, BCryptGenRandom). False on failure.
bool PlatformRandomBytes(void* buffer, size_t size);

// HMAC-SHA-256 of data under key into out, PlatformHmacSize bytes. False on
// failure. Safe from any thread at once, and cheap enough to call for every
// sale: nothing is opened or fetched per call.
constexpr size_t PlatformHmacSize = 32;
bool PlatformHmacSha256(const void* key, size_t keySize, const void* data, size_t size,
                        unsigned char* out);

// ---------------------------------------------------------------------------
// Key files: a few secret bytes kept beside the executable for the gateway
// alone. Linux: the bytes themselves, in a file of mode 0600 owned by the
// process's account. Windows: a DPAPI blob of machine scope, in a file whose
// protected DACL lets only SYSTEM and Administrators in.

enum class PlatformKeyFileResult {
    Ok,
    Missing,      // no such file (*error PlatformFileNotFound)
    Exists,       // creating: the file is there already and was left as it is
    OpenToOthers, // reading, Linux: group or world may reach it; *error = its permission bits
    OtherOwner,   // reading, Linux: another account owns it; *error = that account's id
    Damaged,      // not a key of the size asked for; *error 0, or DPAPI's code
    Failed,       // *error = the system's code
};

// Creates the file holding exactly size bytes of key, on stable storage with
// its directory entry, and published whole: a reader never finds it half
// written, and of two processes creating it at once one gets Exists.
PlatformKeyFileResult PlatformCreateKeyFile(const char* path, const void* key, size_t size,
                                            int* error);
// Reads exactly size bytes of key into out. Never changes the file or its
// permissions. On anything but Ok, out is left zeroed.
PlatformKeyFileResult PlatformReadKeyFile(const char* path, void* out, size_t size, int* error);

// ---------------------------------------------------------------------------
// Settings (INI) files, with the Windows profile-function rules everywhere:
// section and key names match without regard to letter case, white space
// around names and values is ignored, and a missing file, section, key or
// empty value gives the default.

int PlatformProfileInt(const char* section, const char* key, int defaultValue, const char* path);

// The letter case rule of settings names, and of the paths and command words
// the gateway matches: ASCII only, whatever the locale.
char PlatformAsciiLower(char c);
bool PlatformEqualIgnoringCase(const char* a, size_t aLength, const char* b, size_t bLength);
bool PlatformEqualIgnoringCase(const char* a, const char* b);
// Copies the value, cut to size - 1 bytes; returns its length.
size_t PlatformProfileString(const char* section, const char* key, const char* defaultValue,
                             char* out, size_t size, const char* path);

// One line of a settings file as the profile rules take it. Lines are read
// the way fgets with a 4,096-byte buffer delivers them: a longer line comes
// in pieces, each with the line's number, and a line ends at its first zero
// byte. Blanks around the line, names and values are trimmed, and a value in
// matching quotes comes without them. Empty lines and comments (";") are not
// reported. The texts point into the caller's data or the reader's own
// memory and last only for the call.
struct PlatformSettingsLine {
    int number; // from 1
    enum Kind { Section, Entry, Other } kind;
    const char* text; // the whole line, trimmed
    size_t textLength;
    // Section: its name, and whether the "]" was there. Entry: the key and
    // its value.
    const char* name;
    size_t nameLength;
    const char* value;
    size_t valueLength;
    bool closed;
};
using PlatformSettingsLineProc = void (*)(const PlatformSettingsLine& line, void* context);
void PlatformReadSettingsLines(const char* data, size_t size, PlatformSettingsLineProc proc,
                               void* context);

// ---------------------------------------------------------------------------
// Files opened for one writer at a time: read and write access, others may
// only read. A second writer's open fails with PlatformSharingViolation.

struct PlatformFile;

// Opens (creating if missing, never truncating). Null on failure, with the
// code in *error. When created is given it tells whether this open made the
// file.
PlatformFile* PlatformOpenForUpdate(const char* path, int* error, bool* created = nullptr);
// Read/write at an absolute offset; -1 on failure.
long PlatformFileReadAt(PlatformFile* file, long offset, void* buffer, size_t size);
long PlatformFileWriteAt(PlatformFile* file, long offset, const void* data, size_t size);
bool PlatformFileSetSize(PlatformFile* file, long size);
// The file's size in bytes; -1 on failure.
long PlatformFileSize(PlatformFile* file);
// Returns once the file's data is on stable storage (fdatasync,
// FlushFileBuffers); false on failure.
bool PlatformFileFlush(PlatformFile* file);
bool PlatformFileClose(PlatformFile* file);

// Makes the entry of a file just created durable in its directory: an fsync
// of the directory on Linux; Windows needs no such step. False on failure.
bool PlatformFlushDirectoryOf(const char* path);

// Calls proc with the name of every entry of a directory but "." and "..".
// False when the directory cannot be read.
using PlatformNameProc = void (*)(const char* name, void* context);
bool PlatformListDirectory(const char* directory, PlatformNameProc proc, void* context);
// Deletes a file (never a directory). False on failure.
bool PlatformDeleteFile(const char* path);

// Appends text to a file under the same one-writer rule, creating it if
// missing. Line ends are written the platform's text-file way (CR LF on
// Windows). Returns 0, or the error code of the failed step.
int PlatformAppendText(const char* path, const char* text, size_t size);

// Reads up to size bytes from the start of an existing file, for reading
// only: never creates it, and neither waits for nor holds off a writer.
// Returns the byte count, or -1 with the error code in *error.
long PlatformReadFileHead(const char* path, void* buffer, size_t size, int* error);

// ---------------------------------------------------------------------------
// Events, the transaction lock and threads

struct PlatformEvent; // manual-reset event
struct PlatformMutex; // the transaction lock

PlatformEvent* PlatformCreateEvent();
void PlatformSetEvent(PlatformEvent* event);
bool PlatformEventIsSet(PlatformEvent* event);

// A lock shared by every gateway of the machine under that name on Windows;
// on Linux it is process-wide.
PlatformMutex* PlatformCreateMutex(const char* name);
void PlatformReleaseMutex(PlatformMutex* mutex);

enum class PlatformWaitResult { Event, Mutex, Timeout, Failed };

// Waits until the event is set or the mutex is ours, at most timeoutMs.
// When both are ready the event wins and the mutex is not taken.
PlatformWaitResult PlatformWaitEventOrMutex(PlatformEvent* event, PlatformMutex* mutex,
                                            unsigned timeoutMs);

using PlatformThreadProc = unsigned (*)(void* parameter);

// Starts a detached thread with the given stack size. False if it could not.
bool PlatformStartThread(PlatformThreadProc proc, void* parameter, size_t stackSize);

// A thread that is waited for: started, then joined exactly once.
struct PlatformThread;
// Null if it could not be started.
PlatformThread* PlatformStartJoinableThread(PlatformThreadProc proc, void* parameter,
                                            size_t stackSize);
// Waits until the thread has ended, then frees it.
void PlatformJoinThread(PlatformThread* thread);

// ---------------------------------------------------------------------------
// TCP sockets (IPv4)

using PlatformSocket = uintptr_t;
constexpr PlatformSocket PlatformNoSocket = ~PlatformSocket(0);

// The error code for "address in use" on this platform (10048 or EADDRINUSE).
extern const int PlatformErrorAddressInUse;
// The error code for a port the account may not bind (10013 or EACCES).
extern const int PlatformErrorAccessDenied;
// The error code of a connect that ran out of time (10060 or ETIMEDOUT).
extern const int PlatformErrorTimedOut;
// The error of an accept with no connection waiting, or of a receive with
// nothing there, on a socket that does not block.
extern const int PlatformErrorWouldBlock;

// Starts and stops the socket library (Windows Sockets); no-ops elsewhere.
bool PlatformSocketStartup();
void PlatformSocketCleanup();

// The calling thread's last socket error.
int PlatformSocketError();

PlatformSocket PlatformTcpSocket();
void PlatformCloseSocket(PlatformSocket socket);
bool PlatformSetKeepAlive(PlatformSocket socket);
// Connects to a dotted IPv4 address (no name lookup). 0, or the error code.
int PlatformConnect(PlatformSocket socket, const char* dottedAddress, unsigned short port);
// The same, giving up after timeoutMs with PlatformErrorTimedOut. The socket
// is left blocking, as PlatformConnect leaves it.
int PlatformConnectWithin(PlatformSocket socket, const char* dottedAddress, unsigned short port,
                          int timeoutMs);

// Binds to the address (null: all local addresses) without letting a second
// live listener share the port. 0, or the error code.
int PlatformBind(PlatformSocket socket, const char* dottedAddress, unsigned short port);
// 0, or the error code.
int PlatformListen(PlatformSocket socket, int backlog);
// The port a bound socket has (for listeners bound to port 0).
unsigned short PlatformLocalPort(PlatformSocket socket);

// Accepts one connection as a blocking socket and writes the peer's dotted
// address (at most 15 characters) into peer. PlatformNoSocket on failure.
PlatformSocket PlatformAccept(PlatformSocket listener, char* peer, size_t peerSize);

// Like PlatformAccept, but the socket does not block, for the listener of a
// wait set (PlatformCreateWaitSet): a receive with nothing there fails at once with
// PlatformErrorWouldBlock, and a response of a few kilobytes on a fresh
// connection always fits into its send buffer.
PlatformSocket PlatformAcceptNonBlocking(PlatformSocket listener, char* peer, size_t peerSize);

// Like send() but never raises a signal on a closed peer. -1 on failure.
long PlatformSend(PlatformSocket socket, const void* data, size_t size);
// Like recv(). -1 on failure, 0 when the peer has closed (or size is 0).
long PlatformRecv(PlatformSocket socket, void* buffer, size_t size);
// Ends our sending side; the peer then reads end of stream.
void PlatformShutdownSend(PlatformSocket socket);

// Receives once, waiting at most timeoutMs for something to read: the byte
// count, 0 when the peer has closed, -1 on failure, PlatformTimedOut when
// nothing came in time. Bytes already there are taken without a wait.
constexpr long PlatformTimedOut = -2;
long PlatformRecvWithin(PlatformSocket socket, void* buffer, size_t size, int timeoutMs);

// Waits until the socket is readable: 1 readable, 0 time-out, -1 failure.
// timeoutMs < 0 waits without limit.
int PlatformWaitReadable(PlatformSocket socket, int timeoutMs);

// Waits for a connection on a listening socket or the event, with no time
// limit and no polling: 1 a connection is waiting, 0 the event is set,
// -1 the wait failed.
int PlatformWaitAcceptOrEvent(PlatformSocket listener, PlatformEvent* event);

// The listener's wait set: its listening socket, the stop event and the
// accepted sockets still waiting for their first bytes, watched by one thread
// (epoll on Linux, an event selection on Windows).
struct PlatformWaitSet;

// Null on failure.
PlatformWaitSet* PlatformCreateWaitSet(PlatformSocket listener, PlatformEvent* event);
void PlatformDestroyWaitSet(PlatformWaitSet* set);

// Watches an accepted socket until it turns readable (bytes, end of stream or
// an error); it is then reported once with its tag (never null) and no longer
// watched. False if it cannot be watched.
bool PlatformWatchSocket(PlatformWaitSet* set, PlatformSocket socket, void* tag);
// Stops watching a socket that was not reported, before it is closed.
void PlatformUnwatchSocket(PlatformWaitSet* set, PlatformSocket socket);

struct PlatformWaitSetReport {
    bool eventSet;          // the stop event is set
    bool connectionWaiting; // the listener has a connection to accept
    int readyCount;         // tags stored in the caller's array
};

// Waits until one of the three has something, at most timeoutMs (< 0: no
// limit), and stores the tags of up to maxReady sockets that turned readable
// in ready. False when the wait itself failed.
bool PlatformWaitSetWait(PlatformWaitSet* set, int timeoutMs, void** ready, int maxReady,
                         PlatformWaitSetReport* report);

// Resolves a host name or dotted address to dotted IPv4 text.
bool PlatformResolveIPv4(const char* host, char* out, size_t size);

// ---------------------------------------------------------------------------
// TLS client sessions over a connected socket: OpenSSL on Linux, Schannel on
// Windows. TLS 1.2 at least; the chain, the name and, when pinned, the leaf
// certificate's SHA-256 are all checked before the first application byte.

struct PlatformTls; // one client session over a connected socket

enum class PlatformTlsResult {
    Ok,
    NotTrusted,          // the chain does not lead to a trusted CA
    NameMismatch,        // the certificate does not carry the expected name or IP address
    Expired,             // the leaf (or a chain) certificate is past its notAfter
    NotYetValid,         // before its notBefore
    FingerprintMismatch, // the leaf certificate's SHA-256 differs from the pinned one
    OldProtocol,         // the server offers nothing of TLS 1.2 or later
    // Our client certificate, judged before a byte goes out:
    ClientCertificateNotFound, // a file is missing; Windows: no such SHA-256 in the store
    ClientCertificateUnusable, // unreadable, or no certificate or private key in it; *error
    ClientKeyExposed,          // the key file is open to group or others
    ClientKeyEncrypted,        // the key file needs a passphrase
    ClientKeyMismatch,         // the private key is not the certificate's
    ClientCertificateExpired,  // past its notAfter, or the server said so
    // The server asked for a client certificate and ended the session over
    // it: none was configured, or it refused ours.
    ClientCertificateRequired,
    Failed, // anything else: closed, reset, garbage, time-out; *error says which. Always last.
};

struct PlatformTlsConfig {
    // Full path of a PEM file of trusted CA certificates, which are then the
    // only ones trusted; null or empty: the system's store (the Windows ROOT
    // store, OpenSSL's default paths).
    const char* caFile;
    // A dotted IPv4 address is matched against the certificate's IP-address
    // subjectAltNames; anything else is a DNS name, checked as a host name and
    // sent as SNI. Null or empty: the name is not checked.
    const char* expectedName;
    // 32 bytes, or null. When given, the leaf must match as well as pass the
    // chain and name checks.
    const unsigned char* pinnedSha256;
    int timeoutMs; // for the whole handshake
    // The client certificate, sent when the server asks for one and only
    // then; without one a server that asks gets an empty answer. Linux: a
    // PEM file of the certificate followed by its chain, and a PEM file of
    // its private key, unencrypted and open to its owner alone (null or
    // empty: the key is in the certificate file). Windows: the SHA-256 of a
    // certificate in the local machine's "My" store, which holds its private
    // key (32 bytes, or null). Each platform ignores the other's.
    const char* clientCertificateFile = nullptr;
    const char* clientKeyFile = nullptr;
    const unsigned char* clientCertificateSha256 = nullptr;
};

// What the handshake saw, for the check command and metrics. The certificate
// fields are filled whenever a certificate came, even on a refusal; the texts
// are empty when unknown.
struct PlatformTlsPeer {
    char protocol[16]; // "TLSv1.2", "TLSv1.3"
    char cipher[64];   // the cipher suite's IANA name, e.g. "TLS_AES_256_GCM_SHA384"
    char subject[256]; // the leaf's subject, RDNs in encoded order: "O=Example, CN=txserver"
    char issuer[256];
    int64_t notAfterUtcSeconds;
    unsigned char sha256[32]; // of the leaf certificate's DER
    bool haveCertificate;
    // The server asked for a client certificate, and ours went out (not an
    // empty answer). Schannel under TLS 1.3 tells only of one that went out.
    bool clientCertificateRequested;
    bool clientCertificateSent;
};

// The client certificate's facts, for the check command and metrics.
struct PlatformTlsClientCertificate {
    char subject[256]; // as PlatformTlsPeer's
    char issuer[256];
    int64_t notAfterUtcSeconds;
    unsigned char sha256[32]; // of its DER
    bool haveCertificate;     // false: none configured, or it could not be read
};

// Makes the handshake over a connected, blocking socket, which it leaves
// blocking; sends nothing but the handshake. On Ok, *session is the new
// session. On any other result nothing is left to free; for Failed, *error
// is the socket or system error (104 or 10054 for a reset,
// PlatformErrorTimedOut for the time limit, 0 when the peer simply closed;
// EPROTO on Linux or the SECURITY_STATUS on Windows for a TLS failure).
// peer may be null.
PlatformTlsResult PlatformTlsConnect(PlatformSocket socket, const PlatformTlsConfig& config,
                                     PlatformTls** session, PlatformTlsPeer* peer, int* error);
// Loads the client certificate that config names, as PlatformTlsConnect
// does before its handshake, without a server: Ok (also when none is named;
// facts->haveCertificate is false then) or the Client... result that refuses
// the connection, with *error set for NotFound and Unusable. facts (may be
// null) is filled whenever the certificate itself could be read.
PlatformTlsResult PlatformTlsLoadClientCertificate(const PlatformTlsConfig& config,
                                                   PlatformTlsClientCertificate* facts, int* error);
// Reads a private key file the way PlatformTlsConnect reads clientKeyFile:
// Ok, ClientKeyExposed, ClientKeyEncrypted, or ClientCertificateNotFound or
// ClientCertificateUnusable with *error. For judging the file without a
// certificate or a server. Windows takes no key file: always Ok there.
PlatformTlsResult PlatformTlsCheckKeyFile(const char* path, int* error);
// After a send or receive failed or found the session ended:
// ClientCertificateRequired or ClientCertificateExpired when the server
// ended it by refusing our client certificate (or the lack of one), else Ok.
// A TLS 1.3 server judges the certificate once our side of the handshake is
// done, so its refusal comes with the first receive after a send; nothing
// that was sent has been taken then.
PlatformTlsResult PlatformTlsRefusal(PlatformTls* session);
// Encrypts and sends all of data: size, or -1 (the code via PlatformSocketError()).
long PlatformTlsSend(PlatformTls* session, const void* data, size_t size);
// Receives decrypted bytes, waiting at most timeoutMs (0: no wait, < 0: no
// limit). Bytes already decrypted or received are returned without a wait.
// The count; 0 when the server ended the session (close_notify or a TCP
// close); -1 on failure with PlatformSocketError() set (a reset gives the
// code plain TCP gives); PlatformTimedOut when no application byte came in
// time. Records without application data (TLS 1.3 tickets, key updates)
// never hold a call past its limit.
long PlatformTlsRecvWithin(PlatformTls* session, void* buffer, size_t size, int timeoutMs);
// Sends close_notify if that can be done without waiting, then frees the
// session. The socket stays open: it is the caller's to close.
void PlatformTlsClose(PlatformTls* session);

// Reads a PEM file of CA certificates the way PlatformTlsConnect reads
// caFile: the number of certificates in it, or 0 with *error set when it
// cannot be read or holds none. For judging the file without a server.
int PlatformTlsCountCaFile(const char* path, int* error);

// ---------------------------------------------------------------------------
// Service control manager and console stop keys

// Service states and the one control the gateway acts on, as the Windows
// service control manager numbers them.
constexpr unsigned PlatformServiceStopped = 1;
constexpr unsigned PlatformServiceStartPending = 2;
constexpr unsigned PlatformServiceStopPending = 3;
constexpr unsigned PlatformServiceRunning = 4;
constexpr unsigned PlatformServiceControlStop = 1;
constexpr unsigned PlatformServiceAcceptStop = 1;

using PlatformServiceMainProc = void (*)(int argc, char** argv);
using PlatformServiceCtrlProc = void (*)(unsigned control);
// Returns true for a handled console event (0 Ctrl+C, 1 Ctrl+Break).
using PlatformConsoleCtrlProc = bool (*)(unsigned event);

// Hands the calling thread to the service control dispatcher with one entry.
bool PlatformStartServiceDispatcher(const char* serviceName, PlatformServiceMainProc proc);
// Registers the control handler; false on failure.
bool PlatformRegisterServiceCtrlHandler(const char* serviceName, PlatformServiceCtrlProc proc);
// Reports an own-process service's status through the registered handle.
bool PlatformSetServiceStatus(unsigned state, unsigned controlsAccepted, unsigned exitCode,
                              unsigned checkPoint, unsigned waitHint);

struct PlatformServiceHandle;

// SC_MANAGER_ALL_ACCESS on the local machine. Null on failure (last error set).
PlatformServiceHandle* PlatformOpenServiceManager();
// An own-process, interactive, auto-start, LocalSystem service with normal
// error control. Null on failure (last error set).
PlatformServiceHandle* PlatformCreateService(PlatformServiceHandle* manager, const char* name,
                                             const char* displayName, const char* commandLine);
PlatformServiceHandle* PlatformOpenService(PlatformServiceHandle* manager, const char* name);
bool PlatformDeleteService(PlatformServiceHandle* service);
// Sets the description and restarts the service restartDelayMs after a crash.
bool PlatformConfigureServiceRecovery(PlatformServiceHandle* service, const char* description,
                                      unsigned restartDelayMs);
// True when the service has failure actions already. False when it has none
// or they cannot be read (last error set then).
bool PlatformServiceHasRecovery(PlatformServiceHandle* service);
void PlatformCloseServiceHandle(PlatformServiceHandle* handle);

// Calls proc for Ctrl+C and Ctrl+Break (on Linux: SIGINT and SIGTERM, from a
// thread of its own, never from a signal handler).
bool PlatformSetConsoleCtrlHandler(PlatformConsoleCtrlProc proc);

// ---------------------------------------------------------------------------
// Event Log (Windows) and the service manager's notify protocol (systemd)

enum class PlatformEventType { Information, Warning, Error };

// Registers an Event Log source: the key
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> with
// EventMessageFile = messageFile (REG_EXPAND_SZ when it holds a %variable%,
// else REG_SZ) and TypesSupported = 7. 0, or the system error code.
// Linux: 0, nothing done.
int PlatformAddEventSource(const char* source, const char* messageFile);
// Deletes that key. 0 (also when it did not exist), or the error code.
// Linux: 0.
int PlatformRemoveEventSource(const char* source);
// Reports one event with text as its only insertion string (%1), under the
// executable's message-table id for its type. The source's handle is
// registered once and kept for the process (safe from any thread). False on
// failure. Linux: true, nothing done.
bool PlatformReportEvent(const char* source, PlatformEventType type, const char* text);

// Sends state ("READY=1", "STOPPING=1", "STATUS=...", "WATCHDOG=1") as one
// datagram to the AF_UNIX socket named by $NOTIFY_SOCKET (a path, or an
// abstract address when it starts with '@'), without blocking; each call
// opens and closes its own socket. True, doing nothing, when the variable is
// absent or empty, and on Windows; false when a send was tried and failed.
bool PlatformNotifyServiceManager(const char* state);
// Half the watchdog interval the service manager asks for ($WATCHDOG_USEC,
// for this process only when $WATCHDOG_PID is set), in milliseconds; 0 when
// there is none, and on Windows.
int64_t PlatformWatchdogPingIntervalMs();
