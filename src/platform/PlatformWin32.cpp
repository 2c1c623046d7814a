// PlatformWin32.cpp - the platform layer over the Windows interfaces: kernel32
// files, profile files, events, mutexes and threads; Windows Sockets 2 from
// ws2_32; the service control manager from advapi32. Kernel objects are kept
// in small structs so that no HANDLE or SC_HANDLE leaves this file.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "platform/Platform.h"

#include <cstdio>
#include <cstring>
#include <new>

struct PlatformFile {
    HANDLE handle;
};

struct PlatformEvent {
    HANDLE handle;
};

struct PlatformMutex {
    HANDLE handle;
};

struct PlatformServiceHandle {
    SC_HANDLE handle;
};

extern const int PlatformErrorAddressInUse = WSAEADDRINUSE;

// Copies text into a caller's buffer, cut to size - 1 bytes. False when the
// buffer has no room at all or the text had to be cut.
static bool WinCopyText(const char* text, char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    size_t length = std::strlen(text);
    bool whole = length < size;
    if (!whole)
        length = size - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return whole;
}

static DWORD WinClampSize(size_t size) {
    return size > 0x7fffffff ? DWORD(0x7fffffff) : DWORD(size);
}

// ---------------------------------------------------------------------------
// Errors

int PlatformLastError() {
    return int(GetLastError());
}

void PlatformSetLastError(int code) {
    SetLastError(DWORD(code));
}

bool PlatformErrorSentence(int code, char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    out[0] = '\0';
    char text[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, DWORD(code), 0, text, sizeof text, nullptr);
    if (length == 0)
        return false;
    // The system text ends with CR LF; callers want the sentence alone.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    text[length] = '\0';
    WinCopyText(text, out, size);
    return true;
}

// ---------------------------------------------------------------------------
// Console, time, process

void PlatformSleepMs(unsigned ms) {
    Sleep(ms);
}

void PlatformConsoleWrite(const char* text, size_t size) {
    // The console's own stream keeps the CR LF translation of text mode.
    fwrite(text, 1, size, stdout);
    fflush(stdout);
}

void PlatformLocalDateTime(char* date, size_t dateSize, char* time, size_t timeSize) {
    const LCID systemDefault = 0x0800; // LOCALE_SYSTEM_DEFAULT
    if (date != nullptr && dateSize > 0 &&
        GetDateFormatA(systemDefault, DATE_SHORTDATE, nullptr, nullptr, date,
                       int(WinClampSize(dateSize))) == 0)
        date[0] = '\0';
    if (time != nullptr && timeSize > 0 &&
        GetTimeFormatA(systemDefault, TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, nullptr, nullptr,
                       time, int(WinClampSize(timeSize))) == 0)
        time[0] = '\0';
}

int64_t PlatformUtcMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    // FILETIME counts 100 ns steps from 1601-01-01; 1970 is this many later.
    const uint64_t unixEpoch = 116444736000000000ULL;
    return int64_t((ticks.QuadPart - unixEpoch) / 10000);
}

// The performance counter rather than GetTickCount64, whose 10-16 ms steps
// are too coarse for the short waits measured with this clock.
int64_t PlatformMonotonicMs() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return int64_t(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    int64_t ticks = int64_t(now.QuadPart);
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

bool PlatformExecutablePath(char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    DWORD length = GetModuleFileNameA(nullptr, out, WinClampSize(size));
    // A full buffer means the path was cut (and, on old systems, not ended).
    if (length == 0 || length >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool PlatformUserName(char* out, size_t size) {
    if (out == nullptr || size == 0)
        return false;
    DWORD length = WinClampSize(size);
    if (!GetUserNameA(out, &length)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool PlatformIsSupportedSystem() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version; // 148
    // A failed query leaves the fields zero, which counts as too old.
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return false;
    return version.dwMajorVersion >= 4;
}

// ---------------------------------------------------------------------------
// Settings (INI) files

// Settings are read on every request so that edits apply at once. Some
// implementations of the profile functions keep a parsed copy and trust the
// file's modification time, which misses an edit that keeps the old time
// (a copy that preserves dates, a file renamed over the old one). The
// documented flush (all three names null) drops that copy; it writes nothing.
static void WinForgetParsedProfile(const char* path) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path);
}

int PlatformProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    WinForgetParsedProfile(path);
    return int(GetPrivateProfileIntA(section, key, defaultValue, path));
}

size_t PlatformProfileString(const char* section, const char* key, const char* defaultValue,
                             char* out, size_t size, const char* path) {
    if (out == nullptr || size == 0)
        return 0;
    const char* fallback = defaultValue != nullptr ? defaultValue : "";
    WinForgetParsedProfile(path);
    size_t length = GetPrivateProfileStringA(section, key, fallback, out, WinClampSize(size), path);
    // The system hands back a present but empty value as it is; the gateway
    // treats it like a missing key.
    if (length == 0 && fallback[0] != '\0') {
        WinCopyText(fallback, out, size);
        length = std::strlen(out);
    }
    return length;
}

// ---------------------------------------------------------------------------
// One-writer files

// Read and write access, others may only read: a second writer, in this
// process or another, fails with ERROR_SHARING_VIOLATION.
static HANDLE WinOpenOneWriter(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static bool WinSeek(HANDLE handle, LONGLONG offset, DWORD method) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(handle, distance, nullptr, method) != 0;
}

// Like WriteFile but keeps writing until everything is out.
static bool WinWriteAll(HANDLE handle, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, WinClampSize(size), &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

PlatformFile* PlatformOpenForUpdate(const char* path, int* error) {
    HANDLE handle = WinOpenOneWriter(path);
    if (handle == INVALID_HANDLE_VALUE) {
        if (error != nullptr)
            *error = int(GetLastError());
        return nullptr;
    }
    PlatformFile* file = new (std::nothrow) PlatformFile{handle};
    if (file == nullptr) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (error != nullptr)
            *error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return file;
}

long PlatformFileReadAt(PlatformFile* file, long offset, void* buffer, size_t size) {
    if (file == nullptr || offset < 0 || !WinSeek(file->handle, offset, FILE_BEGIN))
        return -1;
    DWORD got = 0;
    if (!ReadFile(file->handle, buffer, WinClampSize(size), &got, nullptr))
        return -1;
    return long(got);
}

long PlatformFileWriteAt(PlatformFile* file, long offset, const void* data, size_t size) {
    if (file == nullptr || offset < 0 || !WinSeek(file->handle, offset, FILE_BEGIN))
        return -1;
    if (!WinWriteAll(file->handle, static_cast<const char*>(data), size))
        return -1;
    return long(size);
}

bool PlatformFileSetSize(PlatformFile* file, long size) {
    if (file == nullptr || size < 0 || !WinSeek(file->handle, size, FILE_BEGIN))
        return false;
    return SetEndOfFile(file->handle) != 0;
}

bool PlatformFileClose(PlatformFile* file) {
    if (file == nullptr)
        return false;
    bool closed = CloseHandle(file->handle) != 0;
    delete file;
    return closed;
}

int PlatformAppendText(const char* path, const char* text, size_t size) {
    HANDLE handle = WinOpenOneWriter(path);
    if (handle == INVALID_HANDLE_VALUE)
        return int(GetLastError());
    int result = 0;
    if (!WinSeek(handle, 0, FILE_END)) {
        result = int(GetLastError());
    } else {
        // Text mode, as the run-time library writes it: every LF becomes CR LF.
        char chunk[1024];
        size_t used = 0;
        for (size_t i = 0; i < size && result == 0; ++i) {
            if (text[i] == '\n')
                chunk[used++] = '\r';
            chunk[used++] = text[i];
            if (used >= sizeof chunk - 1 || i + 1 == size) {
                if (!WinWriteAll(handle, chunk, used))
                    result = int(GetLastError());
                used = 0;
            }
        }
    }
    if (!CloseHandle(handle) && result == 0)
        result = int(GetLastError());
    return result;
}

// ---------------------------------------------------------------------------
// Events, the transaction lock and threads

PlatformEvent* PlatformCreateEvent() {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr)
        return nullptr;
    PlatformEvent* event = new (std::nothrow) PlatformEvent{handle};
    if (event == nullptr)
        CloseHandle(handle);
    return event;
}

void PlatformSetEvent(PlatformEvent* event) {
    if (event != nullptr)
        SetEvent(event->handle);
}

bool PlatformEventIsSet(PlatformEvent* event) {
    return event != nullptr && WaitForSingleObject(event->handle, 0) == WAIT_OBJECT_0;
}

PlatformMutex* PlatformCreateMutex(const char* name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name);
    if (handle == nullptr)
        return nullptr;
    PlatformMutex* mutex = new (std::nothrow) PlatformMutex{handle};
    if (mutex == nullptr)
        CloseHandle(handle);
    return mutex;
}

void PlatformReleaseMutex(PlatformMutex* mutex) {
    if (mutex != nullptr)
        ReleaseMutex(mutex->handle);
}

PlatformWaitResult PlatformWaitEventOrMutex(PlatformEvent* event, PlatformMutex* mutex,
                                            unsigned timeoutMs) {
    if (event == nullptr || mutex == nullptr)
        return PlatformWaitResult::Failed;
    // The event is listed first, so when both are ready the wait reports the
    // event and leaves the mutex alone.
    HANDLE handles[2] = {event->handle, mutex->handle};
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    switch (result) {
    case WAIT_OBJECT_0:
        return PlatformWaitResult::Event;
    case WAIT_OBJECT_0 + 1:
    case WAIT_ABANDONED_0 + 1: // a holder ended without releasing: ours now
        return PlatformWaitResult::Mutex;
    case WAIT_TIMEOUT:
        return PlatformWaitResult::Timeout;
    default:
        return PlatformWaitResult::Failed;
    }
}

namespace {
struct WinThreadStart {
    PlatformThreadProc proc;
    void* parameter;
};
} // namespace

static DWORD WINAPI WinThreadTrampoline(LPVOID raw) {
    WinThreadStart start = *static_cast<WinThreadStart*>(raw);
    delete static_cast<WinThreadStart*>(raw);
    return start.proc(start.parameter);
}

bool PlatformStartThread(PlatformThreadProc proc, void* parameter, size_t stackSize) {
    WinThreadStart* start = new (std::nothrow) WinThreadStart{proc, parameter};
    if (start == nullptr)
        return false;
    HANDLE thread = CreateThread(nullptr, stackSize, WinThreadTrampoline, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    // Connection threads are never joined.
    CloseHandle(thread);
    return true;
}

// ---------------------------------------------------------------------------
// TCP sockets

bool PlatformSocketStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void PlatformSocketCleanup() {
    WSACleanup();
}

int PlatformSocketError() {
    return WSAGetLastError();
}

PlatformSocket PlatformTcpSocket() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? PlatformNoSocket : PlatformSocket(s);
}

void PlatformCloseSocket(PlatformSocket socket) {
    if (socket != PlatformNoSocket)
        closesocket(SOCKET(socket));
}

bool PlatformSetKeepAlive(PlatformSocket socket) {
    BOOL on = TRUE;
    return setsockopt(SOCKET(socket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

static sockaddr_in WinAddress(const char* dottedAddress, unsigned short port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = dottedAddress != nullptr ? inet_addr(dottedAddress) : INADDR_ANY;
    return address;
}

int PlatformConnect(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    sockaddr_in address = WinAddress(dottedAddress, port);
    if (connect(SOCKET(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return WSAGetLastError();
    return 0;
}

int PlatformBind(PlatformSocket socket, const char* dottedAddress, unsigned short port) {
    // No SO_REUSEADDR: on Windows it would let a second listener take over a
    // port that is in use instead of failing with WSAEADDRINUSE.
    sockaddr_in address = WinAddress(dottedAddress, port);
    if (bind(SOCKET(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return WSAGetLastError();
    return 0;
}

int PlatformListen(PlatformSocket socket, int backlog) {
    if (listen(SOCKET(socket), backlog) != 0)
        return WSAGetLastError();
    return 0;
}

unsigned short PlatformLocalPort(PlatformSocket socket) {
    sockaddr_in address;
    int length = sizeof address;
    if (getsockname(SOCKET(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

PlatformSocket PlatformAccept(PlatformSocket listener, char* peer, size_t peerSize) {
    sockaddr_in address;
    int length = sizeof address;
    SOCKET s = accept(SOCKET(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET)
        return PlatformNoSocket;
    // An accepted socket inherits the listener's event selection and with it
    // non-blocking mode; connection threads expect a plain blocking socket.
    u_long nonBlocking = 0;
    if (WSAEventSelect(s, nullptr, 0) != 0 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return PlatformNoSocket;
    }
    const char* text = inet_ntoa(address.sin_addr);
    if (text == nullptr) {
        closesocket(s);
        return PlatformNoSocket;
    }
    if (peer != nullptr)
        WinCopyText(text, peer, peerSize);
    return PlatformSocket(s);
}

long PlatformSend(PlatformSocket socket, const void* data, size_t size) {
    // Windows raises no signal for a closed peer; send simply fails.
    int sent = send(SOCKET(socket), static_cast<const char*>(data), int(WinClampSize(size)), 0);
    return sent == SOCKET_ERROR ? -1 : long(sent);
}

long PlatformRecv(PlatformSocket socket, void* buffer, size_t size) {
    if (size == 0)
        return 0;
    int got = recv(SOCKET(socket), static_cast<char*>(buffer), int(WinClampSize(size)), 0);
    return got == SOCKET_ERROR ? -1 : long(got);
}

long PlatformRecvWithin(PlatformSocket socket, void* buffer, size_t size, int timeoutMs) {
    int ready = PlatformWaitReadable(socket, timeoutMs);
    if (ready == 0)
        return PlatformTimedOut;
    if (ready < 0)
        return -1;
    return PlatformRecv(socket, buffer, size);
}

void PlatformShutdownSend(PlatformSocket socket) {
    shutdown(SOCKET(socket), SD_SEND);
}

int PlatformWaitReadable(PlatformSocket socket, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(socket), &readable);
    timeval limit;
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    int ready = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR)
        return -1;
    return ready > 0 ? 1 : 0;
}

int PlatformWaitAcceptOrEvent(PlatformSocket listener, PlatformEvent* event) {
    if (event == nullptr)
        return -1;
    WSAEVENT networkEvent = WSACreateEvent();
    if (networkEvent == WSA_INVALID_EVENT)
        return -1;
    int result = -1;
    // Selecting FD_ACCEPT signals at once when a connection is already
    // waiting, so nothing that arrived between two calls is missed.
    if (WSAEventSelect(SOCKET(listener), networkEvent, FD_ACCEPT) == 0) {
        HANDLE handles[2] = {networkEvent, event->handle};
        DWORD wait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) {
            // Clears the recorded FD_ACCEPT and resets the event object.
            WSANETWORKEVENTS happened;
            WSAEnumNetworkEvents(SOCKET(listener), networkEvent, &happened);
            result = 1;
        } else if (wait == WAIT_OBJECT_0 + 1) {
            result = 0;
        }
        // Drop the association before the event object goes; the listener
        // stays non-blocking, which PlatformAccept undoes for each connection.
        int error = WSAGetLastError();
        WSAEventSelect(SOCKET(listener), nullptr, 0);
        WSASetLastError(error);
    }
    WSACloseEvent(networkEvent);
    return result;
}

bool PlatformResolveIPv4(const char* host, char* out, size_t size) {
    if (host == nullptr || out == nullptr || size == 0)
        return false;
    // The run sequence resolves before the listener has started Windows
    // Sockets, so this holds its own reference for the look-up.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    bool ok = false;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
        for (addrinfo* entry = found; entry != nullptr && !ok; entry = entry->ai_next) {
            if (entry->ai_family != AF_INET || entry->ai_addr == nullptr)
                continue;
            const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            const char* text = inet_ntoa(address->sin_addr);
            ok = text != nullptr && WinCopyText(text, out, size);
        }
        freeaddrinfo(found);
    }
    WSACleanup();
    return ok;
}

// ---------------------------------------------------------------------------
// Service control manager and console stop keys

static PlatformServiceMainProc WinServiceMainProc;
static PlatformServiceCtrlProc WinServiceCtrlProc;
static PlatformConsoleCtrlProc WinConsoleCtrlProc;
static SERVICE_STATUS_HANDLE WinStatusHandle;

static void WINAPI WinServiceMain(DWORD argc, LPSTR* argv) {
    if (WinServiceMainProc != nullptr)
        WinServiceMainProc(int(argc), argv);
}

static void WINAPI WinServiceCtrl(DWORD control) {
    if (WinServiceCtrlProc != nullptr)
        WinServiceCtrlProc(control);
}

static BOOL WINAPI WinConsoleCtrl(DWORD event) {
    return WinConsoleCtrlProc != nullptr && WinConsoleCtrlProc(event) ? TRUE : FALSE;
}

bool PlatformStartServiceDispatcher(const char* serviceName, PlatformServiceMainProc proc) {
    WinServiceMainProc = proc;
    SERVICE_TABLE_ENTRYA table[2];
    table[0].lpServiceName = const_cast<char*>(serviceName);
    table[0].lpServiceProc = WinServiceMain;
    table[1].lpServiceName = nullptr;
    table[1].lpServiceProc = nullptr;
    return StartServiceCtrlDispatcherA(table) != 0;
}

bool PlatformRegisterServiceCtrlHandler(const char* serviceName, PlatformServiceCtrlProc proc) {
    WinServiceCtrlProc = proc;
    WinStatusHandle = RegisterServiceCtrlHandlerA(serviceName, WinServiceCtrl);
    return WinStatusHandle != nullptr;
}

bool PlatformSetServiceStatus(unsigned state, unsigned controlsAccepted, unsigned exitCode,
                              unsigned checkPoint, unsigned waitHint) {
    if (WinStatusHandle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return SetServiceStatus(WinStatusHandle, &status) != 0;
}

// Wraps a service manager handle; on failure the system's last error is kept.
static PlatformServiceHandle* WinWrapService(SC_HANDLE handle) {
    if (handle == nullptr)
        return nullptr;
    PlatformServiceHandle* wrapped = new (std::nothrow) PlatformServiceHandle{handle};
    if (wrapped == nullptr) {
        CloseServiceHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return wrapped;
}

PlatformServiceHandle* PlatformOpenServiceManager() {
    return WinWrapService(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

PlatformServiceHandle* PlatformCreateService(PlatformServiceHandle* manager, const char* name,
                                             const char* displayName, const char* commandLine) {
    if (manager == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Own process, may interact with the desktop, starts with the system,
    // runs as LocalSystem (no account, no password).
    return WinWrapService(CreateServiceA(manager->handle, name, displayName, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                         SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine,
                                         nullptr, nullptr, nullptr, nullptr, nullptr));
}

PlatformServiceHandle* PlatformOpenService(PlatformServiceHandle* manager, const char* name) {
    if (manager == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return WinWrapService(OpenServiceA(manager->handle, name, SERVICE_ALL_ACCESS));
}

bool PlatformDeleteService(PlatformServiceHandle* service) {
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return DeleteService(service->handle) != 0;
}

bool PlatformConfigureServiceRecovery(PlatformServiceHandle* service, const char* description,
                                      unsigned restartDelayMs) {
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    SERVICE_DESCRIPTIONA text;
    text.lpDescription = const_cast<char*>(description);
    if (!ChangeServiceConfig2A(service->handle, SERVICE_CONFIG_DESCRIPTION, &text))
        return false;
    // One restart action, repeated for every crash; the failure count is
    // forgotten after a day without one.
    SC_ACTION restart;
    restart.Type = SC_ACTION_RESTART;
    restart.Delay = restartDelayMs;
    SERVICE_FAILURE_ACTIONSA actions;
    actions.dwResetPeriod = 24 * 60 * 60;
    actions.lpRebootMsg = nullptr;
    actions.lpCommand = nullptr;
    actions.cActions = 1;
    actions.lpsaActions = &restart;
    return ChangeServiceConfig2A(service->handle, SERVICE_CONFIG_FAILURE_ACTIONS, &actions) != 0;
}

void PlatformCloseServiceHandle(PlatformServiceHandle* handle) {
    if (handle == nullptr)
        return;
    CloseServiceHandle(handle->handle);
    delete handle;
}

bool PlatformSetConsoleCtrlHandler(PlatformConsoleCtrlProc proc) {
    WinConsoleCtrlProc = proc;
    return SetConsoleCtrlHandler(WinConsoleCtrl, TRUE) != 0;
}

#endif // _WIN32
