// The cartridge's write transaction: opened by the first change of a command, committed every
// kCommitBytes of a long write and at the end of the command (data synced before the index
// rows that point at it), or abandoned with the data past the last commit cut off.
#include <sqlite3.h>
#include <unistd.h>

#include "store/cartridge_db.h"

namespace store {
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
    const FilePosition& before = state_.counted;
    state.counted =
        appendedRun_ && before.block >= 0
            ? FilePosition{before.file, before.block + static_cast<int64_t>(*appendedRun_), false}
            : FilePosition{};
    CommitNow(state);
    BeginWrite();
}

void CartridgeDb::Changing(uint32_t partition, uint64_t from, uint64_t blocks)
{
    const bool continues = appendedRun_ && blocks > 0 && partition == state_.partition &&
                           from == state_.position + *appendedRun_;
    appendedRun_ = continues ? std::optional<uint64_t>(*appendedRun_ + blocks) : std::nullopt;
}

// The order that keeps every commit true after a crash: the data first, flushed; then the
// index rows that point at it, committed (synchronous=FULL: flushed too). Data the index no
// longer accounts for is cut off afterwards; a crash before the cut leaves it for the next
// open to cut.
void CartridgeDb::CommitNow(const DriveState& state)
{
    Seal();
    if (unsynced_) {
        if (fdatasync(folder_->data()) != 0) {
            throw StoreError(Errno("cannot flush the cartridge's data to disk"));
        }
        unsynced_ = false;
    }
    BeginWrite();
    WriteRows(state);
    db_->Exec("COMMIT");
    writing_ = false;
    committed_ = true;
    pending_ = 0;
    state_ = state;
    committedEnd_ = dataEnd_;
    appendedRun_ = 0;
    if (dataSize_ > dataEnd_ && ftruncate(folder_->data(), static_cast<off_t>(dataEnd_)) == 0) {
        dataSize_ = dataEnd_;
    }
}

void CartridgeDb::WriteRows(const DriveState& state)
{
    db_->Exec("DELETE FROM tape; DELETE FROM partition; DELETE FROM drive; DELETE FROM file_count");
    Statement tape(*db_, "INSERT INTO tape VALUES (1, ?1, ?2, ?3, ?4)");
    tape.Bind(1, static_cast<int64_t>(capacityBytes_))
        .Bind(2, densityCode_)
        .Bind(3, writeProtected_)
        .Bind(4, static_cast<int64_t>(dataEnd_));
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
    CommitNow(state);
}

void CartridgeDb::Abandon()
{
    if (!writing_) {
        return;
    }
    writing_ = false;
    pending_ = 0;
    open_.reset();
    // SQLite may have rolled the transaction back itself already (it does on a full disk).
    sqlite3_exec(db_->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    // Data past what the index accounts for is no block of the tape's: cut now, or at the
    // next open when even that fails.
    dataEnd_ = committedEnd_;
    if (dataSize_ > committedEnd_ &&
        ftruncate(folder_->data(), static_cast<off_t>(committedEnd_)) == 0) {
        dataSize_ = committedEnd_;
    }
}

}  // namespace store
