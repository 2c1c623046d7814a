// TextArea.h - formatted text appended to a fixed area, for the status
// port's answers.
#pragma once

#include <cstddef>

// Appends up to the area's size, always leaving it terminated; what does not
// fit is dropped.
struct TextArea {
    char* out;
    size_t size;
    size_t used = 0;

    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)));
};
