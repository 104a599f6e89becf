// Opening a cartridge database: what it holds is read (the small tables only) and checked
// before a drive may use it, and an old cartridge file becomes a store once.
#include <unistd.h>

#include "sim/drive.h"
#include "store/cartridge_db.h"

namespace store {

namespace {

constexpr uint32_t kMaxPartitions = 2;

[[noreturn]] void Impossible(const std::string& what)
{
    throw StoreError("impossible cartridge contents: " + what, StoreError::Reason::Damaged);
}

bool IsFlag(int64_t v)
{
    return v == 0 || v == 1;
}

}  // namespace

void CartridgeDb::Load()
{
    // SQLite's own check of the small tables and their pages; the tape's objects are checked
    // as they are read, so opening costs the same on a full tape as on an empty one.
    for (const char* table : {"tape", "partition", "drive"}) {
        Statement check(*db_, (std::string("PRAGMA quick_check(") + table + ")").c_str());
        if (!check.Step() || check.Text(0) != "ok") {
            throw StoreError("damaged cartridge database: " + check.Text(0),
                             StoreError::Reason::Damaged);
        }
    }
    if (db_->QueryInt("SELECT count(*) FROM tape") != 1 ||
        db_->QueryInt("SELECT count(*) FROM drive") != 1) {
        Impossible("the tape or drive record is missing");
    }
    Statement tape(*db_, "SELECT capacity, density, write_protected FROM tape");
    tape.Step();
    if (tape.Int(0) <= 0 || tape.Int(1) < 0 || tape.Int(1) > 0xFF || !IsFlag(tape.Int(2))) {
        Impossible("tape size, density or write protection out of range");
    }
    capacityBytes_ = static_cast<uint64_t>(tape.Int(0));
    densityCode_ = static_cast<uint8_t>(tape.Int(1));
    writeProtected_ = tape.Int(2) != 0;

    Statement parts(*db_,
                    "SELECT part, capacity, end_of_data, used_bytes FROM partition ORDER BY part");
    parts_.clear();
    while (parts.Step()) {
        if (parts.Int(0) != static_cast<int64_t>(parts_.size()) ||
            parts_.size() >= kMaxPartitions || parts.Int(1) < 0 || parts.Int(2) < 0 ||
            parts.Int(3) < 0) {
            Impossible("partitions numbered or sized wrongly");
        }
        parts_.push_back(Part{static_cast<uint64_t>(parts.Int(1)),
                              static_cast<uint64_t>(parts.Int(2)),
                              static_cast<uint64_t>(parts.Int(3))});
    }
    Statement drive(*db_,
                    "SELECT partition, position, block_length, report_setmarks, compression, "
                    "decompression, compression_algorithm, decompression_algorithm, ejected, "
                    "removal_prevented FROM drive");
    drive.Step();
    for (int flag = 3; flag < 10; ++flag) {
        if (flag != 6 && flag != 7 && !IsFlag(drive.Int(flag))) {
            Impossible("drive settings out of range");
        }
    }
    if (drive.Int(0) < 0 || drive.Int(1) < 0 || drive.Int(2) < 0 ||
        drive.Int(2) > sim::kMaximumBlockLength || drive.Int(6) < 0 || drive.Int(6) > 0xFFFFFFFF ||
        drive.Int(7) < 0 || drive.Int(7) > 0xFFFFFFFF) {
        Impossible("drive settings out of range");
    }
    state_.partition = static_cast<uint32_t>(drive.Int(0));
    state_.position = static_cast<uint64_t>(drive.Int(1));
    state_.settings.blockLength = static_cast<uint32_t>(drive.Int(2));
    state_.settings.reportSetmarks = drive.Int(3) != 0;
    state_.settings.compression = drive.Int(4) != 0;
    state_.settings.decompression = drive.Int(5) != 0;
    state_.settings.compressionAlgorithm = static_cast<uint32_t>(drive.Int(6));
    state_.settings.decompressionAlgorithm = static_cast<uint32_t>(drive.Int(7));
    state_.ejected = drive.Int(8) != 0;
    state_.removalPrevented = drive.Int(9) != 0;
    LoadCounted();
    Validate();
}

// The tool's file and block count, when it was kept for the place the tape stands now; a
// store without one, a count left behind by a velmtape that moved the tape without counting,
// or a count no tape could have all read as unknown rather than wrong.
void CartridgeDb::LoadCounted()
{
    countTable_ = db_->QueryInt(
                      "SELECT count(*) FROM sqlite_master WHERE "
                      "(type = 'table' AND name = 'file_count') OR "
                      "(type = 'index' AND name = 'extent_layout')") == 2;
    state_.counted = FilePosition{};
    if (db_->QueryInt("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                      "name = 'file_count'") == 0) {
        return;
    }
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
    uint64_t total = 0;
    for (const Part& part : parts_) {
        if (part.capacity > capacityBytes_ - total) {
            Impossible("partitions larger than the tape");
        }
        total += part.capacity;
        if (part.usedBytes > part.capacity) {
            Impossible("a partition holds more data than its size");
        }
    }
    if (state_.partition >= parts_.size() || state_.position > parts_[state_.partition].endOfData) {
        Impossible("position beyond end of data");
    }
    Statement last(*db_,
                   "SELECT addr, kind, count, length, length(data) FROM extent WHERE part = ?1 "
                   "ORDER BY addr DESC LIMIT 1");
    for (uint32_t p = 0; p < parts_.size(); ++p) {
        last.Bind(1, p);
        uint64_t end = 0;
        if (last.Step()) {
            const int64_t kind = last.Int(1);
            const int64_t count = last.Int(2);
            const int64_t length = last.Int(3);
            const int64_t expected = kind == 0 ? count * length : 0;
            if (last.Int(0) < 0 || kind < 0 || kind > 2 || count <= 0 || length < 0 ||
                length > sim::kMaximumBlockLength || last.Int(4) != expected) {
                Impossible("a damaged run of objects");
            }
            end = static_cast<uint64_t>(last.Int(0) + count);
        }
        if (end != parts_[p].endOfData) {
            Impossible("end of data does not match the recorded objects");
        }
    }
    if (db_->QueryInt("SELECT count(*) FROM extent WHERE part < 0 OR part >= " +
                      std::to_string(parts_.size())) != 0) {
        Impossible("objects outside the partitions");
    }
}

// The old file is read whole once (as every run of the old tool did), its bytes kept beside
// it, and the file itself becomes the store: links and permissions stay.
void CartridgeDb::ConvertOldFile(const OpenOptions& options)
{
    std::string error;
    const std::optional<sim::Cartridge> old = sim::LoadCartridge(file_->resolved(), error);
    if (!old) {
        throw StoreError(error);
    }
    const std::string kept = file_->resolved() + kOldFileSuffix;
    file_->CopyTo(kept);
    try {
        file_->Clear();
        db_ = std::make_unique<Database>(file_->resolved(), false);
        CreateSchema();
        Fill(*old);
    } catch (const StoreError& e) {
        insert_.reset();
        db_.reset();
        // The old bytes go back into the file, so the cartridge stays as it was.
        if (file_->CopyFrom(kept)) {
            unlink(kept.c_str());
        }
        throw StoreError(std::string("cannot convert the old cartridge file: ") + e.what());
    }
    if (options.notice) {
        options.notice(
            "converted from the old cartridge format into a cartridge database; the "
            "old file is kept as " +
            file_->path() + kOldFileSuffix);
    }
}

std::vector<ExtentInfo> CartridgeDb::Extents(uint32_t partition)
{
    Statement rows(*db_,
                   "SELECT addr, kind, count, length FROM extent WHERE part = ?1 "
                   "ORDER BY addr");
    rows.Bind(1, partition);
    std::vector<ExtentInfo> extents;
    while (rows.Step()) {
        const int64_t kind = rows.Int(1);
        if (rows.Int(0) < 0 || kind < 0 || kind > 2 || rows.Int(2) <= 0 || rows.Int(3) < 0 ||
            rows.Int(3) > sim::kMaximumBlockLength) {
            Impossible("a run of objects out of range");
        }
        extents.push_back(
            ExtentInfo{static_cast<uint64_t>(rows.Int(0)), static_cast<sim::ObjectKind>(kind),
                       static_cast<uint64_t>(rows.Int(2)), static_cast<uint32_t>(rows.Int(3))});
    }
    return extents;
}

}  // namespace store
