// Files.cpp - the Linux platform layer: files opened for one writer at a time.
#ifndef _WIN32

#include "platform/posix/Internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// One-writer files: an exclusive flock stands for Windows' deny-write sharing.
// Readers take no lock, so they still get in.

struct PlatformFile {
    int fd;
};

static int PosixOpenOneWriter(const char* path, int flags, int* error) {
    int fd = open(path, flags | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? PlatformSharingViolation : errno;
        close(fd);
        errno = *error;
        return -1;
    }
    return fd;
}

PlatformFile* PlatformOpenForUpdate(const char* path, int* error) {
    int fd = PosixOpenOneWriter(path, O_RDWR, error);
    if (fd < 0)
        return nullptr;
    return new PlatformFile{fd};
}

long PlatformFileReadAt(PlatformFile* file, long offset, void* buffer, size_t size) {
    ssize_t n;
    do {
        n = pread(file->fd, buffer, size, offset);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long PlatformFileWriteAt(PlatformFile* file, long offset, const void* data, size_t size) {
    ssize_t n;
    do {
        n = pwrite(file->fd, data, size, offset);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool PlatformFileSetSize(PlatformFile* file, long size) {
    return ftruncate(file->fd, size) == 0;
}

bool PlatformFileClose(PlatformFile* file) {
    bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

int PlatformAppendText(const char* path, const char* text, size_t size) {
    int error = 0;
    int fd = PosixOpenOneWriter(path, O_WRONLY | O_APPEND, &error);
    if (fd < 0)
        return error;
    while (size > 0) {
        ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = errno;
            break;
        }
        text += n;
        size -= static_cast<size_t>(n);
    }
    if (close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

long PlatformReadFileHead(const char* path, void* buffer, size_t size, int* error) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    size_t used = 0;
    while (used < size) {
        ssize_t n = read(fd, static_cast<char*>(buffer) + used, size - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errno;
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<long>(used);
}

#endif // !_WIN32
