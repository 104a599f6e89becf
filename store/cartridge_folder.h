// The cartridge folder as the store finds it on disk, checked before a byte of it is used:
// the folder is opened once through the user's path (links followed by the kernel, never
// resolved by us), must belong to this user (root may use anyone's) and be writable by
// nobody else, and is locked against a second velmtape for as long as this one runs. The
// files inside are opened relative to it, never through a link, and must be regular files
// of the folder's owner with one link each:
//   index                the SQLite index (index-wal and index-shm beside it while in use)
//   data                 the blocks' bytes, appended
// A new cartridge is built complete in a folder beside PATH (PATH.velmtape-new) and then put
// in place with one rename, so that PATH is always either what it was or the new cartridge.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace store {

struct OpenOptions {
    // How long to wait for another velmtape to finish with the cartridge.
    std::chrono::milliseconds busyWait{5000};
    // Told what happens that the user should know (waiting, conversion; the tool prints it).
    std::function<void(const std::string&)> notice;
};

// What a path names, as the kernel resolves it.
enum class PathKind {
    Missing,      // nothing there (a dangling link counts as something: it is never replaced)
    Folder,       // a directory: a cartridge folder, or refused when it is none
    OldStore,     // a regular file holding the one-file SQLite store
    OldVelmcart,  // a regular file in the older VELMCART format
    OtherFile,    // a regular file that is no cartridge
};

class CartridgeFolder {
public:
    // Opens and locks the folder at `path` and checks it and the files in it. Throws
    // StoreError (Missing, Busy, Refused with the fix, Other).
    static std::unique_ptr<CartridgeFolder> Open(const std::string& path,
                                                 const OpenOptions& options);
    // Makes a new, empty, locked cartridge folder beside `path` (PATH.velmtape-new), a
    // leftover of a killed run removed first. Throws StoreError.
    static std::unique_ptr<CartridgeFolder> MakeAside(const std::string& path);
    ~CartridgeFolder();
    CartridgeFolder(const CartridgeFolder&) = delete;
    CartridgeFolder& operator=(const CartridgeFolder&) = delete;

    const std::string& path() const { return path_; }
    int dir() const { return dir_; }
    int data() const { return data_; }
    // The index as SQLite opens it: through this folder's descriptor.
    std::string IndexName() const;
    bool created() const { return aside_; }

    // Opens `data` (made when the folder is new) and checks the SQLite side files present.
    void OpenFiles();
    // Flushes the folder's entries (new files, renames) to disk.
    void SyncDir() const;
    // A folder made by MakeAside takes the place of `path`: put there when nothing is (the
    // whole path), or exchanged with what is there (a cartridge folder or an old file, which
    // is then at the aside name, for RemoveAside). Throws StoreError.
    void PutInPlace(bool exchange);
    // After PutInPlace(true): removes the old cartridge left at the aside name; an old file
    // is unlinked only when `keptAs` (its new name, beside) already names it.
    void RemoveAside(const std::string& keptAs) const;
    // Gives the old file at `path` its kept name (PATH + suffix) as a second link; a link
    // already there to the same file is fine. Throws StoreError.
    void KeepOld(const std::string& suffix) const;
    // Removes the folder this object made aside, when it never took the place.
    void Abandon();
    // Gives the folder and its files to `owner` (root converting another user's cartridge).
    void GiveTo(uid_t owner, gid_t group) const;

private:
    CartridgeFolder(std::string path, int parent, int dir);

    std::string path_;
    int parent_ = -1;  // the folder holding path_ (made aside only)
    int dir_ = -1;
    int data_ = -1;
    bool aside_ = false;
    bool placed_ = false;
};

// What `path` names, without reading more than a file's first 100 bytes. Throws StoreError
// for what can never be a cartridge (a FIFO, a device: nothing is read from it).
PathKind Examine(const std::string& path);

// Removes what a `new` or a conversion killed before it finished left beside `path` (a
// folder of ours that no velmtape holds), so that any next velmtape leaves nothing behind.
void CleanKilledNew(const std::string& path);

// Opens `path` as an old cartridge file, locked like a folder: the descriptor, or throws.
int OpenOldFile(const std::string& path, const OpenOptions& options);

// The folder and the final name of a path ("a/b/" gives "a" and "b"), for the renames beside.
std::string ParentOf(const std::string& path);
std::string NameOf(const std::string& path);

// An error's text: "doing: strerror(errno)".
std::string Errno(const std::string& doing);

// The store's marks in an SQLite header: application_id 'VELM'; version 1 is the one-file
// store, version 2 the index of a cartridge folder.
inline constexpr uint32_t kApplicationId = 0x56454C4D;
inline constexpr uint32_t kOldStoreVersion = 1;
inline constexpr uint32_t kIndexVersion = 2;

}  // namespace store
