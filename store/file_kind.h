// What a path is when it is not the regular file a cartridge or a data file must be, in the
// words messages use ("is a directory, not ..."): one place for the cartridge store and the
// tool's data files.
#pragma once

#include <sys/stat.h>

namespace store {

inline const char* FileKindName(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    return "not a regular file";
}

}  // namespace store
