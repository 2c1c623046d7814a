// Settings.cpp - the Linux platform layer: settings (INI) files, read the way the Windows profile
// functions read them.
#ifndef _WIN32

#include "Internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// Settings files, read the way GetPrivateProfileStringA reads them.
//
// Every request reads the settings file, often several times. Each file is
// parsed once and its values kept until a stat of the path shows a change of
// inode, size, modification or status-change time, so an operator's edit is
// seen by the next read without a restart. A file changed so recently that a
// further edit could still carry the same time stamps is parsed afresh on
// every read until that can no longer happen.

// Section and key names match without regard to ASCII letter case.
static void PosixLowerAppend(std::string* out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        out->push_back(PlatformAsciiLower(text[i]));
}

// The lookup key of a value: section and key, lowered, joined by a zero byte
// (which no name read from a line can hold).
static void PosixAppendProfileKey(std::string* out, const char* section, size_t sectionLength,
                                  const char* key, size_t keyLength) {
    out->reserve(out->size() + sectionLength + keyLength + 1);
    PosixLowerAppend(out, section, sectionLength);
    out->push_back('\0');
    PosixLowerAppend(out, key, keyLength);
}

// What identifies one version of a file's contents.
struct PosixFileStamp {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

static PosixFileStamp PosixStampOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

static bool PosixSameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

static bool PosixSameStamp(const PosixFileStamp& a, const PosixFileStamp& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           PosixSameTime(a.modified, b.modified) && PosixSameTime(a.changed, b.changed);
}

// One parsed settings file: the first value of each section and key.
struct PosixProfile {
    PosixFileStamp stamp;
    // False while a later edit might not change the stamp: read again.
    bool settled;
    std::unordered_map<std::string, std::string> values;
};

// Time stamps come from a clock that may lag the real time by a tick, and
// some file systems keep whole seconds only. Two whole-second steps (at least
// one second) cover both.
constexpr time_t PosixSettleSeconds = 2;

// What the parse of one file keeps between lines.
struct PosixProfileParse {
    PosixProfile* profile;
    bool inSection = false;
    std::string section;
};

static void PosixTakeProfileLine(const PlatformSettingsLine& line, void* context) {
    PosixProfileParse& parse = *static_cast<PosixProfileParse*>(context);
    if (line.kind == PlatformSettingsLine::Section) {
        parse.section.assign(line.name, line.nameLength);
        parse.inSection = true;
        return;
    }
    if (!parse.inSection || line.kind != PlatformSettingsLine::Entry)
        return;
    std::string joined;
    PosixAppendProfileKey(&joined, parse.section.data(), parse.section.size(), line.name,
                          line.nameLength);
    // emplace keeps the first of duplicate keys.
    parse.profile->values.emplace(std::move(joined), std::string(line.value, line.valueLength));
}

static void PosixParseProfile(const char* data, size_t size, PosixProfile* profile) {
    PosixProfileParse parse{profile, false, {}};
    PlatformReadSettingsLines(data, size, PosixTakeProfileLine, &parse);
}

// Reads and parses the file; null if it cannot be read.
static std::shared_ptr<const PosixProfile> PosixLoadProfile(const char* path) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return nullptr;
    }
    std::string data;
    data.resize(info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0);
    size_t used = 0;
    for (;;) {
        if (used == data.size())
            data.resize(data.size() + 4096); // the file grew since fstat
        ssize_t n = read(fd, &data[used], data.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return nullptr;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    close(fd);

    auto profile = std::make_shared<PosixProfile>();
    profile->stamp = PosixStampOf(info);
    time_t newest =
        info.st_mtim.tv_sec > info.st_ctim.tv_sec ? info.st_mtim.tv_sec : info.st_ctim.tv_sec;
    profile->settled = newest + PosixSettleSeconds <= now.tv_sec;
    PosixParseProfile(data.data(), used, profile.get());
    return profile;
}

namespace {
struct PosixCachedProfile {
    std::string path;
    std::shared_ptr<const PosixProfile> profile;
};
} // namespace

// A few paths at most: the gateway has one settings file; tests use more.
constexpr size_t PosixProfileCacheSize = 8;
static std::mutex PosixProfileGuard;
// Never destroyed: connection threads may still read settings while static
// objects are torn down at exit.
static std::vector<PosixCachedProfile>& PosixProfileCache = *new std::vector<PosixCachedProfile>;
static size_t PosixProfileNextSlot = 0;

// The current contents of the settings file at path; null if it cannot be read.
static std::shared_ptr<const PosixProfile> PosixCurrentProfile(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0)
        return nullptr;
    PosixFileStamp stamp = PosixStampOf(info);
    {
        std::lock_guard lock(PosixProfileGuard);
        for (const PosixCachedProfile& cached : PosixProfileCache) {
            if (cached.path == path && cached.profile->settled &&
                PosixSameStamp(cached.profile->stamp, stamp))
                return cached.profile;
        }
    }
    std::shared_ptr<const PosixProfile> profile = PosixLoadProfile(path);
    if (profile == nullptr)
        return nullptr;
    std::lock_guard lock(PosixProfileGuard);
    for (PosixCachedProfile& cached : PosixProfileCache) {
        if (cached.path == path) {
            cached.profile = profile;
            return profile;
        }
    }
    if (PosixProfileCache.size() < PosixProfileCacheSize) {
        PosixProfileCache.push_back({path, profile});
    } else {
        PosixProfileCache[PosixProfileNextSlot] = {path, profile};
        PosixProfileNextSlot = (PosixProfileNextSlot + 1) % PosixProfileCacheSize;
    }
    return profile;
}

// Finds the value of key in section; false if the file, section or key is missing.
static bool PosixProfileLookup(const char* section, const char* key, const char* path,
                               std::string* value) {
    std::shared_ptr<const PosixProfile> profile = PosixCurrentProfile(path);
    if (profile == nullptr)
        return false;
    // Kept per thread so that a lookup allocates nothing once it has run.
    thread_local std::string wanted;
    wanted.clear();
    PosixAppendProfileKey(&wanted, section, strlen(section), key, strlen(key));
    auto found = profile->values.find(wanted);
    if (found == profile->values.end())
        return false;
    *value = found->second;
    return true;
}

int PlatformProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::string value;
    if (!PosixProfileLookup(section, key, path, &value) || value.empty())
        return defaultValue;
    // Sign and leading digits; anything after them is ignored, wrapping at 32 bits.
    const char* p = value.c_str();
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    uint32_t result = 0;
    while (*p >= '0' && *p <= '9')
        result = result * 10u + static_cast<uint32_t>(*p++ - '0');
    if (negative)
        result = 0u - result;
    return static_cast<int>(result);
}

size_t PlatformProfileString(const char* section, const char* key, const char* defaultValue,
                             char* out, size_t size, const char* path) {
    if (size == 0)
        return 0;
    std::string value;
    if (!PosixProfileLookup(section, key, path, &value) || value.empty())
        value = defaultValue != nullptr ? defaultValue : "";
    size_t length = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(out, value.data(), length);
    out[length] = '\0';
    return length;
}

#endif // !_WIN32
