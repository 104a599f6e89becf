// What a killed `new` or conversion leaves beside a cartridge, and removing it: the names the
// folder code and the clean-up share, so that both agree on what is ours.
#pragma once

#include <sys/stat.h>

#include <string>

namespace store {

// A cartridge being built beside its final name: PATH.velmtape-new.
inline constexpr const char* kAsideSuffix = ".velmtape-new";
// Everything a cartridge folder may hold: what SQLite and the store make, nothing else.
inline constexpr const char* kMembers[] = {"index", "index-wal", "index-shm", "index-journal",
                                           "data"};

inline bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the files a cartridge folder may hold, then the folder; false when anything else
// is in it (then nothing is removed).
bool RemoveFolder(int parent, const std::string& name);

// What a killed `new` or conversion left beside `name` in `parent`: a folder of ours no
// velmtape holds, or an old file that already has its kept name too. Anything else is left.
void CleanAside(int parent, const std::string& name);

}  // namespace store
