// Old cartridges, converted once into a cartridge folder: the one-file SQLite store and the
// older VELMCART file. The folder is built complete beside the old file, then takes its
// name in one rename, the old file keeping its bytes under PATH + kOldStoreSuffix or
// kOldFileSuffix; a kill at any point leaves either the old file under its own name or the
// whole new folder there. Memory stays bounded: runs of objects are moved one at a time.
#pragma once

#include <sys/stat.h>

#include <string>

#include "store/cartridge_db.h"

namespace store {

class OldCartridge {
public:
    // Converts the old file at `path` (`store`: the one-file SQLite store, else VELMCART),
    // telling options.notice where the old file is kept. Throws StoreError; the old file is
    // then unchanged under its name.
    static void Convert(const std::string& path, bool store, const OpenOptions& options);

    // Whether the VELMCART file open on `fd` is one, by its format's own checks (header,
    // every field and object, length, checksum), read as a conversion reads it, in bounded
    // memory. Throws StoreError (Damaged) when not.
    static void CheckVelmcart(int fd);

    // Throws StoreError (Damaged) naming what is wrong with the old file.
    [[noreturn]] static void Damaged(const std::string& what);

private:
    static DriveState CopyStore(CartridgeDb& db, const std::string& path, const struct stat& old);
    static DriveState CopyVelmcart(CartridgeDb& db, int fd);
};

}  // namespace store
