// Opening, checking, locking and placing cartridge folders. The lock is flock on the folder
// (or the old file being converted); a velmtape that got the lock on a folder that meanwhile
// left its name (replaced by `new --force`, or an old file converted) opens the name again.
#include "store/cartridge_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "store/file_kind.h"
#include "store/folder_leftovers.h"
#include "store/sqlite.h"

namespace store {

namespace {

constexpr auto kLockPoll = std::chrono::milliseconds(50);
constexpr int kReopenTries = 5;

[[noreturn]] void Refuse(const std::string& what)
{
    throw StoreError(what, StoreError::Reason::Refused);
}

std::string UserName(uid_t uid)
{
    const passwd* user = getpwuid(uid);
    return user != nullptr ? std::string(user->pw_name) : "uid " + std::to_string(uid);
}

// Takes the lock on `fd`, waiting up to the options' time; closes fd and throws otherwise.
void Lock(int fd, const OpenOptions& options)
{
    const auto deadline = std::chrono::steady_clock::now() + options.busyWait;
    bool told = false;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            const std::string what = Errno("cannot lock the cartridge");
            close(fd);
            throw StoreError(what);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            close(fd);
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

// True when `path` still names the file open as `fd` (it may have been replaced while this
// process waited for the lock).
bool StillNamed(const std::string& path, int fd)
{
    struct stat named {};
    struct stat held {};
    return stat(path.c_str(), &named) == 0 && fstat(fd, &held) == 0 && SameFile(named, held);
}

// The folder is this user's (root may use anyone's) and nobody else may write it.
void CheckFolder(int dir, const std::string& path)
{
    struct stat info {};
    if (fstat(dir, &info) != 0) {
        throw StoreError(Errno("cannot examine the cartridge folder"));
    }
    const uid_t me = geteuid();
    if (me != 0 && info.st_uid != me) {
        Refuse("the cartridge folder belongs to " + UserName(info.st_uid) +
               ", not to you: a cartridge is used only by its owner; to take it over, copy it "
               "(cp -r " +
               path + " MINE) or have its owner run 'chown -R " + UserName(me) + " " + path + "'");
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        Refuse(
            "the cartridge folder can be written by group or others, who could change the "
            "cartridge under you; fix it with 'chmod go-w " +
            path + "'");
    }
}

// A file inside the folder, when present: a regular file of the folder's owner, one link.
void CheckMember(int dir, const char* name, const std::string& path)
{
    struct stat folder {};
    struct stat info {};
    if (fstat(dir, &folder) != 0) {
        throw StoreError(Errno("cannot examine the cartridge folder"));
    }
    if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throw StoreError(Errno("cannot examine " + path + "/" + name));
    }
    const std::string member = path + "/" + name;
    if (!S_ISREG(info.st_mode)) {
        Refuse(member + " is " + FileKindName(info.st_mode) +
               ", not a file of the cartridge; nothing was read from it");
    }
    if (info.st_nlink != 1) {
        Refuse(member + " has " + std::to_string(info.st_nlink) +
               " names (hard links): a cartridge's files have one; remove the other names");
    }
    if (info.st_uid != folder.st_uid) {
        Refuse(member + " belongs to " + UserName(info.st_uid) + ", not to the folder's owner " +
               UserName(folder.st_uid));
    }
}

}  // namespace

int OpenOldFile(const std::string& path, const OpenOptions& options)
{
    for (int tries = 0; tries < kReopenTries; ++tries) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            throw StoreError(Errno("cannot open the cartridge"));
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            close(fd);
            throw StoreError("the cartridge changed while it was opened; refused");
        }
        Lock(fd, options);
        if (StillNamed(path, fd)) {
            return fd;
        }
        close(fd);
    }
    throw StoreError("the cartridge keeps changing while it is opened; refused");
}

CartridgeFolder::CartridgeFolder(std::string path, int parent, int dir)
    : path_(std::move(path)), parent_(parent), dir_(dir)
{
}

CartridgeFolder::~CartridgeFolder()
{
    if (data_ >= 0) {
        close(data_);
    }
    if (dir_ >= 0) {
        close(dir_);  // releases the lock
    }
    if (parent_ >= 0) {
        close(parent_);
    }
}

std::unique_ptr<CartridgeFolder> CartridgeFolder::Open(const std::string& path,
                                                       const OpenOptions& options)
{
    for (int tries = 0; tries < kReopenTries; ++tries) {
        const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) {
            if (errno == ENOENT) {
                throw StoreError(
                    "no such cartridge (create one with 'velmtape -f " + path + " new')",
                    StoreError::Reason::Missing);
            }
            throw StoreError(Errno("cannot open the cartridge folder"));
        }
        std::unique_ptr<CartridgeFolder> folder(new CartridgeFolder(path, -1, dir));
        CheckFolder(dir, path);
        Lock(dir, options);
        if (!StillNamed(path, dir)) {
            continue;  // replaced while we waited: the cartridge is the one there now
        }
        // What a killed `new` or conversion left beside goes now (never one still in use).
        CleanKilledNew(path);
        for (const char* member : kMembers) {
            CheckMember(dir, member, path);
        }
        struct stat info {};
        if (fstatat(dir, "index", &info, AT_SYMLINK_NOFOLLOW) != 0) {
            throw StoreError("is a folder but no cartridge (it holds no index)");
        }
        if (fstatat(dir, "index-journal", &info, AT_SYMLINK_NOFOLLOW) == 0) {
            throw StoreError("damaged cartridge: an index journal this store never writes",
                             StoreError::Reason::Damaged);
        }
        return folder;
    }
    throw StoreError("the cartridge keeps changing while it is opened; refused");
}

std::unique_ptr<CartridgeFolder> CartridgeFolder::MakeAside(const std::string& path)
{
    const int parent = open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        throw StoreError(Errno("cannot open the folder that holds the cartridge"));
    }
    const std::string name = NameOf(path);
    const std::string aside = name + kAsideSuffix;
    CleanAside(parent, name);
    if (mkdirat(parent, aside.c_str(), 0700) != 0) {
        const std::string what =
            errno == EEXIST
                ? path + kAsideSuffix +
                      " is in the way: velmtape builds the new cartridge there; it "
                      "is in use or not velmtape's, so it was left alone"
                : Errno("cannot make the new cartridge beside it (" + path + kAsideSuffix + ")");
        close(parent);
        throw StoreError(what);
    }
    const int dir = openat(parent, aside.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::unique_ptr<CartridgeFolder> folder(new CartridgeFolder(path, parent, dir));
    folder->aside_ = true;
    if (dir < 0 || fchmod(dir, 0700) != 0 || flock(dir, LOCK_EX | LOCK_NB) != 0) {
        const std::string what = Errno("cannot make the new cartridge beside it");
        folder->Abandon();
        throw StoreError(what);
    }
    return folder;
}

std::string CartridgeFolder::IndexName() const
{
    return "/proc/self/fd/" + std::to_string(dir_) + "/index";
}

void CartridgeFolder::OpenFiles()
{
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    data_ =
        aside_ ? openat(dir_, "data", flags | O_CREAT | O_EXCL, 0600) : openat(dir_, "data", flags);
    if (data_ < 0) {
        throw StoreError(errno == ENOENT
                             ? std::string("damaged cartridge: its data file is missing")
                             : Errno("cannot open " + path_ + "/data"),
                         errno == ENOENT ? StoreError::Reason::Damaged : StoreError::Reason::Other);
    }
    // Checked again on the open file: nothing was swapped in between.
    struct stat info {};
    if (fstat(data_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        Refuse(path_ + "/data is not a regular file with one name");
    }
}

void CartridgeFolder::SyncDir() const
{
    if (fsync(dir_) != 0) {
        throw StoreError(Errno("cannot flush the cartridge folder"));
    }
}

void CartridgeFolder::PutInPlace(bool exchange)
{
    const std::string name = NameOf(path_);
    const std::string aside = name + kAsideSuffix;
    if (renameat2(parent_, aside.c_str(), parent_, name.c_str(),
                  exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE) != 0) {
        throw StoreError(errno == EEXIST ? std::string("cartridge exists; add --force to replace "
                                                       "it with a blank one")
                                         : Errno("cannot put the new cartridge in place"));
    }
    placed_ = true;
    if (fsync(parent_) != 0) {
        throw StoreError(Errno("cannot flush the folder that holds the cartridge"));
    }
}

void CartridgeFolder::RemoveAside(const std::string& keptAs) const
{
    const std::string aside = NameOf(path_) + kAsideSuffix;
    struct stat info {};
    if (fstatat(parent_, aside.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        RemoveFolder(parent_, aside);
    } else if (keptAs.empty()) {
        unlinkat(parent_, aside.c_str(), 0);
    } else {
        CleanAside(parent_, NameOf(path_));
    }
    fsync(parent_);
}

void CartridgeFolder::KeepOld(const std::string& suffix) const
{
    const std::string name = NameOf(path_);
    if (linkat(parent_, name.c_str(), parent_, (name + suffix).c_str(), 0) != 0 &&
        errno != EEXIST) {
        throw StoreError(Errno("cannot keep the old cartridge as " + path_ + suffix));
    }
    struct stat old {};
    struct stat kept {};
    if (fstatat(parent_, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstatat(parent_, (name + suffix).c_str(), &kept, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(old, kept)) {
        throw StoreError("cannot keep the old cartridge as " + path_ + suffix +
                         ": that name is taken");
    }
    if (fsync(parent_) != 0) {
        throw StoreError(Errno("cannot flush the folder that holds the cartridge"));
    }
}

void CartridgeFolder::Abandon()
{
    if (aside_ && !placed_ && parent_ >= 0) {
        RemoveFolder(parent_, NameOf(path_) + kAsideSuffix);
    }
}

void CartridgeFolder::GiveTo(uid_t owner, gid_t group) const
{
    if (geteuid() != 0) {
        return;
    }
    for (const char* member : kMembers) {
        fchownat(dir_, member, owner, group, AT_SYMLINK_NOFOLLOW);
    }
    if (fchown(dir_, owner, group) != 0) {
        throw StoreError(Errno("cannot give the cartridge folder to its owner"));
    }
}

}  // namespace store
