// Main.cpp - the executable's entry; everything else lives in CommandLine.cpp so
// that the tests can drive it.
#include "CommandLine.h"

#include <clocale>

int main(int argc, char** argv) {
#ifndef _WIN32
    // The log's short date follows the system's locale, as on Windows.
    std::setlocale(LC_TIME, "");
#endif
    return GatewayMain(argc, argv);
}
