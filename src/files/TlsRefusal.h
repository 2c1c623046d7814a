// TlsRefusal.h - the words for a TLS handshake with the transaction server
// that did not succeed ("certificate expired", "name mismatch", ...), as the
// till reads them after "Unable to connect to server: ", and as the log and
// `check` show them.
#pragma once

#include <cstddef>

enum class PlatformTlsResult;

// error is what PlatformTlsConnect gave; a failure with an unusable caFile
// says so (with the file's name, not its directory: the till reads it).
void DescribeHandshake(PlatformTlsResult result, int error, const char* caFile, char* out,
                       size_t size);
