// The cartridge file as the store finds it on disk, checked before a byte of it is read as
// data: the path resolved once (a symbolic link the user made is followed to its file, which
// is updated in place), opened without following a link and without blocking, required to be
// a regular file, and locked against a second velmtape for as long as this one runs.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace store {

// What the first bytes of the file say it is.
enum class FileKind { Empty, Store, OldCartridge, Other };

struct OpenOptions {
    // How long to wait for another velmtape to finish with the cartridge.
    std::chrono::milliseconds busyWait{5000};
    // Told once when the wait begins (the tool prints it on stderr).
    std::function<void(const std::string&)> notice;
};

class CartridgeFile {
public:
    // Opens and locks an existing cartridge file. `create` makes the file (mode 0666 less the
    // umask) when it does not exist. Throws StoreError with the reason: missing, not a
    // regular file, unreadable, busy beyond the wait.
    CartridgeFile(const std::string& path, bool create, const OpenOptions& options);
    ~CartridgeFile();
    CartridgeFile(const CartridgeFile&) = delete;
    CartridgeFile& operator=(const CartridgeFile&) = delete;

    const std::string& path() const { return path_; }          // as the user named it
    const std::string& resolved() const { return resolved_; }  // the file itself
    bool created() const { return created_; }
    int fd() const { return fd_; }
    uint64_t size() const;
    mode_t mode() const { return mode_; }

    // Reads the header (at most 100 bytes, never the whole file) and says what it is.
    FileKind Sniff() const;
    // True when the database file SQLite opened is the one checked here (no swap between).
    bool SameFileAs(const std::string& path) const;
    // Empties the file in place (for `new --force` and conversion); SQLite's side files of
    // an older database beside it are removed so that none of their pages come back.
    void Clear();
    // Copies the file's bytes to `target`, a new file made with the same permissions (and
    // owner when allowed), never through a link, flushed to disk. Throws StoreError.
    void CopyTo(const std::string& target) const;
    // Puts the bytes of `source` back into the file in place; false when that failed.
    bool CopyFrom(const std::string& source);
    // Removes the file when this object created it and the creation did not finish.
    void RemoveIfCreated();

private:
    std::string path_;
    std::string resolved_;
    int fd_ = -1;
    bool created_ = false;
    mode_t mode_ = 0;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The store's marks in an SQLite header: application_id 'VELM' and this layout's version.
inline constexpr uint32_t kApplicationId = 0x56454C4D;
inline constexpr uint32_t kStoreVersion = 1;

}  // namespace store
