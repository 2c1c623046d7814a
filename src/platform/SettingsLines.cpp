// SettingsLines.cpp - the line rules of settings files, the same on every
// platform: the Linux profile functions and `check` both read through them;
// and their letter case rule.
#include "Platform.h"

#include <cstring>

char PlatformAsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool PlatformEqualIgnoringCase(const char* a, size_t aLength, const char* b, size_t bLength) {
    if (aLength != bLength)
        return false;
    for (size_t i = 0; i < aLength; ++i) {
        if (PlatformAsciiLower(a[i]) != PlatformAsciiLower(b[i]))
            return false;
    }
    return true;
}

bool PlatformEqualIgnoringCase(const char* a, const char* b) {
    return PlatformEqualIgnoringCase(a, std::strlen(a), b, std::strlen(b));
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void Trim(const char** begin, const char** end) {
    while (*begin < *end && IsBlank(**begin))
        ++*begin;
    while (*end > *begin && IsBlank((*end)[-1]))
        --*end;
}

// fgets with a 4096-byte buffer takes at most this much of a line at once.
constexpr size_t PieceMax = 4095;

} // namespace

void PlatformReadSettingsLines(const char* data, size_t size, PlatformSettingsLineProc proc,
                               void* context) {
    size_t position = 0;
    int number = 1;
    while (position < size) {
        size_t limit = size - position < PieceMax ? size - position : PieceMax;
        const char* begin = data + position;
        const char* newline = static_cast<const char*>(std::memchr(begin, '\n', limit));
        size_t taken = newline != nullptr ? static_cast<size_t>(newline - begin) + 1 : limit;
        position += taken;
        int lineNumber = number;
        if (newline != nullptr)
            ++number;
        const char* zero = static_cast<const char*>(std::memchr(begin, '\0', taken));
        const char* end = zero != nullptr ? zero : begin + taken;
        Trim(&begin, &end);
        if (begin == end || *begin == ';')
            continue;
        PlatformSettingsLine line{};
        line.number = lineNumber;
        line.text = begin;
        line.textLength = static_cast<size_t>(end - begin);
        if (*begin == '[') {
            const char* close = static_cast<const char*>(std::memchr(begin, ']', end - begin));
            const char* nameBegin = begin + 1;
            const char* nameEnd = close != nullptr ? close : end;
            Trim(&nameBegin, &nameEnd);
            line.kind = PlatformSettingsLine::Section;
            line.name = nameBegin;
            line.nameLength = static_cast<size_t>(nameEnd - nameBegin);
            line.closed = close != nullptr;
            proc(line, context);
            continue;
        }
        const char* equals = static_cast<const char*>(std::memchr(begin, '=', end - begin));
        if (equals == nullptr) {
            line.kind = PlatformSettingsLine::Other;
            proc(line, context);
            continue;
        }
        const char* nameBegin = begin;
        const char* nameEnd = equals;
        Trim(&nameBegin, &nameEnd);
        const char* valueBegin = equals + 1;
        const char* valueEnd = end;
        Trim(&valueBegin, &valueEnd);
        // A value in matching quotes is given without them, as on Windows.
        if (valueEnd - valueBegin >= 2 && (*valueBegin == '"' || *valueBegin == '\'') &&
            valueEnd[-1] == *valueBegin) {
            ++valueBegin;
            --valueEnd;
        }
        line.kind = PlatformSettingsLine::Entry;
        line.name = nameBegin;
        line.nameLength = static_cast<size_t>(nameEnd - nameBegin);
        line.value = valueBegin;
        line.valueLength = static_cast<size_t>(valueEnd - valueBegin);
        proc(line, context);
    }
}
