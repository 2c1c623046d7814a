// Service.cpp - the Windows platform layer: the service control manager and the console stop keys.
#ifdef _WIN32

#include "Internal.h"

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

#endif // _WIN32
