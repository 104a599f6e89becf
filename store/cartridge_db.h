// A simulated cartridge kept in one SQLite database file: the tape's layout and objects, the
// drive's settings and position, and whether the cartridge is ejected or its removal
// prevented. Nothing of the tape is loaded into memory; the drive reaches it through
// Medium() (store/db_medium.h), and every change goes into the file in transactions:
// one per command, a long write committed every kCommitBytes so that an interrupted write
// keeps every block committed before the interruption.
//
// Layout (user_version 1, application_id 'VELM', page size 65536, WAL journal):
//   tape(id = 1, capacity, density, write_protected)
//   partition(part, capacity, end_of_data, used_bytes)
//   drive(id = 1, partition, position, block_length, report_setmarks, compression,
//         decompression, compression_algorithm, decompression_algorithm, ejected,
//         removal_prevented)
//   file_count(id = 1, partition, position, file_number, block_number, at_eod): the tool's
//         count of tape files and blocks (-1 unknown), valid only while the drive stands at
//         that partition and position; a store made before it gains the table at its next
//         commit, and a velmtape that knows nothing of it leaves a count that no longer
//         matches the position, so it reads as unknown; the index extent_layout(part, addr,
//         kind, count, length) gives the layout without reading the rows holding the bytes
//   extent(part, addr, kind, count, length, rank, data): `count` consecutive objects from
//         `addr`: blocks of `length` bytes laid end to end in `data` (kind 0), or filemarks
//         (1) or setmarks (2); `rank` counts the marks of the kind before the extent, so the
//         n-th mark is found through an index and not by walking the tape.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive_types.h"
#include "sim/medium.h"
#include "store/cartridge_file.h"
#include "store/sqlite.h"

namespace store {

// Bytes appended between commits of a long write.
inline constexpr uint64_t kCommitBytes = uint64_t{8} << 20;
// The largest run of blocks one row holds (one WRITE command of fixed blocks is cut there).
inline constexpr uint64_t kMaxRunBytes = uint64_t{1} << 20;
// What an old cartridge file is renamed to when converted: FILE + this suffix.
inline constexpr const char* kOldFileSuffix = ".velmcart-v1";

// Where the tape stands counted as `mt` counts it: tape files (filemarks crossed from the
// beginning of the partition) and blocks since the last filemark, -1 when unknown; and
// whether the tape is known to stand at end of data. The drive cannot say this itself: the
// tool counts what it moves, as a Unix tape driver does.
struct FilePosition {
    int64_t file = -1;
    int64_t block = -1;
    bool atEndOfData = false;
    bool operator==(const FilePosition& other) const
    {
        return file == other.file && block == other.block && atEndOfData == other.atEndOfData;
    }
};

// What the drive holds of the cartridge between runs.
struct DriveState {
    uint32_t partition = 0;
    uint64_t position = 0;
    sim::DriveSettings settings;
    bool ejected = false;           // unloaded and handed out; `load` puts it back
    bool removalPrevented = false;  // PREVENT MEDIUM REMOVAL in force
    FilePosition counted;           // the tool's file and block numbers
    bool operator==(const DriveState& other) const;
    bool operator!=(const DriveState& other) const { return !(*this == other); }
};

class DbMedium;

// A run of objects as the store keeps it: `count` blocks of `length` bytes, or marks.
struct ExtentInfo {
    uint64_t address = 0;
    sim::ObjectKind kind = sim::ObjectKind::Block;
    uint64_t count = 0;
    uint32_t length = 0;
};

class CartridgeDb {
public:
    // Opens the cartridge at `path`: a store is checked (header, small tables, contents that
    // a drive could hold) and refused with the reason, unchanged, when damaged; an old
    // VELMCART file is converted once into a store in the same file, the old bytes kept as
    // path + kOldFileSuffix, and options.notice told. Throws StoreError.
    static std::unique_ptr<CartridgeDb> Open(const std::string& path, const OpenOptions& options);
    // Makes `path` a store holding `cartridge` (its objects, layout, position and settings).
    // An existing file is emptied in place (links and permissions stay) only with `replace`;
    // a file this call created is removed again when it fails. Throws StoreError.
    static std::unique_ptr<CartridgeDb> Create(const std::string& path,
                                               const sim::Cartridge& cartridge, bool replace,
                                               const OpenOptions& options);
    ~CartridgeDb();
    CartridgeDb(const CartridgeDb&) = delete;
    CartridgeDb& operator=(const CartridgeDb&) = delete;

    // The drive state as the file held it when opened (or as last committed).
    const DriveState& State() const { return state_; }
    // The tape, for a sim::Drive; reads and writes go to this database, which must outlive it.
    std::unique_ptr<sim::Medium> Medium();
    // The runs of objects of a partition in address order, without their bytes: one row a
    // run, so a layout costs the number of runs, never the tape's data.
    std::vector<ExtentInfo> Extents(uint32_t partition);
    // Records `state` and commits every change made since the last commit. Writes nothing when
    // nothing changed.
    void Commit(const DriveState& state);
    // Drops every change since the last commit, after a failure of the file (a full disk, a
    // file-size limit) or of a command: State() is then what the file holds. Never throws.
    void Abandon();

private:
    friend class DbMedium;
    struct Part {
        uint64_t capacity = 0;
        uint64_t endOfData = 0;
        uint64_t usedBytes = 0;
    };

    explicit CartridgeDb(std::unique_ptr<CartridgeFile> file);
    void Configure();
    void CreateSchema();
    void Fill(const sim::Cartridge& cartridge);
    void Load();
    void Validate();
    void ConvertOldFile(const OpenOptions& options);
    // Starts the write transaction of the running command if none is open.
    void BeginWrite();
    // Counts appended bytes and commits when a chunk is full, the tape standing at the end
    // of what was written (where the drive stands while it writes).
    void Appended(uint32_t partition, uint64_t bytes);
    void WriteRows(const DriveState& state);
    void LoadCounted();
    void InsertExtent(uint32_t partition, uint64_t address, sim::ObjectKind kind, uint64_t count,
                      uint32_t length, uint64_t rank, const uint8_t* data);

    std::unique_ptr<CartridgeFile> file_;  // outlives the connection: its lock guards it
    std::unique_ptr<Database> db_;
    std::unique_ptr<Statement> insert_;
    uint64_t capacityBytes_ = 0;
    uint8_t densityCode_ = 0;
    bool writeProtected_ = false;
    std::vector<Part> parts_;
    DriveState state_;
    bool countTable_ = true;  // the file_count table and the extent_layout index exist
    bool writing_ = false;    // a write transaction is open
    uint64_t pending_ = 0;    // bytes appended since the last commit
};

}  // namespace store
