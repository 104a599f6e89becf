// A cartridge's tape answering the drive: each question one indexed lookup, each block's
// bytes checked against their checksum on the way out.
#include "store/db_medium.h"
#include "bytes/big_endian.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "store/index_schema.h"

namespace store {

namespace {

[[noreturn]] void Damaged(const std::string& what)
{
    throw StoreError("damaged cartridge index: " + what, StoreError::Reason::Damaged);
}

}  // namespace

DbMedium::DbMedium(CartridgeDb& db)
    : db_(db),
      findHead_(*db.db_,
                "SELECT addr, kind, count, length FROM extent WHERE part = ?1 AND addr <= ?2 "
                "ORDER BY addr DESC LIMIT 1"),
      findData_(*db.db_,
                "SELECT addr, kind, count, length, rank, offset, sums, typeof(offset) = "
                "'integer' AND typeof(sums) = 'blob' FROM extent WHERE part = ?1 AND addr <= ?2 "
                "ORDER BY addr DESC LIMIT 1"),
      lastOfKind_(*db.db_,
                  "SELECT addr, count, rank FROM extent WHERE part = ?1 AND kind = ?2 AND "
                  "addr < ?3 ORDER BY addr DESC LIMIT 1"),
      byRank_(*db.db_,
              "SELECT addr, count, rank FROM extent WHERE part = ?1 AND kind = ?2 AND "
              "rank <= ?3 ORDER BY rank DESC LIMIT 1"),
      marksAfter_(*db.db_,
                  "SELECT addr, count FROM extent WHERE part = ?1 AND kind = ?2 AND "
                  "addr >= ?4 AND addr + count > ?3 ORDER BY addr"),
      marksBefore_(*db.db_,
                   "SELECT addr, count FROM extent WHERE part = ?1 AND kind = ?2 AND "
                   "addr < ?3 ORDER BY addr DESC"),
      shorten_(*db.db_,
               "UPDATE extent SET count = ?3, sums = CASE WHEN kind = 0 THEN substr(sums, 1, ?4) "
               "ELSE sums END WHERE part = ?1 AND addr = ?2"),
      tailRows_(*db.db_,
                "SELECT addr, kind, count, length, rank, offset, length(sums), typeof(offset) = "
                "'integer' AND typeof(sums) = 'blob' FROM extent WHERE part = ?1 AND addr >= ?2"),
      deleteTail_(*db.db_, "DELETE FROM extent WHERE part = ?1 AND addr >= ?2")
{
}

void DbMedium::SetWriteProtected(bool writeProtected)
{
    db_.BeginWrite();
    db_.writeProtected_ = writeProtected;
}

uint64_t DbMedium::PartitionCapacity(uint32_t partition) const
{
    return db_.parts_.at(partition).capacity;
}

uint64_t DbMedium::EndOfData(uint32_t partition) const
{
    return db_.parts_.at(partition).endOfData;
}

uint64_t DbMedium::UsedBytes(uint32_t partition) const
{
    return db_.parts_.at(partition).usedBytes;
}

void DbMedium::Format(const std::vector<uint64_t>& partitionSizes)
{
    Forget();
    db_.BeginWrite();
    db_.Seal();
    db_.Changing(0, 0, 0);
    db_.db_->Exec("DELETE FROM extent");
    db_.Reclaim();
    db_.parts_.clear();
    for (const uint64_t size : partitionSizes) {
        db_.parts_.push_back(CartridgeDb::Part{size, 0, 0});
    }
}

void DbMedium::LoadSums(Extent& extent, int64_t offset, const uint8_t* sums, size_t sumsBytes) const
{
    extent.offset = static_cast<uint64_t>(offset);
    extent.sums.resize(sumsBytes / 8);
    for (size_t i = 0; i < extent.sums.size(); ++i) {
        extent.sums[i] = bytes::GetBe64(sums + i * 8);
    }
    extent.loaded = true;
}

// The bytes go straight from the data file to where the drive hands them out; a block that
// fails its check is cleared there, so nothing it held leaves the drive.
uint64_t DbMedium::ReadChecked(const Extent& extent, uint64_t from, uint64_t count,
                               uint8_t* out) const
{
    const size_t bytes = count * extent.length;
    const uint64_t offset = extent.offset + from * extent.length;
    for (size_t done = 0; done < bytes;) {
        const ssize_t n =
            pread(db_.folder_->data(), out + done, bytes - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            throw StoreError("cannot read the cartridge's data" +
                                 std::string(n < 0 ? ": " + std::string(std::strerror(errno))
                                                   : ": the data file ends early"),
                             StoreError::Reason::Damaged);
        }
        done += static_cast<size_t>(n);
    }
    uint64_t intact = 0;
    while (intact < count &&
           BlockSum(out + intact * extent.length, extent.length) == extent.sums[from + intact]) {
        ++intact;
    }
    if (intact < count) {
        std::memset(out + intact * extent.length, 0, bytes - intact * extent.length);
    }
    return intact;
}

const DbMedium::Extent& DbMedium::Find(uint32_t partition, uint64_t address, bool withData) const
{
    db_.Seal();
    if (cached_ && cached_->partition == partition && cached_->address <= address &&
        address < cached_->address + cached_->count && (cached_->loaded || !withData)) {
        return *cached_;
    }
    Statement& find = withData ? *findData_ : *findHead_;
    find.Bind(1, partition).Bind(2, Signed(address));
    if (!find.Step()) {
        Damaged("no object at an address below end of data");
    }
    RunRow row{find.Int(0), find.Int(1), find.Int(2), find.Int(3)};
    if (withData) {
        row.rank = find.Int(4);
        row.offset = find.Int(5);
        row.sumsBytes = find.Bytes(6);
    }
    const uint64_t end = EndOfData(partition);
    if (const char* problem = RunProblem(row, end, db_.dataEnd_, withData)) {
        find.Reset();
        Damaged(problem);
    }
    if (withData && find.Int(7) != 1) {
        find.Reset();
        Damaged("a run of blocks whose bytes lie outside the data file");
    }
    Extent extent;
    if (cached_) {
        // The last row's checksums' room is reused: a long read does not allocate for every row.
        extent.sums = std::move(cached_->sums);
        cached_.reset();
    }
    extent.partition = partition;
    extent.address = static_cast<uint64_t>(row.addr);
    extent.kind = static_cast<sim::ObjectKind>(row.kind);
    extent.count = static_cast<uint64_t>(row.count);
    extent.length = static_cast<uint32_t>(row.length);
    if (extent.address + extent.count <= address) {
        Damaged("a run of objects that does not cover its addresses");
    }
    if (withData) {
        LoadSums(extent, row.offset, find.Blob(6), row.sumsBytes);
    }
    find.Reset();
    cached_ = std::move(extent);
    return *cached_;
}

sim::ObjectInfo DbMedium::At(uint32_t partition, uint64_t address) const
{
    const Extent& extent = Find(partition, address, false);
    return {extent.kind, extent.kind == sim::ObjectKind::Block ? extent.length : 0};
}

bool DbMedium::ReadBlock(uint32_t partition, uint64_t address, uint8_t* out) const
{
    const Extent& extent = Find(partition, address, true);
    if (extent.kind != sim::ObjectKind::Block) {
        return true;
    }
    return ReadChecked(extent, address - extent.address, 1, out) == 1;
}

uint64_t DbMedium::ReadBlocks(uint32_t partition, uint64_t address, uint32_t length, uint64_t count,
                              uint8_t* out) const
{
    uint64_t done = 0;
    const uint64_t end = EndOfData(partition);
    while (done < count && address + done < end) {
        const Extent& extent = Find(partition, address + done, true);
        if (extent.kind != sim::ObjectKind::Block || extent.length != length) {
            break;
        }
        const uint64_t from = address + done - extent.address;
        const uint64_t n = std::min(count - done, extent.count - from);
        const uint64_t intact = ReadChecked(extent, from, n, out + done * length);
        done += intact;
        if (intact < n) {
            break;  // a block that fails its check: the drive reports it
        }
    }
    return done;
}

void DbMedium::TruncateAt(uint32_t partition, uint64_t address)
{
    CartridgeDb::Part& part = db_.parts_.at(partition);
    if (address >= part.endOfData) {
        return;
    }
    Forget();
    db_.BeginWrite();
    db_.Seal();
    // Cut where the last commit left the tape, a write that follows keeps the count.
    if (partition != db_.state_.partition || address != db_.state_.position) {
        db_.Changing(partition, address, 0);
    }
    uint64_t cut = address;
    // The rows the cut changes or removes are checked whole first: a damaged row is refused,
    // never shortened or dropped by a commit.
    const Extent holding = Find(partition, address, true);
    Forget();
    if (holding.address < address) {
        // The run holding the address keeps its head.
        const uint64_t kept = address - holding.address;
        shorten_->Bind(1, partition)
            .Bind(2, Signed(holding.address))
            .Bind(3, Signed(kept))
            .Bind(4, Signed(kept * 8));
        shorten_->Run();
        if (holding.kind == sim::ObjectKind::Block) {
            part.usedBytes -= (holding.count - kept) * holding.length;
        }
        cut = holding.address + holding.count;
    }
    uint64_t tail = 0;
    tailRows_->Bind(1, partition).Bind(2, Signed(cut));
    while (tailRows_->Step()) {
        RunRow row{tailRows_->Int(0),
                   tailRows_->Int(1),
                   tailRows_->Int(2),
                   tailRows_->Int(3),
                   tailRows_->Int(4),
                   tailRows_->Int(5),
                   static_cast<size_t>(tailRows_->Int(6))};
        const char* problem = RunProblem(row, part.endOfData, db_.dataEnd_, true);
        if (problem != nullptr || tailRows_->Int(7) != 1) {
            tailRows_->Reset();
            Damaged(problem != nullptr ? problem
                                       : "a run of blocks whose bytes lie outside the data file");
        }
        tail += static_cast<uint64_t>(row.count * row.length);
    }
    deleteTail_->Bind(1, partition).Bind(2, Signed(cut));
    deleteTail_->Run();
    part.usedBytes = tail > part.usedBytes ? 0 : part.usedBytes - tail;
    part.endOfData = address;
    db_.Reclaim();
}

void DbMedium::AppendBlocks(uint32_t partition, const uint8_t* data, uint32_t length,
                            uint64_t count)
{
    if (count == 0) {
        return;
    }
    Forget();
    db_.BeginWrite();
    CartridgeDb::Part& part = db_.parts_.at(partition);
    db_.Changing(partition, part.endOfData, count);
    const uint64_t perRow = CartridgeDb::RowRoom(length);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(perRow, count - done);
        db_.AppendRun(partition, part.endOfData, sim::ObjectKind::Block, n, length, 0,
                      data + done * length);
        part.endOfData += n;
        part.usedBytes += n * length;
        done += n;
    }
    db_.Appended(partition, count * length);
}

void DbMedium::AppendMarks(uint32_t partition, sim::ObjectKind kind, uint64_t count)
{
    if (count == 0) {
        return;
    }
    Forget();
    db_.BeginWrite();
    CartridgeDb::Part& part = db_.parts_.at(partition);
    db_.Changing(partition, part.endOfData, 0);
    const uint64_t rank = MarksBefore(partition, part.endOfData, kind);
    db_.AppendRun(partition, part.endOfData, kind, count, 0, rank, nullptr);
    part.endOfData += count;
    db_.Appended(partition, 0);
}

}  // namespace store
