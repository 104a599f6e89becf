// Opening the cartridge path safely: nothing is read from a FIFO, a device or a directory, a
// link planted at the last moment is not followed, and a second velmtape waits a bounded time
// for the lock on the file itself (the file is never replaced, so the lock guards the one
// inode every invocation opens).
#include "store/cartridge_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "store/file_kind.h"
#include "store/sqlite.h"

namespace store {

namespace {

constexpr size_t kSqliteHeaderLength = 100;
constexpr char kSqliteMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
constexpr char kOldMagic[] = "VELMCART";
constexpr size_t kUserVersionOffset = 60;
constexpr size_t kApplicationIdOffset = 68;
constexpr auto kLockPoll = std::chrono::milliseconds(50);
constexpr size_t kCopyChunk = size_t{1} << 20;

std::string Errno(const std::string& doing)
{
    return doing + ": " + std::strerror(errno);
}

uint32_t Be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

}  // namespace

CartridgeFile::CartridgeFile(const std::string& path, bool create, const OpenOptions& options)
    : path_(path)
{
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) != nullptr) {
        resolved_ = buffer;
    } else if (errno == ENOENT && create) {
        resolved_ = path;  // made below; a dangling link there makes O_EXCL fail
    } else if (errno == ENOENT) {
        throw StoreError("no such cartridge file (create one with 'velmtape -f " + path + " new')",
                         StoreError::Reason::Missing);
    } else {
        throw StoreError(Errno("cannot find the cartridge file"));
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat refuses it next.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd_ = open(resolved_.c_str(), O_RDWR | flags);
    if (fd_ < 0 && errno == ENOENT && create) {
        fd_ = open(resolved_.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0666);
        created_ = fd_ >= 0;
    }
    if (fd_ < 0) {
        if (errno == EISDIR) {
            throw StoreError("is a directory, not a cartridge file");
        }
        if (errno == ELOOP) {
            throw StoreError("is a symbolic link that changed while it was opened; refused");
        }
        throw StoreError(Errno("cannot open the cartridge file"));
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
        const std::string what = Errno("cannot examine the cartridge file");
        close(fd_);
        throw StoreError(what);
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd_);
        throw StoreError(std::string("is ") + FileKindName(info.st_mode) +
                         ", not a cartridge file; nothing was read from it");
    }
    mode_ = info.st_mode & 07777;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    const auto deadline = std::chrono::steady_clock::now() + options.busyWait;
    bool told = false;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            const std::string what = Errno("cannot lock the cartridge");
            close(fd_);
            throw StoreError(what);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            close(fd_);
            char waited[32];
            std::snprintf(waited, sizeof(waited), "%.1f", options.busyWait.count() / 1000.0);
            throw StoreError(std::string("cartridge is busy: another velmtape is still using it "
                                         "after ") +
                                 waited + " s of waiting; try again when it has finished",
                             StoreError::Reason::Busy);
        }
        if (!told && options.notice) {
            options.notice("cartridge is in use by another velmtape; waiting for it");
            told = true;
        }
        std::this_thread::sleep_for(kLockPoll);
    }
}

CartridgeFile::~CartridgeFile()
{
    if (fd_ >= 0) {
        close(fd_);  // releases the lock
    }
}

uint64_t CartridgeFile::size() const
{
    struct stat info {};
    return fstat(fd_, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

FileKind CartridgeFile::Sniff() const
{
    uint8_t header[kSqliteHeaderLength] = {};
    const ssize_t got = pread(fd_, header, sizeof(header), 0);
    if (got < 0) {
        throw StoreError(Errno("cannot read the cartridge file"));
    }
    const auto length = static_cast<size_t>(got);
    if (length == 0) {
        return FileKind::Empty;
    }
    if (length >= sizeof(kOldMagic) - 1 &&
        std::memcmp(header, kOldMagic, sizeof(kOldMagic) - 1) == 0) {
        return FileKind::OldCartridge;
    }
    if (length < kSqliteHeaderLength ||
        std::memcmp(header, kSqliteMagic, sizeof(kSqliteMagic)) != 0) {
        return FileKind::Other;
    }
    if (Be32(header + kApplicationIdOffset) != kApplicationId) {
        throw StoreError("an SQLite database, but not a VELM cartridge");
    }
    const uint32_t version = Be32(header + kUserVersionOffset);
    if (version != kStoreVersion) {
        throw StoreError("cartridge store version " + std::to_string(version) +
                         " is not supported");
    }
    return FileKind::Store;
}

bool CartridgeFile::SameFileAs(const std::string& path) const
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == device_ &&
           info.st_ino == inode_;
}

void CartridgeFile::Clear()
{
    if (ftruncate(fd_, 0) != 0) {
        throw StoreError(Errno("cannot empty the cartridge file"));
    }
    for (const char* side : {"-wal", "-shm", "-journal"}) {
        // unlink never follows a link: a planted one is removed, its target left alone.
        if (unlink((resolved_ + side).c_str()) != 0 && errno != ENOENT) {
            throw StoreError(Errno("cannot remove " + resolved_ + side));
        }
    }
}

namespace {

// Copies everything from `in` to `out` from offset 0; false on a failed read or write.
bool CopyAll(int in, int out)
{
    std::vector<uint8_t> buffer(kCopyChunk);
    for (off_t at = 0;;) {
        const ssize_t got = pread(in, buffer.data(), buffer.size(), at);
        if (got <= 0) {
            return got == 0;
        }
        if (pwrite(out, buffer.data(), static_cast<size_t>(got), at) != got) {
            return false;
        }
        at += got;
    }
}

}  // namespace

void CartridgeFile::CopyTo(const std::string& target) const
{
    const int out =
        open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_);
    if (out < 0) {
        throw StoreError(Errno("cannot keep the old cartridge file as " + target));
    }
    struct stat info {};
    if (fstat(fd_, &info) == 0) {
        (void)!fchown(out, info.st_uid, info.st_gid);  // kept when allowed, as cp -p does
    }
    const bool ok = CopyAll(fd_, out) && fchmod(out, mode_) == 0 && fsync(out) == 0;
    close(out);
    if (!ok) {
        unlink(target.c_str());
        throw StoreError("cannot keep the old cartridge file as " + target);
    }
}

bool CartridgeFile::CopyFrom(const std::string& source)
{
    const int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    const bool ok = ftruncate(fd_, 0) == 0 && CopyAll(in, fd_) && fsync(fd_) == 0;
    close(in);
    return ok;
}

void CartridgeFile::RemoveIfCreated()
{
    if (created_) {
        unlink(resolved_.c_str());
        for (const char* side : {"-wal", "-shm", "-journal"}) {
            unlink((resolved_ + side).c_str());
        }
        created_ = false;
    }
}

}  // namespace store
