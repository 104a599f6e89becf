// Converting an old cartridge: its contents checked as they are moved (the old file is as
// untrusted as any), each run of objects appended to the new folder as it is read. This file
// holds the one-file SQLite store's conversion and the conversion's steps; the VELMCART
// file's reading is in old_velmcart.cpp.
#include "store/old_cartridge.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>
#include <vector>

#include "sim/cartridge_format.h"
#include "store/cartridge_db.h"
#include "store/index_schema.h"

namespace store {

[[noreturn]] void OldCartridge::Damaged(const std::string& what)
{
    throw StoreError("the old cartridge file is damaged: " + what, StoreError::Reason::Damaged);
}

namespace {

// The largest run of blocks the one-file store put in a row (its bytes in the row's blob).
constexpr uint64_t kOldRunBytes = uint64_t{1} << 20;

// The one-file store's schema as it made it; file_count and extent_layout came later and
// may be missing.
constexpr const char* kOldSchema = R"(
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
constexpr const char* kOldCountTable =
    "CREATE TABLE IF NOT EXISTS file_count(id INTEGER PRIMARY KEY CHECK (id = 1), "
    "partition INTEGER NOT NULL, position INTEGER NOT NULL, file_number INTEGER NOT NULL, "
    "block_number INTEGER NOT NULL, at_eod INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS extent_layout ON extent(part, addr, kind, count, length)";

bool IsFlag(int64_t v)
{
    return v == 0 || v == 1;
}

// SQLite's files beside the old one, which it would adopt: only the owner's own.
void CheckSideFiles(const std::string& path, const struct stat& old)
{
    for (const char* side : {"-wal", "-shm", "-journal"}) {
        struct stat info {};
        if (lstat((path + side).c_str(), &info) != 0) {
            continue;
        }
        if (!S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != old.st_uid) {
            throw StoreError(path + side +
                                 " is not the cartridge owner's own log (another user's file, "
                                 "a link or no regular file), so it was not used and the "
                                 "cartridge was left as it was; move the cartridge into a "
                                 "folder of yours",
                             StoreError::Reason::Refused);
        }
    }
}

}  // namespace

// The old store, opened hardened as an index is and compared with its exact schema, its
// runs moved one row at a time.
DriveState OldCartridge::CopyStore(CartridgeDb& db, const std::string& path, const struct stat& old)
{
    CheckSideFiles(path, old);
    Database source(path, false);
    sqlite3* handle = source.handle();
    source.Harden();
    sqlite3_limit(handle, SQLITE_LIMIT_LENGTH, static_cast<int>(kOldRunBytes) + 1024);
    source.Exec("PRAGMA cache_size = -8192");
    Database expected(":memory:", true);
    expected.Exec(kOldSchema);
    const std::vector<SchemaRow> first = SchemaOf(expected);
    expected.Exec(kOldCountTable);
    const std::vector<SchemaRow> schema = SchemaOf(source);
    const bool counted = schema == SchemaOf(expected);
    if (!counted && schema != first) {
        Damaged("its tables are not the ones of a cartridge (something was added or changed)");
    }
    Statement tape(source, "SELECT capacity, density, write_protected FROM tape");
    if (!tape.Step() || tape.Int(0) <= 0 || tape.Int(1) < 0 || tape.Int(1) > 0xFF ||
        !IsFlag(tape.Int(2))) {
        Damaged("the tape record is missing or out of range");
    }
    db.capacityBytes_ = static_cast<uint64_t>(tape.Int(0));
    db.densityCode_ = static_cast<uint8_t>(tape.Int(1));
    db.writeProtected_ = tape.Int(2) != 0;
    tape.Reset();
    Statement parts(source, "SELECT part, capacity, end_of_data FROM partition ORDER BY part");
    std::vector<uint64_t> ends;
    while (parts.Step()) {
        if (parts.Int(0) != static_cast<int64_t>(ends.size()) || parts.Int(1) < 0 ||
            parts.Int(2) < 0) {
            Damaged("partitions numbered or sized wrongly");
        }
        db.AddPartition(static_cast<uint64_t>(parts.Int(1)));
        ends.push_back(static_cast<uint64_t>(parts.Int(2)));
    }
    Statement runs(source,
                   "SELECT addr, kind, count, length, data FROM extent WHERE part = ?1 "
                   "ORDER BY addr");
    for (uint32_t p = 0; p < ends.size(); ++p) {
        // Built partition by partition: the layout's later partitions wait in `ends`.
        runs.Bind(1, p);
        uint64_t end = 0;
        while (runs.Step()) {
            const int64_t kind = runs.Int(1);
            const int64_t count = runs.Int(2);
            const int64_t length = runs.Int(3);
            if (runs.Int(0) != static_cast<int64_t>(end) || kind < 0 || kind > 2 || count <= 0 ||
                length < 0 || length > sim::kMaximumBlockLength ||
                (kind == 0 && (count > static_cast<int64_t>(kOldRunBytes) ||
                               runs.Bytes(4) != static_cast<size_t>(count * length)))) {
                Damaged("a damaged run of objects");
            }
            db.AddRun(p, static_cast<sim::ObjectKind>(kind), static_cast<uint64_t>(count),
                      static_cast<uint32_t>(length), runs.Blob(4));
            end += static_cast<uint64_t>(count);
        }
        if (end != ends[p]) {
            Damaged("end of data does not match the recorded objects");
        }
    }
    Statement drive(source, (std::string("SELECT ") + kDriveColumns + " FROM drive").c_str());
    DriveState state;
    if (!drive.Step() || !DriveFromRow(drive, state)) {
        Damaged("the drive record is missing or out of range");
    }
    drive.Reset();
    if (counted) {
        Statement count(source,
                        "SELECT partition, position, file_number, block_number, at_eod "
                        "FROM file_count");
        if (count.Step() && count.Int(0) == state.partition &&
            count.Int(1) == static_cast<int64_t>(state.position) && count.Int(2) >= -1 &&
            count.Int(3) >= -1 && IsFlag(count.Int(4))) {
            state.counted = FilePosition{count.Int(2), count.Int(3), count.Int(4) != 0};
        }
    }
    // The old file keeps everything in itself before it takes its kept name: its log goes
    // into it, and SQLite removes the log as the last connection closes.
    source.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return state;
}

void OldCartridge::Convert(const std::string& path, bool store, const OpenOptions& options)
{
    const int fd = OpenOldFile(path, options);
    struct Held {
        int fd;
        ~Held() { close(fd); }
    } held{fd};
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || S_ISLNK(link.st_mode)) {
        throw StoreError(
            "is a symbolic link to an old cartridge file, which is converted only "
            "under its own name: run velmtape on the file itself once",
            StoreError::Reason::Refused);
    }
    struct stat old {};
    fstat(fd, &old);
    const char* suffix = store ? kOldStoreSuffix : kOldFileSuffix;
    const std::string kept = path + suffix;
    struct stat keptInfo {};
    if (lstat(kept.c_str(), &keptInfo) == 0 &&
        (keptInfo.st_dev != old.st_dev || keptInfo.st_ino != old.st_ino)) {
        throw StoreError("cannot keep the old cartridge as " + kept +
                         ": that name is taken; move it away and try again");
    }
    std::unique_ptr<CartridgeDb> db = CartridgeDb::BuildAside(path);
    try {
        const DriveState state = store ? CopyStore(*db, path, old) : CopyVelmcart(*db, fd);
        db->Finish(state, old.st_uid, old.st_gid);
        // The old file gets its kept name as a second link, then the folder and the old
        // file's name are exchanged: every moment, PATH is the old file or the whole folder.
        db->folder_->KeepOld(suffix);
        db->folder_->PutInPlace(true);
    } catch (const StoreError& e) {
        db->insert_.reset();
        db->db_.reset();
        db->folder_->Abandon();
        throw StoreError(std::string("cannot convert the old cartridge file (it was left as it "
                                     "was): ") +
                             e.what(),
                         e.reason());
    }
    db->folder_->RemoveAside(kept);
    if (options.notice) {
        options.notice(std::string("converted from the old ") +
                       (store ? "one-file cartridge store" : "VELMCART cartridge file") +
                       " into a cartridge folder; the old file is kept as " + kept);
    }
}

}  // namespace store
