// Files.cpp - the Windows platform layer: files opened for one writer at a time,
// flushing to stable storage, directory listing and deletion.
#ifdef _WIN32

#include "Internal.h"

#include <cstdio>
#include <new>

// One-writer files

// Read and write access, others may only read: a second writer, in this
// process or another, fails with ERROR_SHARING_VIOLATION.
extern const int PlatformSharingViolation = ERROR_SHARING_VIOLATION;

static HANDLE WinOpenOneWriter(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static bool WinSeek(HANDLE handle, LONGLONG offset, DWORD method) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(handle, distance, nullptr, method) != 0;
}

// Like WriteFile but keeps writing until everything is out.
static bool WinWriteAll(HANDLE handle, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, WinClampSize(size), &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

PlatformFile* PlatformOpenForUpdate(const char* path, int* error, bool* created) {
    HANDLE handle = WinOpenOneWriter(path);
    // OPEN_ALWAYS sets ERROR_ALREADY_EXISTS when the file was there.
    DWORD opened = GetLastError();
    if (created != nullptr)
        *created = handle != INVALID_HANDLE_VALUE && opened != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) {
        if (error != nullptr)
            *error = int(opened);
        return nullptr;
    }
    PlatformFile* file = new (std::nothrow) PlatformFile{handle};
    if (file == nullptr) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (error != nullptr)
            *error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return file;
}

// Reads and writes at an offset carry it in an OVERLAPPED of their own, as
// pread and pwrite do: the handle's shared file position is never relied
// on, so threads may read and write one file at once.
static OVERLAPPED WinAt(LONGLONG offset) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset & 0xffffffff);
    at.OffsetHigh = DWORD(offset >> 32);
    return at;
}

long PlatformFileReadAt(PlatformFile* file, long offset, void* buffer, size_t size) {
    if (file == nullptr || offset < 0)
        return -1;
    OVERLAPPED at = WinAt(offset);
    DWORD got = 0;
    if (!ReadFile(file->handle, buffer, WinClampSize(size), &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return long(got);
}

long PlatformFileWriteAt(PlatformFile* file, long offset, const void* data, size_t size) {
    if (file == nullptr || offset < 0)
        return -1;
    const char* next = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        OVERLAPPED at = WinAt(offset + LONGLONG(size - left));
        DWORD written = 0;
        if (!WriteFile(file->handle, next, WinClampSize(left), &written, &at))
            return -1;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        next += written;
        left -= written;
    }
    return long(size);
}

bool PlatformFileSetSize(PlatformFile* file, long size) {
    if (file == nullptr || size < 0)
        return false;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(file->handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

long PlatformFileSize(PlatformFile* file) {
    LARGE_INTEGER size;
    if (file == nullptr || !GetFileSizeEx(file->handle, &size) || size.QuadPart > 0x7fffffff)
        return -1;
    return long(size.QuadPart);
}

bool PlatformFileFlush(PlatformFile* file) {
    return file != nullptr && FlushFileBuffers(file->handle) != 0;
}

bool PlatformFileClose(PlatformFile* file) {
    if (file == nullptr)
        return false;
    bool closed = CloseHandle(file->handle) != 0;
    delete file;
    return closed;
}

int PlatformAppendText(const char* path, const char* text, size_t size) {
    HANDLE handle = WinOpenOneWriter(path);
    if (handle == INVALID_HANDLE_VALUE)
        return int(GetLastError());
    int result = 0;
    if (!WinSeek(handle, 0, FILE_END)) {
        result = int(GetLastError());
    } else {
        // Text mode, as the run-time library writes it: every LF becomes CR LF.
        char chunk[1024];
        size_t used = 0;
        for (size_t i = 0; i < size && result == 0; ++i) {
            if (text[i] == '\n')
                chunk[used++] = '\r';
            chunk[used++] = text[i];
            if (used >= sizeof chunk - 1 || i + 1 == size) {
                if (!WinWriteAll(handle, chunk, used))
                    result = int(GetLastError());
                used = 0;
            }
        }
    }
    if (!CloseHandle(handle) && result == 0)
        result = int(GetLastError());
    return result;
}

long PlatformReadFileHead(const char* path, void* buffer, size_t size, int* error) {
    // Sharing write access too: the gateway's own writer may hold the file.
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = int(GetLastError());
        return -1;
    }
    size_t used = 0;
    while (used < size) {
        DWORD got = 0;
        if (!ReadFile(handle, static_cast<char*>(buffer) + used, WinClampSize(size - used), &got,
                      nullptr)) {
            *error = int(GetLastError());
            CloseHandle(handle);
            return -1;
        }
        if (got == 0)
            break;
        used += got;
    }
    CloseHandle(handle);
    return long(used);
}

bool PlatformFlushDirectoryOf(const char*) {
    return true;
}

bool PlatformListDirectory(const char* directory, PlatformNameProc proc, void* context) {
    char pattern[MAX_PATH + 2];
    if (std::snprintf(pattern, sizeof pattern, "%s\\*", directory) >= int(sizeof pattern))
        return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0)
            proc(found.cFileName, context);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

bool PlatformDeleteFile(const char* path) {
    return DeleteFileA(path) != 0;
}

#endif // _WIN32
