// Internals.h - what the tests read of the gateway's insides that no layer
// above needs: declared here, never in the gateway's own headers.
#pragma once

// The duplicate window's key (PlatformHmacSize bytes), for the test that it
// is in no file but the key file.
void CopyDuplicateKey(unsigned char* out);
