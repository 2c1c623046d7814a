// Files.cpp - the Linux platform layer: files opened for one writer at a time,
// flushing to stable storage, directory listing and deletion.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// One-writer files: an exclusive flock stands for Windows' deny-write sharing.
// Readers take no lock, so they still get in.

// flock's answer when another holds the lock.
const int PlatformSharingViolation = EWOULDBLOCK;

struct PlatformFile {
    int fd;
};

// Opens without O_CREAT first, so that the caller learns whether the file
// was made here; O_EXCL settles a race with another creator.
static int PosixOpenOrCreate(const char* path, int flags, bool* created) {
    for (;;) {
        int fd = open(path, flags | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) {
            *created = false;
            return fd;
        }
        fd = open(path, flags | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            *created = fd >= 0;
            return fd;
        }
    }
}

static int PosixOpenOneWriter(const char* path, int flags, int* error, bool* created = nullptr) {
    bool made = false;
    int fd = PosixOpenOrCreate(path, flags, &made);
    if (created != nullptr)
        *created = made;
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno;
        close(fd);
        errno = *error;
        return -1;
    }
    return fd;
}

PlatformFile* PlatformOpenForUpdate(const char* path, int* error, bool* created) {
    int fd = PosixOpenOneWriter(path, O_RDWR, error, created);
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

long PlatformFileSize(PlatformFile* file) {
    struct stat status {};
    if (fstat(file->fd, &status) != 0)
        return -1;
    return static_cast<long>(status.st_size);
}

bool PlatformFileFlush(PlatformFile* file) {
    int result;
    do {
        result = fdatasync(file->fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
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

bool PlatformFlushDirectoryOf(const char* path) {
    const char* slash = strrchr(path, '/');
    char directory[1024];
    if (slash == nullptr)
        snprintf(directory, sizeof directory, ".");
    else if (slash == path)
        snprintf(directory, sizeof directory, "/");
    else if (static_cast<size_t>(slash - path) < sizeof directory)
        snprintf(directory, sizeof directory, "%.*s", static_cast<int>(slash - path), path);
    else
        return false;
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int result;
    do {
        result = fsync(fd);
    } while (result != 0 && errno == EINTR);
    int error = errno;
    close(fd);
    errno = error;
    return result == 0;
}

bool PlatformListDirectory(const char* directory, PlatformNameProc proc, void* context) {
    DIR* dir = opendir(directory);
    if (dir == nullptr)
        return false;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            proc(entry->d_name, context);
    }
    closedir(dir);
    return true;
}

bool PlatformDeleteFile(const char* path) {
    return unlink(path) == 0;
}

#endif // !_WIN32
