// The tape of a cartridge as a sim::Medium: objects found through the index's (partition,
// address) index, marks through the per-kind rank index (O(log n) whatever the distance),
// blocks read from the data file straight into the drive's buffer, each checked against its
// checksum before it is handed out, and written in rows of up to 8 MiB. Every change
// joins the index's open write transaction (see CartridgeDb).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/medium.h"
#include "store/cartridge_db.h"
#include "store/sqlite.h"

namespace store {

class DbMedium : public sim::Medium {
public:
    explicit DbMedium(CartridgeDb& db);

    uint64_t CapacityBytes() const override { return db_.capacityBytes_; }
    uint8_t DensityCode() const override { return db_.densityCode_; }
    bool WriteProtected() const override { return db_.writeProtected_; }
    void SetWriteProtected(bool writeProtected) override;
    uint32_t PartitionCount() const override { return static_cast<uint32_t>(db_.parts_.size()); }
    uint64_t PartitionCapacity(uint32_t partition) const override;
    void Format(const std::vector<uint64_t>& partitionSizes) override;

    uint64_t EndOfData(uint32_t partition) const override;
    uint64_t UsedBytes(uint32_t partition) const override;
    sim::ObjectInfo At(uint32_t partition, uint64_t address) const override;
    bool ReadBlock(uint32_t partition, uint64_t address, uint8_t* out) const override;
    uint64_t ReadBlocks(uint32_t partition, uint64_t address, uint32_t length, uint64_t count,
                        uint8_t* out) const override;
    sim::MarkSearch FindMark(uint32_t partition, uint64_t from, bool forward, sim::ObjectKind kind,
                             uint64_t count) const override;
    uint64_t CountMarks(uint32_t partition, uint64_t from, uint64_t to,
                        sim::ObjectKind kind) const override;
    // One pass over the rows of marks in the engine: a WRITE FILEMARKS of n marks is one row.
    std::optional<uint64_t> FindMarkRun(uint32_t partition, uint64_t from, bool forward,
                                        sim::ObjectKind kind, uint64_t run) const override;

    void TruncateAt(uint32_t partition, uint64_t address) override;
    void AppendBlocks(uint32_t partition, const uint8_t* data, uint32_t length,
                      uint64_t count) override;
    void AppendMarks(uint32_t partition, sim::ObjectKind kind, uint64_t count) override;

private:
    // One row: `count` objects of one kind from `address`; once its blocks are asked for,
    // where their bytes lie in the data file and each block's checksum.
    struct Extent {
        uint32_t partition = 0;
        uint64_t address = 0;
        sim::ObjectKind kind = sim::ObjectKind::Block;
        uint64_t count = 0;
        uint32_t length = 0;
        bool loaded = false;
        uint64_t offset = 0;
        std::vector<uint64_t> sums;
    };
    // The row holding `address` (below end of data), kept until the next change.
    const Extent& Find(uint32_t partition, uint64_t address, bool withData) const;
    // Marks of `kind` before `address`.
    uint64_t MarksBefore(uint32_t partition, uint64_t address, sim::ObjectKind kind) const;
    // The address of the mark of `kind` with this rank (0-based), if there is one.
    std::optional<uint64_t> MarkWithRank(uint32_t partition, uint64_t rank,
                                         sim::ObjectKind kind) const;
    void Forget() { cached_.reset(); }
    // An address or count as SQLite binds it.
    static int64_t Signed(uint64_t v) { return static_cast<int64_t>(v); }
    // Where a run of blocks lies in the data file, and their checksums.
    void LoadSums(Extent& extent, int64_t offset, const uint8_t* sums, size_t sumsBytes) const;
    // Blocks `from` .. `from + count` of a loaded run into `out`: how many of them, from the
    // first, match their checksums (the rest of `out` is cleared).
    uint64_t ReadChecked(const Extent& extent, uint64_t from, uint64_t count, uint8_t* out) const;

    CartridgeDb& db_;
    mutable LazyStatement findHead_;
    mutable LazyStatement findData_;
    mutable LazyStatement lastOfKind_;
    mutable LazyStatement byRank_;
    mutable LazyStatement marksAfter_;
    mutable LazyStatement marksBefore_;
    mutable LazyStatement shorten_;
    mutable LazyStatement tailRows_;
    mutable LazyStatement deleteTail_;
    mutable std::optional<Extent> cached_;
};

}  // namespace store
