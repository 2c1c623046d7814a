// CommandLine.cpp - the executable's command line: the mode from the account
// and the first argument.
#include "CommandLine.h"

#include "Check.h"
#include "Files.h"
#include "Platform.h"
#include "Report.h"
#include "Run.h"
#include "Service.h"
#include "Version.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t UserNameSize = 47;

} // namespace

void PrintUsage() {
    std::printf("\n%s\n", "Quillet Hollin Gateway - Copyright (c) 2009 Quillet Hollin");
    std::printf("http://www.quillethollin.example/\n");
    std::printf("Version: %s (%s)\n", GATEWAY_VERSION, GATEWAY_RELEASE_DATE);
    std::printf("\n");
    std::printf("Syntax:\n");
    std::printf("QuilletHollinGateway install           Install service\n");
    std::printf("QuilletHollinGateway remove            Remove service\n");
    std::printf("QuilletHollinGateway check             Check settings and connections\n");
    std::printf("QuilletHollinGateway report [date]     Report a day from the journal (YYYY-MM-DD, "
                "default today)\n");
}

int GatewayMain(int argc, char** argv) {
    // Console lines go out as they are written, also into a pipe (the journal).
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    char user[UserNameSize];
    bool isSystem = PlatformUserName(user, sizeof user) && std::strcmp(user, "SYSTEM") == 0;

    char executable[GatewayPathSize];
    if (!PlatformExecutablePath(executable, sizeof executable))
        executable[0] = '\0';
    DeriveFilePaths(executable);

    if (!PlatformIsSupportedSystem()) {
        std::printf("Quillet Hollin Gateway requires Windows NT 4.0 or later.\n");
        return 0;
    }
    if (isSystem && argc < 2 && HasServiceManager) {
        PlatformStartServiceDispatcher(ServiceName, ServiceMain);
        return 0;
    }
    if (argc >= 2) {
        if (PlatformEqualIgnoringCase(argv[1], "install")) {
            InstallService();
            return 0;
        }
        if (PlatformEqualIgnoringCase(argv[1], "remove")) {
            RemoveService();
            return 0;
        }
        if (PlatformEqualIgnoringCase(argv[1], "check"))
            return CheckGateway();
        if (PlatformEqualIgnoringCase(argv[1], "report"))
            return ReportCommand(argc, argv);
        if (PlatformEqualIgnoringCase(argv[1], "debug")) {
            DebugMode = true;
            return DebugService(argc, argv);
        }
    }
    PrintUsage();
    return 0;
}
