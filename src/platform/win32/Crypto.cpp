// Crypto.cpp - the Windows platform layer: random bytes and HMAC-SHA-256
// from Cryptography API: Next Generation (bcrypt).
#ifdef _WIN32

#include "Internal.h"

#include <bcrypt.h>
#include <cstdlib>

bool PlatformRandomBytes(void* buffer, size_t size) {
    PUCHAR next = static_cast<PUCHAR>(buffer);
    while (size > 0) {
        ULONG part = WinClampSize(size);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, next, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        next += part;
        size -= part;
    }
    return true;
}

// The HMAC provider is opened once for the process and never closed: opening
// it costs far more than a hash, and threads may still hash while the process
// exits. Each call builds its hash object in a buffer on its own stack, so
// it allocates nothing. BCryptHash would be one call, but needs Windows 10.
namespace {

constexpr ULONG StackObjectSize = 1024;

struct HmacProvider {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    ULONG objectSize = 0;
};

HmacProvider hmacProvider;
INIT_ONCE hmacOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK OpenHmacProvider(PINIT_ONCE, PVOID, PVOID*) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return FALSE;
    ULONG objectSize = 0;
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                                          &written, 0))) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
        return FALSE;
    }
    hmacProvider.algorithm = algorithm;
    hmacProvider.objectSize = objectSize;
    return TRUE;
}

// Feeds data in pieces a ULONG can count.
bool HashAll(BCRYPT_HASH_HANDLE hash, const void* data, size_t size) {
    PUCHAR next = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        ULONG part = WinClampSize(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, next, part, 0)))
            return false;
        next += part;
        size -= part;
    }
    return true;
}

} // namespace

bool PlatformHmacSha256(const void* key, size_t keySize, const void* data, size_t size,
                        unsigned char* out) {
    // A failed open is tried again on the next call.
    if (!InitOnceExecuteOnce(&hmacOnce, OpenHmacProvider, nullptr, nullptr))
        return false;
    if (keySize > 0x7fffffff)
        return false;
    alignas(16) UCHAR stackObject[StackObjectSize];
    PUCHAR object = stackObject;
    if (hmacProvider.objectSize > StackObjectSize) {
        object = static_cast<PUCHAR>(std::malloc(hmacProvider.objectSize));
        if (object == nullptr)
            return false;
    }
    // The key is only read; an empty one still wants a real pointer.
    UCHAR emptyKey = 0;
    PUCHAR secret = keySize > 0 ? static_cast<PUCHAR>(const_cast<void*>(key)) : &emptyKey;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done =
        BCRYPT_SUCCESS(BCryptCreateHash(hmacProvider.algorithm, &hash, object,
                                        hmacProvider.objectSize, secret, ULONG(keySize), 0)) &&
        HashAll(hash, data, size) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, out, ULONG(PlatformHmacSize), 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    // The object held the key's padded state.
    SecureZeroMemory(object, hmacProvider.objectSize);
    if (object != stackObject)
        std::free(object);
    return done;
}

#endif
