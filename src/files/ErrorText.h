// ErrorText.h - a system error code as one line of text for the log, the
// console and the till: "<sentence> [<code>]".
#pragma once

#include <cstddef>

// The calling thread's last system error as "<sentence> [<code>]".
const char* GetLastErrorText();
// The same text for a given code, into a caller's buffer: "<sentence>
// [<code>]", or "Error <code>" when the system has no sentence for it.
void FormatErrorText(int code, char* out, size_t size);
