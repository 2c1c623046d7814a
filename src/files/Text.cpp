// Text.cpp - number parsing, digit-run masking, file names and wiping.
#include "Text.h"

#include <climits>
#include <cstdint>

int ParseLeadingNumber(const char* text, bool saturate) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '-' || *text == '+')
        negative = *text++ == '-';
    uint32_t wrapped = 0;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        wrapped = wrapped * 10u + static_cast<uint32_t>(*text - '0');
        if (magnitude <= INT_MAX)
            magnitude = magnitude * 10 + (*text - '0');
    }
    if (saturate) {
        if (negative)
            return magnitude > INT_MAX ? INT_MIN : static_cast<int>(-magnitude);
        return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
    }
    return static_cast<int>(negative ? 0u - wrapped : wrapped);
}

void MaskDigitRuns(char* text, size_t length) {
    for (size_t i = 0; i < length;) {
        size_t end = i;
        while (end < length && text[end] >= '0' && text[end] <= '9')
            ++end;
        if (end - i >= 12) {
            for (size_t k = i; k + 4 < end; ++k)
                text[k] = '*';
        }
        i = end > i ? end : i + 1;
    }
}

const char* FileNameOf(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            name = p + 1;
    }
    return name;
}

void WipeBytes(void* data, size_t size) {
    volatile unsigned char* next = static_cast<volatile unsigned char*>(data);
    while (size-- > 0)
        *next++ = 0;
}
