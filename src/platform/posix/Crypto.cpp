// Crypto.cpp - the Linux platform layer: random bytes from the kernel and
// HMAC-SHA-256 from OpenSSL's libcrypto.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <cstring>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sys/random.h>

bool PlatformRandomBytes(void* buffer, size_t size) {
    unsigned char* next = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        // Blocks only until the kernel's pool is first initialised, early at boot.
        ssize_t got = getrandom(next, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += got;
        size -= size_t(got);
    }
    return true;
}

// The MAC is fetched once for the process and each thread keeps a context of
// its own with the digest already set, so no call fetches anything. The
// context also keeps the last key's prepared state, which a null key to
// EVP_MAC_init starts again from: while the caller keeps one key, as the
// gateway does, the key is neither copied nor prepared again. OpenSSL 3.0
// still duplicates the digest state on each start, two small allocations.
namespace {

constexpr size_t CachedKeyLimit = 64; // longer keys are set afresh each call

EVP_MAC* ProcessHmac() {
    // Never freed: threads may still be hashing while the process exits.
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

struct ThreadHmac {
    EVP_MAC_CTX* context = nullptr;
    bool failed = false;
    bool keyed = false;
    size_t keySize = 0;
    unsigned char key[CachedKeyLimit];

    ~ThreadHmac() {
        EVP_MAC_CTX_free(context);
        OPENSSL_cleanse(key, sizeof key);
    }
};

thread_local ThreadHmac threadHmac;

EVP_MAC_CTX* ThreadContext() {
    ThreadHmac& state = threadHmac;
    if (state.context != nullptr || state.failed)
        return state.context;
    EVP_MAC* mac = ProcessHmac();
    EVP_MAC_CTX* context = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (context == nullptr || EVP_MAC_CTX_set_params(context, params) != 1) {
        EVP_MAC_CTX_free(context);
        state.failed = true; // no point retrying on every call
        return nullptr;
    }
    state.context = context;
    return context;
}

} // namespace

bool PlatformHmacSha256(const void* key, size_t keySize, const void* data, size_t size,
                        unsigned char* out) {
    EVP_MAC_CTX* context = ThreadContext();
    if (context == nullptr)
        return false;
    ThreadHmac& state = threadHmac;
    bool sameKey =
        state.keyed && keySize == state.keySize && CRYPTO_memcmp(key, state.key, keySize) == 0;
    // A null key means "the previous one", so an empty key needs a real pointer.
    static const unsigned char emptyKey = 0;
    const unsigned char* newKey = sameKey       ? nullptr
                                  : keySize > 0 ? static_cast<const unsigned char*>(key)
                                                : &emptyKey;
    state.keyed = false; // until this key's state is known good
    if (EVP_MAC_init(context, newKey, keySize, nullptr) != 1)
        return false;
    if (size > 0 && EVP_MAC_update(context, static_cast<const unsigned char*>(data), size) != 1)
        return false;
    size_t written = 0;
    if (EVP_MAC_final(context, out, &written, PlatformHmacSize) != 1 || written != PlatformHmacSize)
        return false;
    if (keySize <= CachedKeyLimit) {
        if (!sameKey && keySize > 0)
            std::memcpy(state.key, key, keySize);
        state.keySize = keySize;
        state.keyed = true;
    }
    return true;
}

#endif
