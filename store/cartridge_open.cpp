// Opening a cartridge: what its path names (a folder, an old file converted once, nothing), then
// its index: the schema compared with the exact expected one before any other query, then what it
// holds read (the small tables only) and checked against what a drive could hold; the tape's runs
// are checked as they are read.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string_view>
#include <tuple>

#include "sim/drive.h"
#include "store/cartridge_db.h"
#include "store/index_schema.h"
#include "store/old_cartridge.h"

namespace store {

namespace {

[[noreturn]] void Impossible(const std::string& what)
{
    throw StoreError("impossible cartridge contents: " + what, StoreError::Reason::Damaged);
}

bool IsFlag(int64_t v)
{
    return v == 0 || v == 1;
}

// The rows sqlite_schema holds for kIndexSchema, read off its text (SQLite keeps each CREATE
// statement as written, without its semicolon), sorted by name: no second database made and
// no schema parsed again at every open.
const std::vector<SchemaRow>& ExpectedSchema()
{
    static const std::vector<SchemaRow> expected = [] {
        std::vector<SchemaRow> rows;
        std::string_view rest(kIndexSchema);
        for (size_t start = rest.find_first_not_of(" \n"); start != std::string_view::npos;
             start = rest.find_first_not_of(" \n")) {
            const size_t end = rest.find(';', start);
            const std::string sql(rest.substr(start, end - start));
            rest.remove_prefix(end + 1);
            std::istringstream head(sql.substr(0, sql.find('(')));
            std::vector<std::string> words{std::istream_iterator<std::string>(head), {}};
            const bool table = words.at(1) == "TABLE";
            const std::string& name = words.at(table ? 2 : words.size() - 3);
            rows.emplace_back(table ? "table" : "index", name, table ? name : words.back(), sql);
        }
        std::sort(rows.begin(), rows.end(), [](const SchemaRow& a, const SchemaRow& b) {
            return std::get<1>(a) < std::get<1>(b);
        });
        return rows;
    }();
    return expected;
}

}  // namespace

const char* RunProblem(const RunRow& row, uint64_t endOfData, uint64_t dataEnd, bool withPlace)
{
    if (row.addr < 0 || row.kind < 0 || row.kind > 2 || row.count <= 0 ||
        static_cast<uint64_t>(row.addr) > endOfData ||
        static_cast<uint64_t>(row.count) > endOfData - static_cast<uint64_t>(row.addr)) {
        return "a run of objects outside the recorded tape";
    }
    if (row.kind != 0) {
        return row.length != 0 || (withPlace && (row.rank < 0 || row.sumsBytes != 0 ||
                                                 static_cast<uint64_t>(row.rank) > endOfData))
                   ? "a run of marks with a length, bytes or an impossible rank"
                   : nullptr;
    }
    if (row.length <= 0 || row.length > sim::kMaximumBlockLength ||
        static_cast<uint64_t>(row.count) > kMaxRunBlocks) {
        return "a run of blocks of an impossible size";
    }
    if (!withPlace) {
        return nullptr;
    }
    const auto bytes = static_cast<uint64_t>(row.count) * static_cast<uint64_t>(row.length);
    if (row.offset < 0 || static_cast<uint64_t>(row.offset) > dataEnd ||
        bytes > dataEnd - static_cast<uint64_t>(row.offset) ||
        row.sumsBytes != static_cast<size_t>(row.count) * 8) {
        return "a run of blocks whose bytes lie outside the data file";
    }
    return nullptr;
}

bool DriveFromRow(const Statement& row, DriveState& state)
{
    const auto inRange = [&](int column, int64_t highest) {
        return row.Int(column) >= 0 && row.Int(column) <= highest;
    };
    for (const int flag : {3, 4, 5, 8, 9}) {
        if (!IsFlag(row.Int(flag))) {
            return false;
        }
    }
    if (!inRange(0, sim::kMaxPartitions - 1) || !inRange(1, INT64_MAX) ||
        !inRange(2, sim::kMaximumBlockLength) || !inRange(6, 0xFFFFFFFF) ||
        !inRange(7, 0xFFFFFFFF)) {
        return false;
    }
    state.partition = static_cast<uint32_t>(row.Int(0));
    state.position = static_cast<uint64_t>(row.Int(1));
    state.settings.blockLength = static_cast<uint32_t>(row.Int(2));
    state.settings.reportSetmarks = row.Int(3) != 0;
    state.settings.compression = row.Int(4) != 0;
    state.settings.decompression = row.Int(5) != 0;
    state.settings.compressionAlgorithm = static_cast<uint32_t>(row.Int(6));
    state.settings.decompressionAlgorithm = static_cast<uint32_t>(row.Int(7));
    state.ejected = row.Int(8) != 0;
    state.removalPrevented = row.Int(9) != 0;
    return true;
}

// The schema exactly as this store makes it, the header's marks and the journal: a database
// with anything more (a view, a trigger, another index) is not our index, and none of it has
// been run when this refuses it.
std::unique_ptr<CartridgeDb> CartridgeDb::Open(const std::string& path, const OpenOptions& options)
{
    const PathKind kind = Examine(path);
    switch (kind) {
    case PathKind::Missing:
        CleanKilledNew(path);  // a `new` killed before its folder took the name
        throw StoreError("no such cartridge (create one with 'velmtape -f " + path + " new')",
                         StoreError::Reason::Missing);
    case PathKind::OldStore:
    case PathKind::OldVelmcart:
        OldCartridge::Convert(path, kind == PathKind::OldStore, options);
        break;
    case PathKind::OtherFile: {
        std::string what =
            "not a VELM cartridge (neither a cartridge folder nor an old "
            "cartridge file)";
        struct stat info {};
        for (const char* kept : {kOldStoreSuffix, kOldFileSuffix}) {
            if (lstat((path + kept).c_str(), &info) == 0) {
                what += "; the old cartridge is kept as " + path + kept;
            }
        }
        throw StoreError(what);
    }
    case PathKind::Folder:
        break;
    }
    std::unique_ptr<CartridgeDb> db(new CartridgeDb(CartridgeFolder::Open(path, options)));
    db->Attach(false);
    db->folder_->OpenFiles();
    db->Load();
    db->CutData();
    return db;
}

void CartridgeDb::CheckSchema()
{
    if (db_->QueryInt("PRAGMA application_id") != kApplicationId ||
        db_->QueryInt("PRAGMA user_version") != kIndexVersion) {
        throw StoreError("damaged cartridge index: its header is not a VELM cartridge index's",
                         StoreError::Reason::Damaged);
    }
    if (SchemaOf(*db_) != ExpectedSchema()) {
        throw StoreError(
            "damaged cartridge index: its tables are not the ones of a cartridge "
            "(something was added or changed)",
            StoreError::Reason::Damaged);
    }
    Statement journal(*db_, "PRAGMA journal_mode");
    if (!journal.Step() || journal.Text(0) != "wal") {
        throw StoreError("damaged cartridge index: not in WAL mode", StoreError::Reason::Damaged);
    }
}

void CartridgeDb::Load()
{
    if (db_->QueryInt("SELECT count(*) FROM tape") != 1 ||
        db_->QueryInt("SELECT count(*) FROM drive") != 1) {
        Impossible("the tape or drive record is missing");
    }
    Statement tape(*db_, "SELECT capacity, density, write_protected, data_end FROM tape");
    tape.Step();
    if (tape.Int(0) <= 0 || tape.Int(1) < 0 || tape.Int(1) > 0xFF || !IsFlag(tape.Int(2)) ||
        tape.Int(3) < 0 || tape.Int(3) > tape.Int(0)) {
        Impossible("tape size, density, write protection or data length out of range");
    }
    capacityBytes_ = static_cast<uint64_t>(tape.Int(0));
    densityCode_ = static_cast<uint8_t>(tape.Int(1));
    writeProtected_ = tape.Int(2) != 0;
    committedEnd_ = dataEnd_ = static_cast<uint64_t>(tape.Int(3));
    tape.Reset();

    Statement parts(*db_,
                    "SELECT part, capacity, end_of_data, used_bytes FROM partition ORDER BY part");
    parts_.clear();
    while (parts.Step()) {
        if (parts.Int(0) != static_cast<int64_t>(parts_.size()) ||
            parts_.size() >= sim::kMaxPartitions || parts.Int(1) < 0 || parts.Int(2) < 0 ||
            parts.Int(3) < 0) {
            Impossible("partitions numbered or sized wrongly");
        }
        parts_.push_back(Part{static_cast<uint64_t>(parts.Int(1)),
                              static_cast<uint64_t>(parts.Int(2)),
                              static_cast<uint64_t>(parts.Int(3))});
    }
    Statement drive(*db_, (std::string("SELECT ") + kDriveColumns + " FROM drive").c_str());
    if (!drive.Step() || !DriveFromRow(drive, state_)) {
        Impossible("drive settings out of range");
    }
    drive.Reset();
    LoadCounted();
    Validate();
}

// The tool's file and block count, when it was kept for the place the tape stands now; a
// count no tape could have reads as unknown rather than wrong.
void CartridgeDb::LoadCounted()
{
    state_.counted = FilePosition{};
    Statement counted(*db_,
                      "SELECT partition, position, file_number, block_number, at_eod "
                      "FROM file_count");
    if (counted.Step() && counted.Int(0) == state_.partition &&
        counted.Int(1) == static_cast<int64_t>(state_.position) && counted.Int(2) >= -1 &&
        counted.Int(3) >= -1 && IsFlag(counted.Int(4))) {
        state_.counted = FilePosition{counted.Int(2), counted.Int(3), counted.Int(4) != 0};
    }
}

// What no drive could hold: the checks of sim::Cartridge::Problem(), made on the tables, with
// the end of each partition's data matched against its last run of objects.
void CartridgeDb::Validate()
{
    if (parts_.empty()) {
        Impossible("no partition");
    }
    sim::CartridgeLimits limits(capacityBytes_);
    for (const Part& part : parts_) {
        if (auto problem = limits.AddPartition(part.capacity)) {
            Impossible(*problem);
        }
        if (part.usedBytes > part.capacity) {
            Impossible("a partition holds more data than its size");
        }
    }
    const uint64_t endOfData =
        state_.partition < parts_.size() ? parts_[state_.partition].endOfData : 0;
    if (auto problem = sim::CartridgeLimits::Position(state_.partition, parts_.size(),
                                                      state_.position, endOfData)) {
        Impossible(*problem);
    }
    // Every row within the tape, the runs laid end to end from address 0 to end of data, the
    // bytes counted, each kind's marks ranked in order: one pass over each of two indexes that
    // hold these columns; then where each row's blocks lie (CheckPlaces), the one pass over
    // the rows themselves. A row is checked again whole when the tape reaches it (DbMedium).
    Statement layout(*db_,
                     "SELECT addr, kind, count, length, typeof(addr) = 'integer' AND "
                     "typeof(kind) = 'integer' AND typeof(count) = 'integer' AND "
                     "typeof(length) = 'integer' FROM extent INDEXED BY extent_layout "
                     "WHERE part = ?1 ORDER BY addr");
    Statement ranks(*db_,
                    "SELECT kind, count, rank, typeof(rank) = 'integer' FROM extent "
                    "INDEXED BY extent_kind_at WHERE part = ?1 AND kind <> 0 ORDER BY kind, addr");
    for (uint32_t p = 0; p < parts_.size(); ++p) {
        const Part& part = parts_[p];
        uint64_t next = 0;
        uint64_t bytes = 0;
        layout.Bind(1, p);
        while (layout.Step()) {
            const RunRow row{layout.Int(0), layout.Int(1), layout.Int(2), layout.Int(3)};
            if (layout.Int(4) != 1 || RunProblem(row, part.endOfData, dataEnd_, false) != nullptr) {
                layout.Reset();
                Impossible("a run of objects outside the recorded tape or the data file");
            }
            const uint64_t held = row.kind == 0 ? static_cast<uint64_t>(row.count * row.length) : 0;
            if (static_cast<uint64_t>(row.addr) != next || held > part.usedBytes - bytes) {
                layout.Reset();
                Impossible("end of data does not match the recorded objects");
            }
            next += static_cast<uint64_t>(row.count);
            bytes += held;
        }
        if (next != part.endOfData || bytes != part.usedBytes) {
            Impossible("end of data does not match the recorded objects");
        }
        int64_t kind = 0;
        uint64_t rank = 0;
        ranks.Bind(1, p);
        while (ranks.Step()) {
            if (ranks.Int(0) != kind) {
                kind = ranks.Int(0);
                rank = 0;
            }
            // Counts and kinds were checked above; a rank is the count of the kind before.
            if (ranks.Int(3) != 1 || ranks.Int(2) != static_cast<int64_t>(rank)) {
                ranks.Reset();
                Impossible("marks counted out of order");
            }
            rank += static_cast<uint64_t>(ranks.Int(1));
        }
    }
    CheckPlaces();
    if (db_->QueryInt("SELECT count(*) FROM extent WHERE part < 0 OR part >= " +
                      std::to_string(parts_.size())) != 0) {
        Impossible("objects outside the partitions");
    }
}

// The data file holds at least what the index accounts for; what follows was written by a
// run that never committed it, and goes (only the lock holder gets here).
void CartridgeDb::CutData()
{
    struct stat info {};
    if (fstat(folder_->data(), &info) != 0) {
        throw StoreError(Errno("cannot examine the cartridge's data"));
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (size < committedEnd_) {
        throw StoreError("damaged cartridge: its data file holds " + std::to_string(size) +
                             " bytes, the index accounts for " + std::to_string(committedEnd_),
                         StoreError::Reason::Damaged);
    }
    dataSize_ = size;
    started_ = committedEnd_;
    if (size > committedEnd_) {
        if (ftruncate(folder_->data(), static_cast<off_t>(committedEnd_)) != 0) {
            throw StoreError(Errno("cannot cut the cartridge's uncommitted data"));
        }
        dataSize_ = committedEnd_;
    }
}

// Every row of blocks within the data file the index accounts for, its checksums one per
// block, and no bytes or checksums for marks: one pass over the rows themselves, at open, so no
// byte a committed row points at is ever cut or written over.
void CartridgeDb::CheckPlaces()
{
    Statement rows(*db_,
                   "SELECT count(*) FROM extent WHERE (kind = 0 AND NOT ("
                   "typeof(offset) = 'integer' AND typeof(sums) = 'blob' AND offset >= 0 AND "
                   "offset <= ?1 - count * length AND length(sums) = 8 * count)) OR "
                   "(kind <> 0 AND (typeof(sums) <> 'blob' OR length(sums) <> 0))");
    rows.Bind(1, static_cast<int64_t>(committedEnd_));
    rows.Step();
    const bool placed = rows.Int(0) == 0;
    rows.Reset();
    if (!placed) {
        Impossible("a run of blocks whose bytes lie outside the data file");
    }
}

std::vector<ExtentInfo> CartridgeDb::Extents(uint32_t partition)
{
    Seal();
    Statement rows(*db_,
                   "SELECT addr, kind, count, length FROM extent WHERE part = ?1 "
                   "ORDER BY addr");
    rows.Bind(1, partition);
    std::vector<ExtentInfo> extents;
    const uint64_t end = parts_.at(partition).endOfData;
    while (rows.Step()) {
        const RunRow row{rows.Int(0), rows.Int(1), rows.Int(2), rows.Int(3)};
        if (const char* problem = RunProblem(row, end, dataEnd_, false)) {
            Impossible(problem);
        }
        extents.push_back(
            ExtentInfo{static_cast<uint64_t>(row.addr), static_cast<sim::ObjectKind>(row.kind),
                       static_cast<uint64_t>(row.count), static_cast<uint32_t>(row.length)});
    }
    return extents;
}

}  // namespace store
