// The cartridge database: made, opened, checked, converted from the old file format, and
// committed. The tape's objects are read and written by DbMedium (db_medium.cpp).
#include "store/cartridge_db.h"

#include <sys/stat.h>

#include "sim/drive.h"
#include "store/db_medium.h"

namespace store {

namespace {

constexpr const char* kFileCountTable =
    "CREATE TABLE IF NOT EXISTS file_count(id INTEGER PRIMARY KEY CHECK (id = 1), "
    "partition INTEGER NOT NULL, position INTEGER NOT NULL, file_number INTEGER NOT NULL, "
    "block_number INTEGER NOT NULL, at_eod INTEGER NOT NULL);"
    // The layout of a partition without touching the rows that hold the blocks' bytes.
    "CREATE INDEX IF NOT EXISTS extent_layout ON extent(part, addr, kind, count, length)";

constexpr const char* kSchema = R"(
CREATE TABLE tape(id INTEGER PRIMARY KEY CHECK (id = 1), capacity INTEGER NOT NULL,
                  density INTEGER NOT NULL, write_protected INTEGER NOT NULL);
CREATE TABLE partition(part INTEGER PRIMARY KEY, capacity INTEGER NOT NULL,
                       end_of_data INTEGER NOT NULL, used_bytes INTEGER NOT NULL);
CREATE TABLE drive(id INTEGER PRIMARY KEY CHECK (id = 1), partition INTEGER NOT NULL,
                   position INTEGER NOT NULL, block_length INTEGER NOT NULL,
                   report_setmarks INTEGER NOT NULL, compression INTEGER NOT NULL,
                   decompression INTEGER NOT NULL, compression_algorithm INTEGER NOT NULL,
                   decompression_algorithm INTEGER NOT NULL, ejected INTEGER NOT NULL,
                   removal_prevented INTEGER NOT NULL);
CREATE TABLE extent(id INTEGER PRIMARY KEY, part INTEGER NOT NULL, addr INTEGER NOT NULL,
                    kind INTEGER NOT NULL, count INTEGER NOT NULL, length INTEGER NOT NULL,
                    rank INTEGER NOT NULL, data BLOB);
CREATE UNIQUE INDEX extent_at ON extent(part, addr);
CREATE INDEX extent_kind_at ON extent(part, kind, addr, count, rank);
CREATE INDEX extent_kind_rank ON extent(part, kind, rank, count, addr);
)";

constexpr int64_t kPageSize = 65536;
constexpr int64_t kCacheKib = 8192;  // page cache: memory stays bounded whatever the tape

}  // namespace

bool DriveState::operator==(const DriveState& o) const
{
    return partition == o.partition && position == o.position && settings == o.settings &&
           ejected == o.ejected && removalPrevented == o.removalPrevented && counted == o.counted;
}

CartridgeDb::CartridgeDb(std::unique_ptr<CartridgeFile> file) : file_(std::move(file)) {}

CartridgeDb::~CartridgeDb()
{
    insert_.reset();
    db_.reset();  // rolls back what was not committed, before the lock goes with file_
}

std::unique_ptr<CartridgeDb> CartridgeDb::Open(const std::string& path, const OpenOptions& options)
{
    std::unique_ptr<CartridgeDb> db(
        new CartridgeDb(std::make_unique<CartridgeFile>(path, false, options)));
    switch (db->file_->Sniff()) {
    case FileKind::Store:
        break;
    case FileKind::OldCartridge:
        db->ConvertOldFile(options);
        return db;
    default: {
        std::string what = "not a VELM cartridge file";
        struct stat info {};
        if (lstat((db->file_->resolved() + kOldFileSuffix).c_str(), &info) == 0) {
            what += " (the old cartridge is kept as " + db->file_->path() + kOldFileSuffix + ")";
        }
        throw StoreError(what);
    }
    }
    db->db_ = std::make_unique<Database>(db->file_->resolved(), false);
    if (!db->file_->SameFileAs(db->file_->resolved())) {
        throw StoreError("the cartridge file was replaced while it was opened; refused");
    }
    db->Configure();
    db->Load();
    return db;
}

std::unique_ptr<CartridgeDb> CartridgeDb::Create(const std::string& path,
                                                 const sim::Cartridge& cartridge, bool replace,
                                                 const OpenOptions& options)
{
    std::unique_ptr<CartridgeDb> db(
        new CartridgeDb(std::make_unique<CartridgeFile>(path, true, options)));
    if (!db->file_->created() && !replace) {
        throw StoreError("cartridge file exists; add --force to replace it with a blank one");
    }
    // Replacing is for cartridges only: anything else there is someone's data.
    const FileKind kind = db->file_->created() ? FileKind::Empty : db->file_->Sniff();
    if (kind == FileKind::Other) {
        throw StoreError(
            "exists and is not a cartridge file (neither a VELM cartridge database "
            "nor an old VELMCART file); --force replaces only a cartridge, so it "
            "was left as it was");
    }
    // A file that merely begins with the old format's mark is not yet a cartridge: only one
    // that passes that format's own checks (length, checksum, contents) may be blanked.
    std::string why;
    if (kind == FileKind::OldCartridge && !sim::LoadCartridge(db->file_->resolved(), why)) {
        throw StoreError("begins like an old VELMCART cartridge file but is not one (" + why +
                         "); --force replaces only a cartridge, so it was left as it was");
    }
    try {
        if (!db->file_->created()) {
            db->file_->Clear();
        }
        db->db_ = std::make_unique<Database>(db->file_->resolved(), false);
        db->CreateSchema();
        db->Fill(cartridge);
    } catch (...) {
        db->insert_.reset();
        db->db_.reset();
        db->file_->RemoveIfCreated();
        throw;
    }
    return db;
}

void CartridgeDb::Configure()
{
    db_->Exec("PRAGMA busy_timeout = 5000");
    db_->Exec("PRAGMA synchronous = NORMAL");
    db_->Exec("PRAGMA cache_size = -" + std::to_string(kCacheKib));
}

void CartridgeDb::CreateSchema()
{
    // The page size goes first: it cannot change once a table exists or WAL is on.
    db_->Exec("PRAGMA page_size = " + std::to_string(kPageSize));
    db_->Exec("PRAGMA journal_mode = WAL");
    Configure();
    db_->Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
    db_->Exec("PRAGMA user_version = " + std::to_string(kStoreVersion));
    db_->Exec(kSchema);
    db_->Exec(kFileCountTable);
}

void CartridgeDb::InsertExtent(uint32_t partition, uint64_t address, sim::ObjectKind kind,
                               uint64_t count, uint32_t length, uint64_t rank, const uint8_t* data)
{
    if (!insert_) {
        insert_ = std::make_unique<Statement>(
            *db_,
            "INSERT INTO extent(part, addr, kind, count, length, rank, data) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    }
    insert_->Bind(1, partition)
        .Bind(2, static_cast<int64_t>(address))
        .Bind(3, static_cast<int64_t>(kind))
        .Bind(4, static_cast<int64_t>(count))
        .Bind(5, length)
        .Bind(6, static_cast<int64_t>(rank));
    if (kind == sim::ObjectKind::Block) {
        insert_->BindBlob(7, data, count * length);
    } else {
        insert_->BindBlob(7, nullptr, 0);
    }
    insert_->Run();
}

// The cartridge's objects go in as runs: consecutive marks of a kind, consecutive blocks of
// one size up to kMaxRunBytes.
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
            while (
                j < objects.size() && objects[j].kind == kind && objects[j].data.size() == length &&
                (kind != sim::ObjectKind::Block || run.size() + length <= kMaxRunBytes || j == i)) {
                run.insert(run.end(), objects[j].data.begin(), objects[j].data.end());
                ++j;
            }
            const auto k = static_cast<size_t>(kind);
            InsertExtent(p, i, kind, j - i, length, kind == sim::ObjectKind::Block ? 0 : ranks[k],
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
    WriteRows(state);
    db_->Exec("COMMIT");
    writing_ = false;
    pending_ = 0;
    state_ = state;
    // The header marks and the schema reach the file itself, so the next open can tell a
    // cartridge by its first 100 bytes.
    db_->Exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

void CartridgeDb::BeginWrite()
{
    if (!writing_) {
        db_->Exec("BEGIN IMMEDIATE");
        writing_ = true;
    }
}

void CartridgeDb::Appended(uint32_t partition, uint64_t bytes)
{
    pending_ += bytes;
    if (pending_ < kCommitBytes) {
        return;
    }
    DriveState state = state_;
    state.partition = partition;
    state.position = parts_[partition].endOfData;
    WriteRows(state);
    db_->Exec("COMMIT");
    writing_ = false;
    pending_ = 0;
    state_ = state;
    BeginWrite();
}

void CartridgeDb::WriteRows(const DriveState& state)
{
    db_->Exec("DELETE FROM tape; DELETE FROM partition; DELETE FROM drive");
    Statement tape(*db_, "INSERT INTO tape VALUES (1, ?1, ?2, ?3)");
    tape.Bind(1, static_cast<int64_t>(capacityBytes_))
        .Bind(2, densityCode_)
        .Bind(3, writeProtected_);
    tape.Run();
    Statement part(*db_, "INSERT INTO partition VALUES (?1, ?2, ?3, ?4)");
    for (uint32_t p = 0; p < parts_.size(); ++p) {
        part.Bind(1, p)
            .Bind(2, static_cast<int64_t>(parts_[p].capacity))
            .Bind(3, static_cast<int64_t>(parts_[p].endOfData))
            .Bind(4, static_cast<int64_t>(parts_[p].usedBytes));
        part.Run();
    }
    Statement drive(*db_, "INSERT INTO drive VALUES (1, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    const sim::DriveSettings& s = state.settings;
    drive.Bind(1, state.partition)
        .Bind(2, static_cast<int64_t>(state.position))
        .Bind(3, s.blockLength)
        .Bind(4, s.reportSetmarks)
        .Bind(5, s.compression)
        .Bind(6, s.decompression)
        .Bind(7, s.compressionAlgorithm)
        .Bind(8, s.decompressionAlgorithm)
        .Bind(9, state.ejected)
        .Bind(10, state.removalPrevented);
    drive.Run();
    if (!countTable_) {
        db_->Exec(kFileCountTable);  // a store made before the tool kept its count or map
        countTable_ = true;
    }
    db_->Exec("DELETE FROM file_count");
    Statement counted(*db_, "INSERT INTO file_count VALUES (1, ?1, ?2, ?3, ?4, ?5)");
    counted.Bind(1, state.partition)
        .Bind(2, static_cast<int64_t>(state.position))
        .Bind(3, state.counted.file)
        .Bind(4, state.counted.block)
        .Bind(5, state.counted.atEndOfData);
    counted.Run();
}

void CartridgeDb::Commit(const DriveState& state)
{
    if (!writing_ && state == state_) {
        return;
    }
    BeginWrite();
    WriteRows(state);
    db_->Exec("COMMIT");
    writing_ = false;
    pending_ = 0;
    state_ = state;
}

void CartridgeDb::Abandon()
{
    if (!writing_) {
        return;
    }
    writing_ = false;
    pending_ = 0;
    try {
        db_->Exec("ROLLBACK");
    } catch (const StoreError&) {
        // SQLite has already rolled the transaction back itself (it does on a full disk).
    }
}

std::unique_ptr<sim::Medium> CartridgeDb::Medium()
{
    return std::make_unique<DbMedium>(*this);
}

}  // namespace store
