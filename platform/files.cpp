// Data-fork reading over POSIX files: a reference is a resolved path, an open fork is a file
// descriptor with its own mark, known by a reference number.
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Fork {
    explicit Fork(int descriptor) : fd(descriptor) {}
    ~Fork() { ::close(fd); }
    Fork(const Fork &) = delete;
    Fork &operator=(const Fork &) = delete;

    const int fd;
    std::mutex markLock; // one read at a time moves the mark
    int64_t mark = 0;
};

constexpr FSIORefNum kHighestRefNum = 0x7FFF;

struct ForkTable {
    std::mutex lock;
    std::map<FSIORefNum, std::shared_ptr<Fork>> open;
    // Numbers are handed out in turn, so a stale number is unlikely to name a newer fork.
    FSIORefNum next = 1;
};

ForkTable &forks() {
    static auto *table = new ForkTable;
    return *table;
}

std::shared_ptr<Fork> findFork(FSIORefNum refNum) {
    ForkTable &table = forks();
    std::lock_guard guard(table.lock);
    auto it = table.open.find(refNum);
    return it == table.open.end() ? nullptr : it->second;
}

// Enters the fork under a free reference number; 0 when every number is taken.
FSIORefNum enterFork(std::shared_ptr<Fork> fork) {
    ForkTable &table = forks();
    std::lock_guard guard(table.lock);
    for (int tried = 0; tried < kHighestRefNum; ++tried) {
        FSIORefNum candidate = table.next;
        table.next = candidate == kHighestRefNum ? 1 : FSIORefNum(candidate + 1);
        if (table.open.emplace(candidate, fork).second) return candidate;
    }
    return 0;
}

OSErr errorForOpen(int error) {
    switch (error) {
    case ENOENT:
        return fnfErr;
    case EACCES:
    case EPERM:
        return permErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    default:
        return ioErr;
    }
}

// Where a read starts, or posErr / errFSBadPosMode.
OSErr readStart(const Fork &fork, UInt16 positionMode, SInt64 offset, int64_t *start) {
    constexpr UInt16 kModeBits = 0x0003, kHintBits = pleaseCacheMask | noCacheMask;
    if (positionMode & ~(kModeBits | kHintBits)) return errFSBadPosMode;
    int64_t base = 0;
    switch (positionMode & kModeBits) {
    case fsAtMark:
        *start = fork.mark;
        return noErr;
    case fsFromStart:
        base = 0;
        break;
    case fsFromLEOF: {
        struct stat info;
        if (::fstat(fork.fd, &info) != 0) return ioErr;
        base = info.st_size;
        break;
    }
    case fsFromMark:
        base = fork.mark;
        break;
    }
    if (__builtin_add_overflow(base, offset, start) || *start < 0) return posErr;
    return noErr;
}

} // namespace

OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) {
    if (isDirectory) *isDirectory = false;
    if (!path || !ref) return paramErr;
    char resolved[PATH_MAX];
    if (!::realpath(reinterpret_cast<const char *>(path), resolved)) {
        switch (errno) {
        case ENOENT:
            return fnfErr;
        case ENOTDIR:
            return dirNFErr;
        case ENAMETOOLONG:
            return bdNamErr;
        case EACCES:
            return permErr;
        default:
            return ioErr;
        }
    }
    struct stat info;
    if (::stat(resolved, &info) != 0) return fnfErr;
    std::memset(ref, 0, sizeof *ref);
    std::strcpy(ref->path, resolved); // realpath's result always fits PATH_MAX
    if (isDirectory) *isDirectory = S_ISDIR(info.st_mode);
    return noErr;
}

OSErr FSGetDataForkName(HFSUniStr255 *dataForkName) {
    if (!dataForkName) return paramErr;
    std::memset(dataForkName, 0, sizeof *dataForkName);
    return noErr;
}

OSErr FSOpenFork(const FSRef *ref, UniCharCount forkNameLength, const UniChar *forkName,
                 SInt8 permissions, FSIORefNum *forkRefNum) {
    if (forkRefNum) *forkRefNum = 0;
    if (!ref || !forkRefNum || (forkNameLength > 0 && !forkName) || forkNameLength > 255)
        return paramErr;
    if (permissions < fsCurPerm || permissions > fsRdWrShPerm) return paramErr;
    if (permissions != fsCurPerm && permissions != fsRdPerm) return permErr;
    if (::strnlen(ref->path, sizeof ref->path) == sizeof ref->path) return paramErr;
    // A file has no fork but its data fork, whose name is empty.
    if (forkNameLength != 0) return errFSForkNotFound;

    // Opened without blocking, so that a FIFO does not hold the caller until a writer comes;
    // only a regular file has a data fork. Reads then block as usual.
    int fd = ::open(ref->path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errorForOpen(errno);
    auto fork = std::make_shared<Fork>(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0) return ioErr;
    if (!S_ISREG(info.st_mode)) return notAFileErr;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return ioErr;
    FSIORefNum refNum = enterFork(std::move(fork));
    if (refNum == 0) return tmfoErr;
    *forkRefNum = refNum;
    return noErr;
}

OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64 *forkSize) {
    if (forkSize) *forkSize = 0;
    if (!forkSize) return paramErr;
    std::shared_ptr<Fork> fork = findFork(forkRefNum);
    if (!fork) return rfNumErr;
    struct stat info;
    if (::fstat(fork->fd, &info) != 0) return ioErr;
    *forkSize = info.st_size;
    return noErr;
}

OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void *buffer, ByteCount *actualCount) {
    if (actualCount) *actualCount = 0;
    if (!buffer && requestCount > 0) return paramErr;
    std::shared_ptr<Fork> fork = findFork(forkRefNum);
    if (!fork) return rfNumErr;

    std::lock_guard guard(fork->markLock);
    int64_t start = 0;
    OSErr error = readStart(*fork, positionMode, positionOffset, &start);
    if (error != noErr) return error;

    auto *bytes = static_cast<char *>(buffer);
    ByteCount done = 0;
    while (done < requestCount) {
        // pread takes at most SSIZE_MAX at once, and its offset must stay representable.
        size_t chunk = std::min<ByteCount>(requestCount - done, 1u << 30);
        ssize_t got = ::pread(fork->fd, bytes + done, chunk, off_t(start + int64_t(done)));
        if (got < 0) {
            if (errno == EINTR) continue;
            error = ioErr;
            break;
        }
        if (got == 0) {
            error = eofErr;
            break;
        }
        done += ByteCount(got);
    }
    fork->mark = start + int64_t(done);
    if (actualCount) *actualCount = done;
    return error;
}

OSErr FSCloseFork(FSIORefNum forkRefNum) {
    std::shared_ptr<Fork> fork;
    {
        ForkTable &table = forks();
        std::lock_guard guard(table.lock);
        auto it = table.open.find(forkRefNum);
        if (it == table.open.end()) return rfNumErr;
        fork = std::move(it->second);
        table.open.erase(it);
    }
    // The descriptor closes here, or when a read still running on it lets go.
    return noErr;
}
