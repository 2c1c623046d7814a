// Service.h - the service control manager's side: the service entry, its
// control handler and status reports, install and remove.
#pragma once

#include "ServiceStatus.h"

// Only Windows has a service control manager; elsewhere the gateway runs in
// the foreground under systemd (see QuilletHollinGateway.service).
#ifdef _WIN32
constexpr bool HasServiceManager = true;
#else
constexpr bool HasServiceManager = false;
#endif

void InstallService();
void RemoveService();

void ServiceMain(int argc, char** argv);
void ServiceCtrlHandler(unsigned control);
