// Service.cpp - the Windows platform layer: the service control manager, the
// console stop keys and the Event Log.
#ifdef _WIN32

#include "Internal.h"

#include <cstdio>
#include <mutex>
#include <new>

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

bool PlatformServiceHasRecovery(PlatformServiceHandle* service) {
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // The actions follow the structure in the same buffer.
    alignas(SERVICE_FAILURE_ACTIONSA) char buffer[1024];
    DWORD needed = 0;
    if (!QueryServiceConfig2A(service->handle, SERVICE_CONFIG_FAILURE_ACTIONS,
                              reinterpret_cast<BYTE*>(buffer), sizeof buffer, &needed))
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER; // more than room for: some
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer)->cActions > 0;
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

// Event Log

// The message table's ids (src/service/Messages.mc, severity bits included),
// each showing its one insertion string whole. The Wine service test checks
// them against windmc's header.
constexpr DWORD WinMessageInformation = 0x40000001;
constexpr DWORD WinMessageWarning = 0x80000002;
constexpr DWORD WinMessageError = 0xC0000003;

// The source's key under the Application log; false when the name is too long.
static bool WinEventSourceKey(const char* source, char* key, size_t size) {
    int length = std::snprintf(
        key, size, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s", source);
    return length > 0 && size_t(length) < size;
}

int PlatformAddEventSource(const char* source, const char* messageFile) {
    char name[512];
    if (!WinEventSourceKey(source, name, sizeof name))
        return ERROR_INVALID_PARAMETER;
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return int(result);
    // A path such as %SystemRoot%\... is expanded by the reader.
    DWORD type = std::strchr(messageFile, '%') != nullptr ? REG_EXPAND_SZ : REG_SZ;
    result =
        RegSetValueExA(key, "EventMessageFile", 0, type, reinterpret_cast<const BYTE*>(messageFile),
                       DWORD(std::strlen(messageFile) + 1));
    if (result == ERROR_SUCCESS) {
        DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
    return int(result);
}

int PlatformRemoveEventSource(const char* source) {
    char name[512];
    if (!WinEventSourceKey(source, name, sizeof name))
        return ERROR_INVALID_PARAMETER;
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, name);
    return result == ERROR_FILE_NOT_FOUND ? 0 : int(result);
}

// One registered handle, kept for the process and registered again only for
// a report under another source name; the lock keeps a report from racing
// that.
static std::mutex WinEventLogGuard;
static HANDLE WinEventLog;
static char WinEventLogSource[256];

bool PlatformReportEvent(const char* source, PlatformEventType type, const char* text) {
    WORD eventType = EVENTLOG_INFORMATION_TYPE;
    DWORD id = WinMessageInformation;
    if (type == PlatformEventType::Warning) {
        eventType = EVENTLOG_WARNING_TYPE;
        id = WinMessageWarning;
    } else if (type == PlatformEventType::Error) {
        eventType = EVENTLOG_ERROR_TYPE;
        id = WinMessageError;
    }
    std::lock_guard<std::mutex> hold(WinEventLogGuard);
    if (WinEventLog != nullptr && std::strcmp(WinEventLogSource, source) != 0) {
        DeregisterEventSource(WinEventLog);
        WinEventLog = nullptr;
    }
    if (WinEventLog == nullptr) {
        if (!WinCopyText(source, WinEventLogSource, sizeof WinEventLogSource)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        WinEventLog = RegisterEventSourceA(nullptr, source);
        if (WinEventLog == nullptr)
            return false;
    }
    const char* strings[1] = {text};
    return ReportEventA(WinEventLog, eventType, 0, id, nullptr, 1, 0, strings, nullptr) != 0;
}

// systemd's notify protocol and watchdog: Linux only.

bool PlatformNotifyServiceManager(const char*) {
    return true;
}

int64_t PlatformWatchdogPingIntervalMs() {
    return 0;
}

#endif // _WIN32
