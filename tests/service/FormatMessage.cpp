// FormatMessage.cpp - format_message MODULE ID TEXT: prints, between [ and ],
// what FormatMessage makes of message ID in MODULE's message table with TEXT
// as %1, as Event Viewer shows an event. Exit 1 when there is no such message.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    DWORD id = DWORD(std::strtoul(argv[2], nullptr, 0));
    char* strings[1] = {argv[3]};
    char text[1024];
    DWORD size =
        module == nullptr
            ? 0
            : FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                             id, 0, text, sizeof text, reinterpret_cast<va_list*>(strings));
    if (size == 0) {
        std::fprintf(stderr, "no message 0x%08lx: error %lu\n", id, GetLastError());
        return 1;
    }
    std::printf("[%.*s]\n", int(size), text);
    return 0;
}
