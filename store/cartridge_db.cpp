// The cartridge: made, opened and replaced. Changes are committed in cartridge_commit.cpp; the
// tape's objects are read and written by DbMedium (db_medium.cpp); the index is checked in
// cartridge_open.cpp and old cartridge files are converted in old_cartridge.cpp.
#include "store/cartridge_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
// Every block is hashed: the library picks the widest vector unit the CPU has (AVX2, AVX-512).
#include <xxh_x86dispatch.h>

#include "store/db_medium.h"
#include "store/index_schema.h"
#include "store/index_vfs.h"
#include "store/old_cartridge.h"

namespace store {

namespace {

// The page cache: a whole row's checksums four times over. Memory stays bounded whatever the
// tape, and a larger cache only costs each open (fresh pages for every page read).
constexpr int64_t kCacheKib = 512;

}  // namespace

const char* const kIndexSchema = R"(
CREATE TABLE tape(id INTEGER PRIMARY KEY CHECK (id = 1), capacity INTEGER NOT NULL,
                  density INTEGER NOT NULL, write_protected INTEGER NOT NULL,
                  data_end INTEGER NOT NULL);
CREATE TABLE partition(part INTEGER PRIMARY KEY, capacity INTEGER NOT NULL,
                       end_of_data INTEGER NOT NULL, used_bytes INTEGER NOT NULL);
CREATE TABLE drive(id INTEGER PRIMARY KEY CHECK (id = 1), partition INTEGER NOT NULL,
                   position INTEGER NOT NULL, block_length INTEGER NOT NULL,
                   report_setmarks INTEGER NOT NULL, compression INTEGER NOT NULL,
                   decompression INTEGER NOT NULL, compression_algorithm INTEGER NOT NULL,
                   decompression_algorithm INTEGER NOT NULL, ejected INTEGER NOT NULL,
                   removal_prevented INTEGER NOT NULL);
CREATE TABLE file_count(id INTEGER PRIMARY KEY CHECK (id = 1), partition INTEGER NOT NULL,
                        position INTEGER NOT NULL, file_number INTEGER NOT NULL,
                        block_number INTEGER NOT NULL, at_eod INTEGER NOT NULL);
CREATE TABLE extent(id INTEGER PRIMARY KEY, part INTEGER NOT NULL, addr INTEGER NOT NULL,
                    kind INTEGER NOT NULL, count INTEGER NOT NULL, length INTEGER NOT NULL,
                    rank INTEGER NOT NULL, offset INTEGER NOT NULL, sums BLOB NOT NULL);
CREATE UNIQUE INDEX extent_at ON extent(part, addr);
CREATE INDEX extent_kind_at ON extent(part, kind, addr, count, rank);
CREATE INDEX extent_kind_rank ON extent(part, kind, rank, count, addr);
CREATE INDEX extent_layout ON extent(part, addr, kind, count, length);
)";

uint64_t BlockSum(const uint8_t* block, uint32_t length)
{
    return XXH3_64bits(block, length);
}

bool DriveState::operator==(const DriveState& o) const
{
    return partition == o.partition && position == o.position && settings == o.settings &&
           ejected == o.ejected && removalPrevented == o.removalPrevented && counted == o.counted;
}

CartridgeDb::CartridgeDb(std::unique_ptr<CartridgeFolder> folder) : folder_(std::move(folder)) {}

CartridgeDb::~CartridgeDb()
{
    insert_.reset();
    if (db_ && writing_) {
        sqlite3_exec(db_->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        writing_ = false;
    }
    EmptyLog();
    db_.reset();  // before the lock goes with the folder
}

// At rest the log is empty: every committed page is in the index file, where each page's
// checksum is checked as it is read.
void CartridgeDb::EmptyLog()
{
    struct stat log {};
    if (db_ && folder_ && fstatat(folder_->dir(), "index-wal", &log, AT_SYMLINK_NOFOLLOW) == 0 &&
        log.st_size > 0) {
        sqlite3_exec(db_->handle(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
}

std::unique_ptr<CartridgeDb> CartridgeDb::Build(const std::string& path,
                                                const sim::Cartridge& cartridge)
{
    std::unique_ptr<CartridgeDb> db(new CartridgeDb(CartridgeFolder::MakeAside(path)));
    try {
        db->folder_->OpenFiles();
        db->Attach(true);
        db->Fill(cartridge);
        db->EmptyLog();
        db->folder_->SyncDir();
    } catch (...) {
        db->insert_.reset();
        db->db_.reset();
        db->folder_->Abandon();
        throw;
    }
    return db;
}

std::unique_ptr<CartridgeDb> CartridgeDb::BuildAside(const std::string& path)
{
    std::unique_ptr<CartridgeDb> db(new CartridgeDb(CartridgeFolder::MakeAside(path)));
    try {
        db->folder_->OpenFiles();
        db->Attach(true);
        db->BeginWrite();
    } catch (...) {
        db->db_.reset();
        db->folder_->Abandon();
        throw;
    }
    return db;
}

void CartridgeDb::AddPartition(uint64_t capacity)
{
    uint64_t total = 0;
    for (const Part& part : parts_) {
        total += part.capacity;
    }
    if (parts_.size() >= 2 || capacity > capacityBytes_ - total) {
        throw StoreError("impossible cartridge contents: partitions larger than the tape",
                         StoreError::Reason::Damaged);
    }
    parts_.push_back(Part{capacity, 0, 0});
    ranks_.push_back({});
}

void CartridgeDb::AddRun(uint32_t partition, sim::ObjectKind kind, uint64_t count, uint32_t length,
                         const uint8_t* data)
{
    const bool block = kind == sim::ObjectKind::Block;
    if (partition + 1 != parts_.size() || count == 0 ||
        (block && (length == 0 || length > sim::kMaximumBlockLength)) || (!block && length != 0)) {
        throw StoreError("impossible cartridge contents: a run of objects out of range",
                         StoreError::Reason::Damaged);
    }
    Part& part = parts_[partition];
    const auto k = static_cast<size_t>(kind);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = block ? std::min(count - done, kMaxRunBlocks) : count;
        if (n * length > part.capacity - part.usedBytes) {
            throw StoreError("impossible cartridge contents: more data than its partition holds",
                             StoreError::Reason::Damaged);
        }
        AppendRun(partition, part.endOfData, kind, n, length, block ? 0 : ranks_[partition][k],
                  block ? data + done * length : nullptr);
        part.usedBytes += n * length;
        part.endOfData += n;
        ranks_[partition][k] += block ? 0 : n;
        done += n;
        Appended(partition, n * length);
    }
}

void CartridgeDb::Finish(const DriveState& state, uid_t owner, gid_t group)
{
    if (parts_.empty() || state.partition >= parts_.size() ||
        state.position > parts_[state.partition].endOfData) {
        throw StoreError("impossible cartridge contents: position beyond end of data",
                         StoreError::Reason::Damaged);
    }
    CommitNow(state);
    EmptyLog();
    folder_->GiveTo(owner, group);
    folder_->SyncDir();
}

std::unique_ptr<CartridgeDb> CartridgeDb::Create(const std::string& path,
                                                 const sim::Cartridge& cartridge, bool replace,
                                                 const OpenOptions& options)
{
    const PathKind kind = Examine(path);
    if (kind == PathKind::OtherFile) {
        throw StoreError(
            "exists and is not a cartridge (neither a cartridge folder nor an old cartridge "
            "file); --force replaces only a cartridge, so it was left as it was");
    }
    if (kind != PathKind::Missing && !replace) {
        throw StoreError("cartridge exists; add --force to replace it with a blank one");
    }
    // The cartridge there is held (locked and checked) until the new one has its place.
    // A link is never replaced by a folder: the cartridge is replaced under its own name.
    struct stat link {};
    if (kind != PathKind::Missing && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        throw StoreError(
            "is a symbolic link to a cartridge; replace the cartridge under its "
            "own name");
    }
    std::unique_ptr<CartridgeFolder> held;
    int oldFile = -1;
    if (kind == PathKind::Folder) {
        held = CartridgeFolder::Open(path, options);
    } else if (kind != PathKind::Missing) {
        oldFile = OpenOldFile(path, options);
    }
    // A file that merely begins with the old format's mark is not yet a cartridge: only one
    // that passes that format's own checks may be blanked.
    if (kind == PathKind::OldVelmcart) {
        try {
            OldCartridge::CheckVelmcart(oldFile);
        } catch (const StoreError& e) {
            close(oldFile);
            throw StoreError("begins like an old VELMCART cartridge file but is not one (" +
                             std::string(e.what()) +
                             "); --force replaces only a cartridge, so it was left as it was");
        }
    }
    std::unique_ptr<CartridgeDb> db;
    try {
        db = Build(path, cartridge);
        db->folder_->PutInPlace(kind != PathKind::Missing);
        db->folder_->RemoveAside("");
    } catch (...) {
        if (db) {
            // The new folder that could not take its place goes too: nothing left beside.
            db->insert_.reset();
            db->db_.reset();
            db->folder_->Abandon();
        }
        if (oldFile >= 0) {
            close(oldFile);
        }
        throw;
    }
    if (oldFile >= 0) {
        close(oldFile);
    }
    return db;
}

void CartridgeDb::Attach(bool create)
{
    db_ = std::make_unique<Database>(folder_->IndexName(), create, IndexVfs());
    sqlite3* handle = db_->handle();
    db_->Harden();
    sqlite3_limit(handle, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxRunBlocks * 8 + 1024));
    sqlite3_limit(handle, SQLITE_LIMIT_SQL_LENGTH, 1 << 16);
    db_->Exec("PRAGMA mmap_size = 0");
    // One connection under the folder's lock: the log's index lives in memory, no index-shm.
    db_->Exec("PRAGMA locking_mode = EXCLUSIVE");
    if (create) {
        int reserve = kPageReserve;
        db_->Exec("PRAGMA page_size = " + std::to_string(kIndexPageSize));
        sqlite3_file_control(handle, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
        db_->Exec("PRAGMA journal_mode = WAL");
        db_->Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
        db_->Exec("PRAGMA user_version = " + std::to_string(kIndexVersion));
        db_->Exec(kIndexSchema);
    } else {
        CheckSchema();
    }
    int persist = 1;  // the log stays, emptied, between runs: no file made and removed each time
    sqlite3_file_control(handle, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    db_->Exec("PRAGMA busy_timeout = 5000");
    // A commit is not flushed by itself: the data it points at is, and the log is flushed
    // into the index before velmtape ends (EmptyLog). A power cut may cost the last commits
    // of a running command, never the index's agreement with the data.
    db_->Exec("PRAGMA synchronous = NORMAL");
    db_->Exec("PRAGMA wal_autocheckpoint = 0");
    db_->Exec("PRAGMA cache_size = -" + std::to_string(kCacheKib));
}

// The cartridge's objects go in as runs: consecutive marks of a kind, consecutive blocks of
// one size up to kMaxRunBytes and kMaxRunBlocks.
void CartridgeDb::Fill(const sim::Cartridge& cartridge)
{
    capacityBytes_ = cartridge.capacityBytes;
    densityCode_ = cartridge.densityCode;
    writeProtected_ = cartridge.writeProtected;
    parts_.clear();
    BeginWrite();
    std::vector<uint8_t> run;
    for (uint32_t p = 0; p < cartridge.partitions.size(); ++p) {
        const auto& objects = cartridge.partitions[p].objects;
        Part part;
        part.capacity = cartridge.partitions[p].capacityBytes;
        uint64_t ranks[3] = {};
        for (size_t i = 0; i < objects.size();) {
            const sim::ObjectKind kind = objects[i].kind;
            const auto length = static_cast<uint32_t>(objects[i].data.size());
            size_t j = i;
            run.clear();
            while (j < objects.size() && objects[j].kind == kind &&
                   objects[j].data.size() == length &&
                   (kind != sim::ObjectKind::Block ||
                    (run.size() + length <= kMaxRunBytes && j - i < kMaxRunBlocks) || j == i)) {
                run.insert(run.end(), objects[j].data.begin(), objects[j].data.end());
                ++j;
            }
            const auto k = static_cast<size_t>(kind);
            AppendRun(p, i, kind, j - i, length, kind == sim::ObjectKind::Block ? 0 : ranks[k],
                      run.data());
            ranks[k] += j - i;
            part.usedBytes += run.size();
            i = j;
        }
        part.endOfData = objects.size();
        parts_.push_back(part);
    }
    DriveState state;
    state.partition = cartridge.partition;
    state.position = cartridge.position;
    state.settings = cartridge.settings;
    if (cartridge.position == 0) {
        state.counted = FilePosition{0, 0, false};  // at the beginning: file 0, block 0
    }
    CommitNow(state);
}

std::unique_ptr<sim::Medium> CartridgeDb::Medium()
{
    return std::make_unique<DbMedium>(*this);
}

}  // namespace store
