// Runs of objects added to the tape: a run of blocks has its bytes appended to the data file
// and its checksums kept in its row. The row of blocks being written grows in memory, command
// after command, and goes into the index once, when it holds kMaxRunBytes or kMaxRunBlocks,
// before anything else asks the index about the tape, and at every commit: the tape's rows
// (what each open checks, and each read looks up) count runs of up to 8 MiB, not commands.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "bytes/big_endian.h"
#include "store/cartridge_db.h"
#include "store/index_schema.h"

namespace store {

namespace {

const uint8_t kNoBytes[1] = {};  // an empty blob (SQLite takes a null pointer as NULL)
// The disk is asked to start on the data a megabyte at a time, well within a commit.
constexpr uint64_t kWritebackBytes = uint64_t{1} << 20;

}  // namespace

void CartridgeDb::AppendRun(uint32_t partition, uint64_t address, sim::ObjectKind kind,
                            uint64_t count, uint32_t length, uint64_t rank, const uint8_t* data)
{
    const bool block = kind == sim::ObjectKind::Block;
    if (block && Joins(partition, address, count, length)) {
        Join(count, length, data);
        return;
    }
    Seal();
    if (block && dataEnd_ < committedEnd_ && count * length > 0) {
        // These bytes still belong to rows the committed index holds: the cut that freed
        // them commits first, so a kill now cannot leave the index pointing at new bytes.
        DriveState state = state_;
        state.partition = partition;
        state.position = parts_.at(partition).endOfData;
        CommitNow(state);
        BeginWrite();
    }
    const uint64_t offset = dataEnd_;
    if (!block) {
        InsertRow(partition, address, kind, count, 0, rank, offset, {});
        return;
    }
    open_ = OpenRun{partition, address, 0, length, offset, {}};
    Join(count, length, data);
}

uint64_t CartridgeDb::RowRoom(uint32_t length)
{
    return std::clamp<uint64_t>(kMaxRunBytes / std::max<uint32_t>(length, 1), 1, kMaxRunBlocks);
}

bool CartridgeDb::Joins(uint32_t partition, uint64_t address, uint64_t count, uint32_t length) const
{
    // The same partition and length, the next address, the next bytes of the data file (no
    // cut since), and room left in the row.
    return open_ && open_->partition == partition && open_->length == length &&
           open_->address + open_->count == address &&
           open_->offset + open_->count * length == dataEnd_ &&
           count <= RowRoom(length) - open_->count && dataEnd_ >= committedEnd_;
}

void CartridgeDb::Join(uint64_t count, uint32_t length, const uint8_t* data)
{
    OpenRun& run = *open_;
    const size_t had = run.sums.size();
    run.sums.resize(had + count * 8);
    for (uint64_t i = 0; i < count; ++i) {
        bytes::PutBe64(run.sums.data() + had + i * 8, BlockSum(data + i * length, length));
    }
    WriteData(data, count * length);
    run.count += count;
    if (run.count >= RowRoom(length)) {
        Seal();
    }
}

void CartridgeDb::Seal()
{
    if (!open_) {
        return;
    }
    OpenRun run = std::move(*open_);
    open_.reset();
    InsertRow(run.partition, run.address, sim::ObjectKind::Block, run.count, run.length, 0,
              run.offset, run.sums);
}

void CartridgeDb::InsertRow(uint32_t partition, uint64_t address, sim::ObjectKind kind,
                            uint64_t count, uint32_t length, uint64_t rank, uint64_t offset,
                            const std::vector<uint8_t>& sums)
{
    if (!insert_) {
        insert_ = std::make_unique<Statement>(
            *db_,
            "INSERT INTO extent(part, addr, kind, count, length, rank, offset, sums) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    }
    insert_->Bind(1, partition)
        .Bind(2, static_cast<int64_t>(address))
        .Bind(3, static_cast<int64_t>(kind))
        .Bind(4, static_cast<int64_t>(count))
        .Bind(5, length)
        .Bind(6, static_cast<int64_t>(rank))
        .Bind(7, static_cast<int64_t>(offset))
        .BindBlob(8, sums.empty() ? kNoBytes : sums.data(), sums.size());
    insert_->Run();
}

void CartridgeDb::WriteData(const uint8_t* data, uint64_t length)
{
    for (uint64_t done = 0; done < length;) {
        const ssize_t n = pwrite(folder_->data(), data + done, length - done,
                                 static_cast<off_t>(dataEnd_ + done));
        if (n <= 0) {
            throw StoreError(Errno("cannot write the cartridge's data"));
        }
        done += static_cast<uint64_t>(n);
    }
    dataEnd_ += length;
    dataSize_ = std::max(dataSize_, dataEnd_);
    unsynced_ = unsynced_ || length > 0;
    // The disk starts on each megabyte as it is written, so the flush before the next commit
    // waits for the last of it only, not for all of it.
    started_ = std::min(started_, dataEnd_ - length);
    if (dataEnd_ - started_ >= kWritebackBytes) {
        sync_file_range(folder_->data(), static_cast<off_t>(started_),
                        static_cast<off_t>(dataEnd_ - started_), SYNC_FILE_RANGE_WRITE);
        started_ = dataEnd_;
    }
}

void CartridgeDb::Reclaim()
{
    // Rows are numbered in the order they were appended and their bytes lie in that order,
    // so the last block row left ends the bytes still in use.
    // That row is checked whole first: new bytes never go where a damaged row says.
    Statement last(*db_,
                   "SELECT addr, kind, count, length, rank, offset, length(sums), typeof(offset) "
                   "= 'integer' AND typeof(sums) = 'blob', part FROM extent WHERE kind = 0 "
                   "ORDER BY id DESC LIMIT 1");
    const uint64_t written = dataEnd_;
    dataEnd_ = 0;
    if (last.Step()) {
        const RunRow row{last.Int(0),
                         last.Int(1),
                         last.Int(2),
                         last.Int(3),
                         last.Int(4),
                         last.Int(5),
                         static_cast<size_t>(last.Int(6))};
        const int64_t part = last.Int(8);
        if (last.Int(7) != 1 || part < 0 || static_cast<uint64_t>(part) >= parts_.size() ||
            RunProblem(row, parts_[static_cast<size_t>(part)].endOfData, written, true) !=
                nullptr) {
            last.Reset();
            throw StoreError(
                "damaged cartridge index: a run of blocks whose bytes lie outside "
                "the data file",
                StoreError::Reason::Damaged);
        }
        dataEnd_ = static_cast<uint64_t>(row.offset + row.count * row.length);
    }
    open_.reset();  // rows were cut: the next blocks start a row of their own
}

}  // namespace store
