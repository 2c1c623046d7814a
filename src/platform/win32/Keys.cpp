// Keys.cpp - the Windows platform layer: key files as DPAPI blobs of machine
// scope, which only SYSTEM and Administrators may open.
#ifdef _WIN32

#include "Internal.h"

#include <sddl.h>
#include <wincrypt.h>

// A blob far larger than any key's: a bigger file is not one.
constexpr DWORD LargestBlob = 4096;

// The file is made with CREATE_NEW and shared with nobody until it is closed:
// of two processes creating it at once, one gets ERROR_FILE_EXISTS, and its
// read fails with a sharing violation until the whole blob is written.
PlatformKeyFileResult PlatformCreateKeyFile(const char* path, const void* key, size_t size,
                                            int* error) {
    *error = 0;
    DATA_BLOB clear{WinClampSize(size), static_cast<BYTE*>(const_cast<void*>(key))};
    DATA_BLOB sealed{0, nullptr};
    if (!CryptProtectData(&clear, nullptr, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &sealed)) {
        *error = int(GetLastError());
        return PlatformKeyFileResult::Failed;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
        *error = int(GetLastError());
        LocalFree(sealed.pbData);
        return PlatformKeyFileResult::Failed;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE handle = CreateFileA(path, GENERIC_WRITE | DELETE, 0, &attributes, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD failure = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    LocalFree(descriptor);
    PlatformKeyFileResult result = PlatformKeyFileResult::Ok;
    if (handle == INVALID_HANDLE_VALUE) {
        result = failure == ERROR_FILE_EXISTS || failure == ERROR_ALREADY_EXISTS
                     ? PlatformKeyFileResult::Exists
                     : PlatformKeyFileResult::Failed;
    } else {
        DWORD written = 0;
        if (!WriteFile(handle, sealed.pbData, sealed.cbData, &written, nullptr) ||
            written != sealed.cbData || !FlushFileBuffers(handle)) {
            failure = GetLastError();
            if (failure == 0)
                failure = ERROR_WRITE_FAULT;
            // Nothing half written is left for the next start to call damaged.
            FILE_DISPOSITION_INFO disposition{TRUE};
            SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                       sizeof disposition);
            result = PlatformKeyFileResult::Failed;
        }
        CloseHandle(handle);
    }
    LocalFree(sealed.pbData);
    *error = result == PlatformKeyFileResult::Failed ? int(failure) : 0;
    return result;
}

PlatformKeyFileResult PlatformReadKeyFile(const char* path, void* out, size_t size, int* error) {
    *error = 0;
    SecureZeroMemory(out, size);
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = int(GetLastError());
        return *error == ERROR_FILE_NOT_FOUND ? PlatformKeyFileResult::Missing
                                              : PlatformKeyFileResult::Failed;
    }
    BYTE blob[LargestBlob + 1];
    DWORD used = 0;
    bool read = true;
    while (read && used < sizeof blob) {
        DWORD got = 0;
        read = ReadFile(handle, blob + used, DWORD(sizeof blob) - used, &got, nullptr) != 0;
        if (read && got == 0)
            break;
        used += got;
    }
    if (!read)
        *error = int(GetLastError());
    CloseHandle(handle);
    if (!read)
        return PlatformKeyFileResult::Failed;
    if (used > LargestBlob)
        return PlatformKeyFileResult::Damaged;

    DATA_BLOB sealed{used, blob};
    DATA_BLOB clear{0, nullptr};
    if (!CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &clear)) {
        *error = int(GetLastError());
        return PlatformKeyFileResult::Damaged;
    }
    PlatformKeyFileResult result = PlatformKeyFileResult::Damaged;
    if (clear.cbData == size) {
        std::memcpy(out, clear.pbData, size);
        result = PlatformKeyFileResult::Ok;
    }
    SecureZeroMemory(clear.pbData, clear.cbData);
    LocalFree(clear.pbData);
    return result;
}

#endif // _WIN32
