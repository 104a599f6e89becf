// Removing what a killed `new` or conversion left: only folders and files that are ours, and
// only when no velmtape holds them.
#include "store/folder_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "store/cartridge_db.h"
#include "store/cartridge_folder.h"

namespace store {

bool RemoveFolder(int parent, const std::string& name)
{
    const int dir = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        return false;
    }
    DIR* listing = fdopendir(dup(dir));
    bool ours = listing != nullptr;
    while (ours) {
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            break;
        }
        const std::string entryName = entry->d_name;
        bool known = entryName == "." || entryName == "..";
        for (const char* member : kMembers) {
            known = known || entryName == member;
        }
        ours = known;
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    if (ours) {
        for (const char* member : kMembers) {
            unlinkat(dir, member, 0);
        }
    }
    close(dir);
    return ours && unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

void CleanAside(int parent, const std::string& name)
{
    const std::string aside = name + kAsideSuffix;
    struct stat info {};
    if (fstatat(parent, aside.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    const uid_t me = geteuid();
    if (S_ISDIR(info.st_mode) && (info.st_uid == me || me == 0)) {
        const int dir =
            openat(parent, aside.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir >= 0 && flock(dir, LOCK_EX | LOCK_NB) == 0) {
            RemoveFolder(parent, aside);
        }
        if (dir >= 0) {
            close(dir);
        }
        return;
    }
    if (S_ISREG(info.st_mode) && info.st_nlink >= 2) {
        for (const char* suffix : {kOldStoreSuffix, kOldFileSuffix}) {
            struct stat kept {};
            if (fstatat(parent, (name + suffix).c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
                SameFile(kept, info)) {
                unlinkat(parent, aside.c_str(), 0);
                return;
            }
        }
    }
}

void CleanKilledNew(const std::string& path)
{
    const int parent = open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent >= 0) {
        CleanAside(parent, NameOf(path));
        close(parent);
    }
}

}  // namespace store
