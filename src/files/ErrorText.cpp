// ErrorText.cpp - the system's sentence for an error code.
#include "ErrorText.h"

#include "Platform.h"

#include <cstdio>

void FormatErrorText(int code, char* out, size_t size) {
    char sentence[200]; // leaves room for " [code]" in a 256-byte text
    if (PlatformErrorSentence(code, sentence, sizeof sentence))
        snprintf(out, size, "%s [%d]", sentence, code);
    else
        snprintf(out, size, "Error %d", code);
}

const char* GetLastErrorText() {
    static char text[256];
    FormatErrorText(PlatformLastError(), text, sizeof text);
    return text;
}
