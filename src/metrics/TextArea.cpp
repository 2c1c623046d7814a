// TextArea.cpp - formatted text appended to a fixed area.
#include "TextArea.h"

#include <cstdarg>
#include <cstdio>

void TextArea::Add(const char* format, ...) {
    if (used + 1 >= size)
        return;
    va_list arguments;
    va_start(arguments, format);
    int n = std::vsnprintf(out + used, size - used, format, arguments);
    va_end(arguments);
    if (n > 0)
        used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1;
    out[used] = '\0';
}
