// Keys.cpp - the Linux platform layer: key files readable by the gateway's
// account alone.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static bool PosixWriteAll(int fd, const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, next, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        next += n;
        size -= size_t(n);
    }
    return true;
}

// The key is written whole under a name of its own, made exclusively with
// mode 0600, and then linked to its real name, which fails when that exists:
// a reader finds either no file or the whole key, never a part, and a crash
// while writing leaves no damaged key file behind.
PlatformKeyFileResult PlatformCreateKeyFile(const char* path, const void* key, size_t size,
                                            int* error) {
    *error = 0;
    unsigned char tag[4];
    if (!PlatformRandomBytes(tag, sizeof tag)) {
        *error = errno != 0 ? errno : EIO;
        return PlatformKeyFileResult::Failed;
    }
    char draft[4096];
    int length = std::snprintf(draft, sizeof draft, "%s.%02x%02x%02x%02x.new", path, tag[0], tag[1],
                               tag[2], tag[3]);
    if (length < 0 || size_t(length) >= sizeof draft) {
        *error = ENAMETOOLONG;
        return PlatformKeyFileResult::Failed;
    }
    int fd = open(draft, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = errno;
        return PlatformKeyFileResult::Failed;
    }
    bool written = PosixWriteAll(fd, key, size) && fsync(fd) == 0;
    int failure = written ? 0 : errno;
    if (close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    PlatformKeyFileResult result = PlatformKeyFileResult::Ok;
    if (!written) {
        result = PlatformKeyFileResult::Failed;
    } else if (link(draft, path) != 0) {
        failure = errno;
        result = failure == EEXIST ? PlatformKeyFileResult::Exists : PlatformKeyFileResult::Failed;
    }
    unlink(draft);
    if (result == PlatformKeyFileResult::Ok && !PlatformFlushDirectoryOf(path)) {
        failure = errno;
        result = PlatformKeyFileResult::Failed;
    }
    *error = result == PlatformKeyFileResult::Exists ? 0 : failure;
    return result;
}

PlatformKeyFileResult PlatformReadKeyFile(const char* path, void* out, size_t size, int* error) {
    *error = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return errno == ENOENT ? PlatformKeyFileResult::Missing : PlatformKeyFileResult::Failed;
    }
    // The rules come before the first byte is read, and are only reported:
    // widening or narrowing them is the administrator's decision.
    struct stat status {};
    PlatformKeyFileResult result = PlatformKeyFileResult::Ok;
    if (fstat(fd, &status) != 0) {
        *error = errno;
        result = PlatformKeyFileResult::Failed;
    } else if (status.st_uid != geteuid()) {
        *error = int(status.st_uid);
        result = PlatformKeyFileResult::OtherOwner;
    } else if ((status.st_mode & 077) != 0) {
        *error = int(status.st_mode & 07777);
        result = PlatformKeyFileResult::OpenToOthers;
    } else if (!S_ISREG(status.st_mode)) {
        result = PlatformKeyFileResult::Damaged;
    }
    size_t used = 0;
    while (result == PlatformKeyFileResult::Ok && used < size) {
        ssize_t n = read(fd, static_cast<char*>(out) + used, size - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errno;
            result = PlatformKeyFileResult::Failed;
        } else if (n == 0) {
            result = PlatformKeyFileResult::Damaged; // shorter than a key
        } else {
            used += size_t(n);
        }
    }
    char more;
    if (result == PlatformKeyFileResult::Ok && read(fd, &more, 1) != 0)
        result = PlatformKeyFileResult::Damaged; // longer than a key
    close(fd);
    if (result != PlatformKeyFileResult::Ok)
        explicit_bzero(out, size);
    return result;
}

#endif // !_WIN32
