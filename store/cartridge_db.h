// A simulated cartridge kept in a cartridge folder (store/cartridge_folder.h): the blocks'
// bytes appended to its data file, and in its index (SQLite) the tape's layout, where each
// run of blocks lies in the data file with one checksum per block, the drive's settings and
// position, and whether the cartridge is ejected or its removal prevented. Nothing of the
// tape is loaded into memory; the drive reaches it through Medium() (store/db_medium.h).
//
// Every change goes into the index in transactions: one per command, a long write committed
// every kCommitBytes. The data a commit points at is flushed before it commits, so whatever
// the index says was committed is on disk; data past the index's end (a write cut short) is
// cut off when the cartridge is next opened. Bytes the committed index still points at are
// never overwritten: a rewrite that would reuse them commits the cut first.
//
// Layout of the index (user_version 2, application_id 'VELM', 4096-byte pages with a
// checksum each, WAL journal):
//   tape(id = 1, capacity, density, write_protected, data_end): data_end is how many bytes
//         of the data file the index accounts for
//   partition(part, capacity, end_of_data, used_bytes)
//   drive(id = 1, partition, position, block_length, report_setmarks, compression,
//         decompression, compression_algorithm, decompression_algorithm, ejected,
//         removal_prevented)
//   file_count(id = 1, partition, position, file_number, block_number, at_eod): the tool's
//         count of tape files and blocks (-1 unknown), valid only while the drive stands at
//         that partition and position
//   extent(part, addr, kind, count, length, rank, offset, sums): `count` consecutive objects
//         from `addr`: blocks of `length` bytes laid end to end in the data file from `offset`,
//         with their XXH3 checksums (8 bytes each, big-endian) in `sums` (kind 0), or
//         filemarks (1) or setmarks (2); `rank` counts the marks of the kind before the
//         extent, so the n-th mark is found through an index and not by walking the tape.
#pragma once

#include <sys/types.h>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive_types.h"
#include "sim/medium.h"
#include "store/cartridge_folder.h"
#include "store/sqlite.h"

namespace store {

// Bytes appended between commits of a long write.
inline constexpr uint64_t kCommitBytes = uint64_t{8} << 20;
// The largest run of blocks one row holds (one WRITE command of fixed blocks is cut there).
inline constexpr uint64_t kMaxRunBytes = uint64_t{8} << 20;
inline constexpr uint64_t kMaxRunBlocks = 16384;
// What an old cartridge file is kept as, beside the folder that replaces it: PATH + these.
inline constexpr const char* kOldFileSuffix = ".velmcart-v1";  // the VELMCART file
inline constexpr const char* kOldStoreSuffix = ".sqlite-v1";   // the one-file SQLite store

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
    // Opens the cartridge at `path`: a folder is checked (owner, permissions, its files, the
    // index's schema and rows) and refused with the reason, unchanged, when it cannot be
    // used; an old cartridge file (the one-file store or a VELMCART file) is converted once
    // into a folder in its place, the old file kept beside it (kOldStoreSuffix,
    // kOldFileSuffix), and options.notice told. Throws StoreError.
    static std::unique_ptr<CartridgeDb> Open(const std::string& path, const OpenOptions& options);
    // Makes `path` a cartridge holding `cartridge` (its objects, layout, position and
    // settings). An existing cartridge (folder or old file) is replaced only with `replace`,
    // and nothing else ever is. The cartridge there stays whole until the new one is.
    // Throws StoreError.
    static std::unique_ptr<CartridgeDb> Create(const std::string& path,
                                               const sim::Cartridge& cartridge, bool replace,
                                               const OpenOptions& options);
    ~CartridgeDb();
    CartridgeDb(const CartridgeDb&) = delete;
    CartridgeDb& operator=(const CartridgeDb&) = delete;

    // The drive state as the index held it when opened (or as last committed).
    const DriveState& State() const { return state_; }
    // The tape, for a sim::Drive; reads and writes go to this cartridge, which must outlive it.
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
    friend class OldCartridge;
    struct Part {
        uint64_t capacity = 0;
        uint64_t endOfData = 0;
        uint64_t usedBytes = 0;
    };

    explicit CartridgeDb(std::unique_ptr<CartridgeFolder> folder);
    // A new cartridge in a folder made aside, holding `cartridge`, committed and flushed.
    static std::unique_ptr<CartridgeDb> Build(const std::string& path,
                                              const sim::Cartridge& cartridge);
    // The same built run by run (an old cartridge converted): an empty index made aside,
    // then the tape's layout, its runs in order (each checked against the tape: split,
    // ranked and counted here), and the drive's state, committed and flushed. A failure
    // abandons the folder made aside.
    static std::unique_ptr<CartridgeDb> BuildAside(const std::string& path);
    void AddPartition(uint64_t capacity);
    void AddRun(uint32_t partition, sim::ObjectKind kind, uint64_t count, uint32_t length,
                const uint8_t* data);
    void Finish(const DriveState& state, uid_t owner, gid_t group);
    // SQLite on the folder's index, hardened against what a planted database could do; the
    // schema made (`create`) or checked.
    void Attach(bool create);
    void CheckSchema();
    void Fill(const sim::Cartridge& cartridge);
    void Load();
    void Validate();
    void LoadCounted();
    void CutData();
    void CheckPlaces();
    // Starts the write transaction of the running command if none is open.
    void BeginWrite();
    // Counts appended bytes and commits when a chunk is full, the tape standing at the end
    // of what was written (where the drive stands while it writes).
    void Appended(uint32_t partition, uint64_t bytes);
    // Keeps appendedRun_: `blocks` appended at `from`, or (with no blocks) another change.
    void Changing(uint32_t partition, uint64_t from, uint64_t blocks);
    void CommitNow(const DriveState& state);
    void WriteRows(const DriveState& state);
    // One row of the extent table; a run of blocks has its bytes appended to the data file.
    void AppendRun(uint32_t partition, uint64_t address, sim::ObjectKind kind, uint64_t count,
                   uint32_t length, uint64_t rank, const uint8_t* data);
    // After rows were removed: the data file's bytes past the remaining rows are free again.
    void Reclaim();
    void WriteData(const uint8_t* data, uint64_t length);
    // Whether `count` blocks of `length` at `address` continue the open row, and joining them.
    bool Joins(uint32_t partition, uint64_t address, uint64_t count, uint32_t length) const;
    void Join(uint64_t count, uint32_t length, const uint8_t* data);
    // Blocks of `length` one row holds.
    static uint64_t RowRoom(uint32_t length);
    // Puts the open row into the index: done before every question to the index about the
    // tape's objects and before every commit, so the index always tells the whole tape.
    void Seal();
    void InsertRow(uint32_t partition, uint64_t address, sim::ObjectKind kind, uint64_t count,
                   uint32_t length, uint64_t rank, uint64_t offset,
                   const std::vector<uint8_t>& sums);
    void EmptyLog();

    std::unique_ptr<CartridgeFolder> folder_;  // outlives the connection: its lock guards it
    std::unique_ptr<Database> db_;
    std::unique_ptr<Statement> insert_;
    // The row of blocks being written, not yet in the index (see Seal).
    struct OpenRun {
        uint32_t partition = 0;
        uint64_t address = 0;
        uint64_t count = 0;
        uint32_t length = 0;
        uint64_t offset = 0;
        std::vector<uint8_t> sums;
    };
    std::optional<OpenRun> open_;
    uint64_t capacityBytes_ = 0;
    uint8_t densityCode_ = 0;
    bool writeProtected_ = false;
    std::vector<Part> parts_;
    DriveState state_;
    bool writing_ = false;       // a write transaction is open
    bool committed_ = false;     // this run committed something (the log to be emptied)
    uint64_t pending_ = 0;       // bytes appended since the last commit
    uint64_t dataEnd_ = 0;       // where the next block's bytes go in the data file
    uint64_t committedEnd_ = 0;  // the data file's bytes the committed index accounts for
    uint64_t dataSize_ = 0;      // the data file's length
    bool unsynced_ = false;      // bytes written to the data file since its last flush
    uint64_t started_ = 0;       // the data file's bytes before this were handed to the disk
    // Blocks appended since the last commit in one run from where it left the tape, so a
    // commit in the middle of a write keeps the count of files and blocks true; nothing when
    // the tape changed otherwise (the count is then recorded as unknown).
    std::optional<uint64_t> appendedRun_ = 0;
    std::vector<std::array<uint64_t, 3>> ranks_;  // marks of each kind so far, while building
};

}  // namespace store
